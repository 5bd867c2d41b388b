// Writing pictures: one saver per output format, all writing into an OutFile
// (formats.h picks the saver from the output's extension).
#pragma once

#include <string>

#include "tools/convert/fileio.h"
#include "tools/convert/image.h"

namespace conv {

struct SaveOptions {
    // 1..100. JPEG quality for JPG; for the lossless formats it only chooses the
    // compression effort (each saver documents its mapping).
    int quality = 85;
    bool qualityGiven = false;  // false: the user gave no -quality
    int threads = 1;            // worker threads a saver may use
};

// The picture is 8- or 16-bit RGB(A) with its ICC profile (empty = sRGB), EXIF
// (Orientation already 1) and XMP. Savers that cannot carry a profile convert
// a copy to sRGB with toSRGB() (colour.h). Every failure throws ConvertError:
// kExitOutput for write errors (OutFile does that), kExitInput for pictures the
// format cannot hold.
void saveJpeg(const Image& img, const SaveOptions& opt, OutFile& out);
void savePng(const Image& img, const SaveOptions& opt, OutFile& out);
void saveGif(const Image& img, const SaveOptions& opt, OutFile& out);
void saveTiff(const Image& img, const SaveOptions& opt, OutFile& out);
void saveBmp(const Image& img, const SaveOptions& opt, OutFile& out);

}  // namespace conv
