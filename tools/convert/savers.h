// Writing pictures: one saver per output format, all writing into an OutFile.
#pragma once

#include <string>

#include "tools/convert/fileio.h"
#include "tools/convert/image.h"

namespace conv {

enum class OutputFormat { Unknown, Jpeg, Png, Gif, Tiff, Bmp };

// From the output path's extension, any case: jpg/jpeg, png, gif, tif/tiff, bmp.
OutputFormat formatFromPath(const Path& p);
const char* formatName(OutputFormat f);

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

void saveAny(OutputFormat f, const Image& img, const SaveOptions& opt, OutFile& out);

}  // namespace conv
