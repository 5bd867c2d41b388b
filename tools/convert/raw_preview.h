// What a camera raw file carries besides its sensor data: the JPEG previews the
// camera embedded, and the EXIF of the shot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/loaders.h"

namespace conv {

// A complete baseline or progressive JPEG found inside another file.
struct EmbeddedJpeg {
    size_t offset = 0, size = 0;
    uint32_t width = 0, height = 0;  // from its frame header
};

// Every JPEG in the bytes that runs from SOI through a frame header and a scan
// to EOI, largest picture first. JPEGs nested inside another one's segments
// (an EXIF thumbnail in a preview) are not listed on their own.
std::vector<EmbeddedJpeg> findEmbeddedJpegs(const uint8_t* data, size_t size);

// The file's own EXIF block for a TIFF-structured raw file (CR2, NEF, NRW, DNG,
// ORF, RW2, ...): see exifFromTiffFile, maker notes only when self-contained.
// Empty for other layouts.
std::vector<uint8_t> rawFileExif(const InputFile& in);

// The largest embedded JPEG preview that decodes whole (at least 640 pixels on
// its long side), turned by
// `orientation` (an EXIF value; 0 = take the file's TIFF Orientation) unless
// the preview's own EXIF says how, with the file's EXIF (or else the
// preview's), and Image::note saying that the preview was taken and `why`.
// Throws ConvertError{kExitInput} "<file>: <why>; ..." when there is none.
Image embeddedPreview(const InputFile& in, const LoadOptions& opt, int orientation, const std::string& why);

}  // namespace conv
