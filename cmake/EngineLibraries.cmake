# The libraries the engine decodes, decrypts and writes images with, as one
# target: kestrune_libraries. On Linux they are Debian's -dev packages; a
# Windows build finds static builds of the same sources in
# CMAKE_FIND_ROOT_PATH (see scripts/build-windows-deps.sh). Static archives
# are preferred where both kinds exist, so that kestrune.exe imports only
# system DLLs.
find_package(ZLIB REQUIRED)

add_library(kestrune_libraries INTERFACE)
target_link_libraries(kestrune_libraries INTERFACE ZLIB::ZLIB)

# kestrune_find_library(<name> <header> <library names...>)
function(kestrune_find_library name header)
  find_path(KESTRUNE_${name}_INCLUDE ${header} REQUIRED)
  if(WIN32)
    set(candidates)
    foreach(library ${ARGN})
      list(APPEND candidates lib${library}.a)
    endforeach()
    find_library(KESTRUNE_${name}_LIBRARY NAMES ${candidates} ${ARGN} REQUIRED)
  else()
    find_library(KESTRUNE_${name}_LIBRARY NAMES ${ARGN} REQUIRED)
  endif()
  target_include_directories(kestrune_libraries SYSTEM INTERFACE ${KESTRUNE_${name}_INCLUDE})
  target_link_libraries(kestrune_libraries INTERFACE ${KESTRUNE_${name}_LIBRARY})
endfunction()

kestrune_find_library(LZ4 lz4.h lz4)
kestrune_find_library(LZMA lzma.h lzma)
kestrune_find_library(ZSTD zstd.h zstd)
kestrune_find_library(BZIP2 bzlib.h bz2)
# Brotli (a Unity WebGL build's whole data file): the decoder, then the
# dictionary and tables it shares with the encoder, in the order a static
# link needs them.
kestrune_find_library(BROTLIDEC brotli/decode.h brotlidec)
kestrune_find_library(BROTLICOMMON brotli/decode.h brotlicommon)
kestrune_find_library(DEFLATE libdeflate.h deflate)
kestrune_find_library(MBEDCRYPTO mbedtls/aes.h mbedcrypto)
include(${CMAKE_CURRENT_LIST_DIR}/Blake3.cmake)
# The texture layer (engine/content/Texture.cpp, Png.cpp): libpng writes the
# PNG files, libsquish decodes DXT1/DXT5 blocks, astcenc ASTC blocks.
kestrune_find_library(PNG png.h png16 png)
# libpng's static archive calls zlib: as an imported library that says so,
# CMake puts zlib after it on the link line however often zlib is named
# before it (a second plain mention would be merged with the first).
add_library(kestrune_png UNKNOWN IMPORTED)
set_target_properties(kestrune_png PROPERTIES IMPORTED_LOCATION ${KESTRUNE_PNG_LIBRARY}
                                              INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
target_link_libraries(kestrune_libraries INTERFACE kestrune_png)
kestrune_find_library(SQUISH squish.h squish)
# Debian's archive serves no source of astc-encoder to build a Windows
# library from, so a Windows build has ASTC only when such a library is put
# in the prefix; without it the texture layer says that ASTC has no decoder in
# this build. Linux builds always have it.
if(WIN32)
  find_path(KESTRUNE_ASTCENC_INCLUDE astcenc.h)
  find_library(KESTRUNE_ASTCENC_LIBRARY NAMES libastcenc.a astcenc)
  if(KESTRUNE_ASTCENC_INCLUDE AND KESTRUNE_ASTCENC_LIBRARY)
    target_include_directories(kestrune_libraries SYSTEM INTERFACE ${KESTRUNE_ASTCENC_INCLUDE})
    target_link_libraries(kestrune_libraries INTERFACE ${KESTRUNE_ASTCENC_LIBRARY})
    target_compile_definitions(kestrune_libraries INTERFACE KESTRUNE_HAVE_ASTCENC)
  endif()
else()
  kestrune_find_library(ASTCENC astcenc.h astcenc)
  # Debian's is the shared library, whose functions astcenc.h declares
  # extern "C" only when told so (as its own CMake package does).
  target_compile_definitions(kestrune_libraries INTERFACE KESTRUNE_HAVE_ASTCENC ASTCENC_DYNAMIC_LIBRARY)
endif()

if(WIN32)
  # Static liblzma and libdeflate expect their symbols without dllimport.
  target_compile_definitions(kestrune_libraries INTERFACE LZMA_API_STATIC LIBDEFLATE_STATIC)
endif()
