# Cross-compiles kestrune.exe for 64-bit Windows with Debian's MinGW-w64
# (package g++-mingw-w64-x86-64-posix). The posix flavour carries the C++
# threading support GoogleTest needs. Everything is linked statically, so the
# executables run on a bare Windows, or under Wine, without extra DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRUNE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTRUNE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUNE_MINGW_PREFIX}-g++-posix)

# Only the cross toolchain's own headers and libraries, never the host's, and
# the static builds of the engine's libraries that
# scripts/build-windows-deps.sh makes (KESTRUNE_WINDOWS_DEPS names another
# such prefix).
if(NOT DEFINED KESTRUNE_WINDOWS_DEPS)
  get_filename_component(KESTRUNE_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps/prefix"
                         ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUNE_MINGW_PREFIX} ${KESTRUNE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# zlib from Debian's libz-mingw-w64-dev: its static libz.a, not the import
# library of a zlib1.dll that users would have to ship beside kestrune.exe.
set(ZLIB_USE_STATIC_LIBS ON)

# Tests, and the discovery of the tests, run the .exe files under Wine.
# Debian's wine64 is the 64-bit loader itself; plain "wine" may be a wrapper
# that needs the 32-bit half installed as well.
find_program(KESTRUNE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KESTRUNE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_WINE})
endif()
