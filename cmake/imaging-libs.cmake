# Imported targets for the converter's imaging libraries that scripts/imaging-libs builds
# from Debian's sources (static, one prefix per target). TESS_IMAGING_LIBS is the prefix
# that script prints: `scripts/imaging-libs win` for Windows, `native` for this machine.
#
# One target per library, named after its pkg-config module, each carrying its own
# dependencies, compile definitions and system libraries:
#   imaging::libheif (with libde265, dav1d, libjpeg and the uncompressed codec built in)
#   imaging::libde265   imaging::dav1d     imaging::brotli     imaging::libraw_r
#   imaging::libturbojpeg   imaging::libjpeg   imaging::libpng   imaging::libtiff-4
#   imaging::lcms2      imaging::zlib      imaging::imagequant imaging::gif
# and imaging::all, which links every one of them.
include_guard(GLOBAL)

if(NOT TESS_IMAGING_LIBS OR NOT EXISTS "${TESS_IMAGING_LIBS}/.complete")
  message(FATAL_ERROR "TESS_IMAGING_LIBS='${TESS_IMAGING_LIBS}' is not a complete prefix: run scripts/imaging-libs")
endif()
find_package(Threads REQUIRED)

set(_il_inc "${TESS_IMAGING_LIBS}/include")

# _tess_imaging_lib(<name> <archive> [DEPS targets...] [DEFS definitions...]
#                   [OPTIONS link options...] [INCLUDES extra include dirs...])
function(_tess_imaging_lib name archive)
  cmake_parse_arguments(A "" "" "DEPS;DEFS;OPTIONS;COMPILE_OPTIONS;INCLUDES" ${ARGN})
  set(file "${TESS_IMAGING_LIBS}/lib/${archive}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} is missing: run scripts/imaging-libs")
  endif()
  add_library(imaging::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(imaging::${name} PROPERTIES
    IMPORTED_LOCATION "${file}"
    INTERFACE_INCLUDE_DIRECTORIES "${_il_inc};${A_INCLUDES}"
    INTERFACE_COMPILE_DEFINITIONS "${A_DEFS}"
    INTERFACE_COMPILE_OPTIONS "${A_COMPILE_OPTIONS}"
    INTERFACE_LINK_LIBRARIES "${A_DEPS}"
    INTERFACE_LINK_OPTIONS "${A_OPTIONS}")
endfunction()

if(WIN32)
  set(_il_system_raw ws2_32)
  set(_il_static_defs LIBDE265_STATIC_BUILD)
  set(_il_heif_defs LIBHEIF_STATIC_BUILD)
  set(_il_raw_defs LIBRAW_NODLL)
  set(_il_dl "")
else()
  set(_il_system_raw "")
  set(_il_static_defs "")
  set(_il_heif_defs "")
  set(_il_raw_defs "")
  set(_il_dl ${CMAKE_DL_LIBS} m)
endif()

_tess_imaging_lib(zlib libz.a)
_tess_imaging_lib(libjpeg libjpeg.a)
_tess_imaging_lib(libturbojpeg libturbojpeg.a)
_tess_imaging_lib(libpng libpng16.a DEPS imaging::zlib ${_il_dl})
_tess_imaging_lib(libtiff-4 libtiff.a DEPS imaging::zlib ${_il_dl})
_tess_imaging_lib(gif libgif.a)
_tess_imaging_lib(lcms2 liblcms2.a DEPS ${_il_dl})
# Quantising runs its loops with OpenMP (libgomp; on Windows on winpthreads, static).
_tess_imaging_lib(imagequant libimagequant.a OPTIONS -fopenmp DEPS ${_il_dl})
_tess_imaging_lib(brotlicommon libbrotlicommon.a)
# libheif's uncompressed codec links the encoder as well as the decoder.
_tess_imaging_lib(brotlienc libbrotlienc.a DEPS imaging::brotlicommon)
_tess_imaging_lib(brotli libbrotlidec.a DEPS imaging::brotlienc imaging::brotlicommon)
_tess_imaging_lib(dav1d libdav1d.a DEPS Threads::Threads ${_il_dl})
_tess_imaging_lib(libde265 libde265.a DEFS ${_il_static_defs} DEPS Threads::Threads)
_tess_imaging_lib(libheif libheif.a DEFS ${_il_heif_defs}
  DEPS imaging::libde265 imaging::dav1d imaging::libjpeg imaging::brotli imaging::zlib Threads::Threads)
# Both <libraw/libraw.h> and <libraw.h> work. LibRaw is built with OpenMP, and its
# headers' inline allocator must be compiled the same way here.
_tess_imaging_lib(libraw_r libraw_r.a DEFS ${_il_raw_defs} LIBRAW_FORCE_OPENMP INCLUDES "${_il_inc}/libraw"
  COMPILE_OPTIONS -fopenmp OPTIONS -fopenmp
  DEPS imaging::lcms2 imaging::libjpeg imaging::zlib ${_il_system_raw} Threads::Threads)

add_library(imaging::all INTERFACE IMPORTED GLOBAL)
set_target_properties(imaging::all PROPERTIES INTERFACE_LINK_LIBRARIES
  "imaging::libheif;imaging::libraw_r;imaging::libturbojpeg;imaging::libjpeg;imaging::libpng;imaging::libtiff-4;imaging::lcms2;imaging::imagequant;imaging::gif;imaging::zlib")
