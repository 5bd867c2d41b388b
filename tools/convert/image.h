// The in-memory picture every loader produces and every saver takes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace conv {

struct GainMap;  // gain_map.h

// Interleaved pixels, top row first, no padding between rows.
// channels: 3 (RGB) or 4 (RGBA, straight alpha). bits: 8 or 16 per channel
// (16-bit samples use the full 0..65535 range, native byte order).
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    int channels = 3;
    int bits = 8;
    std::vector<uint8_t> px8;    // used when bits == 8
    std::vector<uint16_t> px16;  // used when bits == 16

    // Colour: the ICC profile describing the pixels; empty means sRGB.
    std::vector<uint8_t> icc;
    // EXIF as a TIFF structure (starts with "II*\0" or "MM\0*"), without the
    // "Exif\0\0" prefix of a JPEG APP1 segment and without HEIF's offset word.
    std::vector<uint8_t> exif;
    // XMP packet (UTF-8 XML), empty when the source has none.
    std::vector<uint8_t> xmp;

    // Only when a loader was allowed to (LoadOptions::allowYcc420) and the
    // picture is 8-bit without alpha: the pixels as JPEG stores them instead of
    // px8 — full-range BT.601 YCbCr with both chroma planes halved in each
    // direction. Y plane (width x height), then Cb, then Cr ((width+1)/2 x
    // (height+1)/2 each). expandYcc420() (colour.h) turns it into px8.
    std::vector<uint8_t> ycc420;
    bool isYcc420() const { return !ycc420.empty(); }

    // An HDR gain map that goes with the picture (only when a loader was asked
    // for one, LoadOptions::gainMap); it follows the picture through resizing.
    std::shared_ptr<GainMap> gainMap;
    // A remark for standard error when the loader had to take another road
    // than the file's main picture (printed once the output is written).
    std::string note;

    size_t rowSamples() const { return size_t(width) * channels; }
    size_t sampleCount() const { return rowSamples() * height; }
    void allocate(uint32_t w, uint32_t h, int ch, int b) {
        width = w; height = h; channels = ch; bits = b;
        px8.clear(); px16.clear();
        if (b == 8) px8.assign(sampleCount(), 0); else px16.assign(sampleCount(), 0);
    }
};

// Every failure of the converter is one of these; main() prints the message on one
// line of standard error and exits with the code.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,        // command line not understood
    kExitInput = 2,        // input unreadable, corrupt or unsupported
    kExitOutput = 3,       // output cannot be written
    kExitLimit = 4,        // picture over the pixel limit
};

struct ConvertError {
    int code;
    std::string message;  // plain words, naming the file
};

}  // namespace conv
