# BLAKE3, the hash an IoStore container keeps of every chunk: the official C
# implementation, with its SSE2, SSE4.1, AVX2 and AVX-512 code chosen at run
# time. Debian ships it as the C part of its BLAKE3 source package, not as a
# built library: on Linux it is compiled here from what librust-blake3-dev
# installs; a Windows build finds the static libblake3.a that
# scripts/build-windows-deps.sh compiles from the same source package.
if(WIN32)
  kestrune_find_library(BLAKE3 blake3.h blake3)
  return()
endif()

file(GLOB KESTRUNE_BLAKE3_HEADERS /usr/share/cargo/registry/blake3-*/c/blake3.h)
if(NOT KESTRUNE_BLAKE3_HEADERS)
  message(FATAL_ERROR "BLAKE3's C sources are missing: install librust-blake3-dev")
endif()
# The newest, should several versions be installed side by side.
list(SORT KESTRUNE_BLAKE3_HEADERS COMPARE NATURAL ORDER DESCENDING)
list(GET KESTRUNE_BLAKE3_HEADERS 0 KESTRUNE_BLAKE3_HEADER)
get_filename_component(KESTRUNE_BLAKE3_DIR ${KESTRUNE_BLAKE3_HEADER} DIRECTORY)

enable_language(C)
set(blake3_sources ${KESTRUNE_BLAKE3_DIR}/blake3.c ${KESTRUNE_BLAKE3_DIR}/blake3_dispatch.c
                   ${KESTRUNE_BLAKE3_DIR}/blake3_portable.c)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  enable_language(ASM)
  foreach(kind sse2 sse41 avx2 avx512)
    list(APPEND blake3_sources ${KESTRUNE_BLAKE3_DIR}/blake3_${kind}_x86-64_unix.S)
  endforeach()
  set(blake3_definitions)
else()
  set(blake3_definitions BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
endif()
add_library(kestrune_blake3 STATIC ${blake3_sources})
target_compile_definitions(kestrune_blake3 PRIVATE ${blake3_definitions})
set_target_properties(kestrune_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_include_directories(kestrune_blake3 SYSTEM INTERFACE ${KESTRUNE_BLAKE3_DIR})
target_link_libraries(kestrune_libraries INTERFACE kestrune_blake3)
