#include "tools/convert/library_versions.h"

#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libraw/libraw.h>
#include <turbojpeg.h>
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
#include <gif_lib.h>
#include <lcms2.h>
#include <libimagequant.h>
#include <png.h>
#include <tiffio.h>
#include <zlib.h>

namespace conv {

std::string libraryVersions() {
    std::string out;
    auto line = [&](const char* name, const std::string& version) { out += std::string(name) + " " + version + "\n"; };
    line("libheif", heif_get_version());
    line("libde265", de265_get_version());
    line("LibRaw", libraw_version());
    const int jt = LIBJPEG_TURBO_VERSION_NUMBER;
    line("libjpeg-turbo", std::to_string(jt / 1000000) + "." + std::to_string(jt / 1000 % 1000) + "." +
                              std::to_string(jt % 1000));
    line("libpng", png_get_libpng_ver(nullptr));
    // "LIBTIFF, Version 4.7.0\nCopyright ...": the first line's last word.
    std::string tiff = TIFFGetVersion();
    tiff = tiff.substr(0, tiff.find('\n'));
    line("libtiff", tiff.substr(tiff.rfind(' ') + 1));
    line("giflib", std::to_string(GIFLIB_MAJOR) + "." + std::to_string(GIFLIB_MINOR) + "." +
                       std::to_string(GIFLIB_RELEASE));
    const int lcms = cmsGetEncodedCMMversion();
    line("lcms2", std::to_string(lcms / 1000) + "." + std::to_string(lcms % 1000 / 10));
    line("libimagequant", LIQ_VERSION_STRING);
    line("zlib", zlibVersion());
    return out;
}

}  // namespace conv
