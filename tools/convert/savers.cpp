#include "tools/convert/savers.h"

#include "tools/convert/colour.h"

namespace conv {

OutputFormat formatFromPath(const Path& p) {
    const std::string e = extensionLower(p);
    if (e == "jpg" || e == "jpeg" || e == "jpe") return OutputFormat::Jpeg;
    if (e == "png") return OutputFormat::Png;
    if (e == "gif") return OutputFormat::Gif;
    if (e == "tif" || e == "tiff") return OutputFormat::Tiff;
    if (e == "bmp") return OutputFormat::Bmp;
    return OutputFormat::Unknown;
}

const char* formatName(OutputFormat f) {
    switch (f) {
        case OutputFormat::Jpeg: return "JPEG";
        case OutputFormat::Png: return "PNG";
        case OutputFormat::Gif: return "GIF";
        case OutputFormat::Tiff: return "TIFF";
        case OutputFormat::Bmp: return "BMP";
        default: return "unknown";
    }
}

void saveAny(OutputFormat f, const Image& picture, const SaveOptions& opt, OutFile& out) {
    // Only the JPEG encoder takes YCbCr planes; every other saver gets RGB.
    Image rgb;
    if (picture.isYcc420() && f != OutputFormat::Jpeg) {
        rgb = picture;
        expandYcc420(rgb);
    }
    const Image& img = rgb.width ? rgb : picture;
    switch (f) {
        case OutputFormat::Jpeg: return saveJpeg(img, opt, out);
        case OutputFormat::Png: return savePng(img, opt, out);
        case OutputFormat::Gif: return saveGif(img, opt, out);
        case OutputFormat::Tiff: return saveTiff(img, opt, out);
        case OutputFormat::Bmp: return saveBmp(img, opt, out);
        default: break;
    }
    throw ConvertError{kExitUsage, toUtf8(out.finalPath()) + ": unknown output format"};
}

}  // namespace conv
