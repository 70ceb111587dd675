# The libraries of the metadata plug-ins, built here as static libraries from Debian's source
# packages (unpacked by scripts/common.sh): TagLib for audio tags, libexif for photo EXIF.
# Configure checks of their own build systems are replaced by what MinGW-w64's GCC is known to
# offer, written into small generated headers.

set(QUIBRIX_TAGLIB_DIR "" CACHE PATH "Unpacked TagLib 1.13 source (Debian source package)")
set(QUIBRIX_LIBEXIF_DIR "" CACHE PATH "Unpacked libexif 0.6.24 source (Debian source package)")
if(NOT EXISTS "${QUIBRIX_TAGLIB_DIR}/taglib/toolkit/tstring.cpp")
  message(FATAL_ERROR "QUIBRIX_TAGLIB_DIR does not hold TagLib's sources: "
                      "'${QUIBRIX_TAGLIB_DIR}' (scripts/test fetches them)")
endif()
if(NOT EXISTS "${QUIBRIX_LIBEXIF_DIR}/libexif/exif-data.c")
  message(FATAL_ERROR "QUIBRIX_LIBEXIF_DIR does not hold libexif's sources: "
                      "'${QUIBRIX_LIBEXIF_DIR}' (scripts/test fetches them)")
endif()

# --- TagLib ------------------------------------------------------------------------------------
set(taglib_root ${QUIBRIX_TAGLIB_DIR}/taglib)
set(taglib_generated ${CMAKE_BINARY_DIR}/taglib-generated)
file(WRITE ${taglib_generated}/config.h.in [[
/* TagLib's configure results for MinGW-w64 GCC (x86-64). */
#ifndef TAGLIB_CONFIG_H
#define TAGLIB_CONFIG_H
#define HAVE_GCC_BYTESWAP 1
#define HAVE_GCC_ATOMIC 1
#define HAVE_VSNPRINTF 1
#endif
]])
configure_file(${taglib_generated}/config.h.in ${taglib_generated}/config.h COPYONLY)
configure_file(${taglib_root}/taglib_config.h.cmake ${taglib_generated}/taglib_config.h COPYONLY)
# Debian's patch points TagLib at <utf8/checked.h> of a system package; the same headers ship
# in the source's 3rdparty folder, so a folder holding only that link stands in for it.
file(MAKE_DIRECTORY ${taglib_generated}/utf8-include)
file(CREATE_LINK ${QUIBRIX_TAGLIB_DIR}/3rdparty/utf8-cpp ${taglib_generated}/utf8-include/utf8 SYMBOLIC)

file(GLOB_RECURSE taglib_sources CONFIGURE_DEPENDS ${taglib_root}/*.cpp)
add_library(taglib STATIC ${taglib_sources})
set(taglib_include_dirs ${taglib_generated} ${taglib_root})
foreach(sub toolkit asf mpeg ogg ogg/flac flac mpc mp4 ogg/vorbis ogg/speex ogg/opus mpeg/id3v2
            mpeg/id3v2/frames mpeg/id3v1 ape wavpack trueaudio riff riff/aiff riff/wav mod s3m it xm)
  list(APPEND taglib_include_dirs ${taglib_root}/${sub})
endforeach()
target_include_directories(taglib SYSTEM PUBLIC ${taglib_include_dirs})
target_include_directories(taglib PRIVATE ${taglib_generated}/utf8-include)
# TAGLIB_STATIC: no dllimport in the headers, for the library and every user.
target_compile_definitions(taglib PUBLIC TAGLIB_STATIC PRIVATE HAVE_CONFIG_H)
# Third-party code: its warnings are not ours, and its debug information is not needed.
target_compile_options(taglib PRIVATE -w -g0)

# --- libexif -----------------------------------------------------------------------------------
set(libexif_generated ${CMAKE_BINARY_DIR}/libexif-generated)
file(WRITE ${libexif_generated}/config.h.in [[
/* libexif's configure results for MinGW-w64: no translations, UTF-8 texts. */
#define GETTEXT_PACKAGE "libexif-12"
#define LOCALEDIR ""
#define PACKAGE "libexif"
#define VERSION "0.6.24"
]])
configure_file(${libexif_generated}/config.h.in ${libexif_generated}/config.h COPYONLY)
file(WRITE ${libexif_generated}/libexif/_stdint.h.in "#include <stdint.h>\n")
configure_file(${libexif_generated}/libexif/_stdint.h.in ${libexif_generated}/libexif/_stdint.h COPYONLY)

file(GLOB_RECURSE libexif_sources CONFIGURE_DEPENDS ${QUIBRIX_LIBEXIF_DIR}/libexif/*.c)
add_library(libexif STATIC ${libexif_sources})
target_include_directories(libexif SYSTEM PUBLIC ${QUIBRIX_LIBEXIF_DIR} ${libexif_generated})
target_include_directories(libexif PRIVATE ${QUIBRIX_LIBEXIF_DIR}/libexif ${libexif_generated})
target_compile_options(libexif PRIVATE -w -g0)
