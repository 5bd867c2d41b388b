# Imported targets for the imaging libraries that scripts/winlibs cross-builds for Windows
# (static, from Debian's sources). TESS_WINLIBS is the prefix that script prints.
#
# One target per library, named after the native build's pkg-config module, each carrying
# its own dependencies, compile definitions and Windows system libraries:
#   winlibs::libheif (with libde265 built in)   winlibs::libde265
#   winlibs::libraw_r     winlibs::libturbojpeg   winlibs::libjpeg   winlibs::libpng
#   winlibs::libtiff-4    winlibs::lcms2          winlibs::zlib      winlibs::imagequant
#   winlibs::gif
# and winlibs::all, which links every one of them.
include_guard(GLOBAL)

if(NOT TESS_WINLIBS OR NOT EXISTS "${TESS_WINLIBS}/.complete")
  message(FATAL_ERROR "TESS_WINLIBS='${TESS_WINLIBS}' is not a complete prefix: run scripts/winlibs")
endif()
find_package(Threads REQUIRED)

set(_wl_inc "${TESS_WINLIBS}/include")

# _tess_winlib(<name> <archive> [DEPS targets...] [DEFS definitions...] [OPTIONS link options...]
#              [INCLUDES extra include dirs...])
function(_tess_winlib name archive)
  cmake_parse_arguments(A "" "" "DEPS;DEFS;OPTIONS;INCLUDES" ${ARGN})
  set(file "${TESS_WINLIBS}/lib/${archive}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} is missing: run scripts/winlibs")
  endif()
  add_library(winlibs::${name} STATIC IMPORTED GLOBAL)
  set_target_properties(winlibs::${name} PROPERTIES
    IMPORTED_LOCATION "${file}"
    INTERFACE_INCLUDE_DIRECTORIES "${_wl_inc};${A_INCLUDES}"
    INTERFACE_COMPILE_DEFINITIONS "${A_DEFS}"
    INTERFACE_LINK_LIBRARIES "${A_DEPS}"
    INTERFACE_LINK_OPTIONS "${A_OPTIONS}")
endfunction()

_tess_winlib(zlib libz.a)
_tess_winlib(libjpeg libjpeg.a)
_tess_winlib(libturbojpeg libturbojpeg.a)
_tess_winlib(libpng libpng16.a DEPS winlibs::zlib)
_tess_winlib(libtiff-4 libtiff.a DEPS winlibs::zlib)
_tess_winlib(gif libgif.a)
_tess_winlib(lcms2 liblcms2.a)
# Quantising runs its loops with OpenMP (libgomp on winpthreads, linked statically).
_tess_winlib(imagequant libimagequant.a OPTIONS -fopenmp)
_tess_winlib(libde265 libde265.a DEFS LIBDE265_STATIC_BUILD DEPS Threads::Threads)
_tess_winlib(libheif libheif.a DEFS LIBHEIF_STATIC_BUILD DEPS winlibs::libde265 Threads::Threads)
# Both <libraw/libraw.h> and <libraw.h> work, as with the native pkg-config flags.
_tess_winlib(libraw_r libraw_r.a DEFS LIBRAW_NODLL INCLUDES "${_wl_inc}/libraw"
  DEPS winlibs::lcms2 winlibs::libjpeg winlibs::zlib ws2_32)

add_library(winlibs::all INTERFACE IMPORTED GLOBAL)
set_target_properties(winlibs::all PROPERTIES INTERFACE_LINK_LIBRARIES
  "winlibs::libheif;winlibs::libraw_r;winlibs::libturbojpeg;winlibs::libjpeg;winlibs::libpng;winlibs::libtiff-4;winlibs::lcms2;winlibs::imagequant;winlibs::gif;winlibs::zlib")
