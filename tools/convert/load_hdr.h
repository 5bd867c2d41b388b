// Radiance HDR (.hdr, .pic): our own reader and the tone mapping that turns
// scene radiance into a well exposed 16-bit sRGB picture. loadHdr() in
// loaders.h is decodeRadiance() followed by toneMapRadiance().
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/convert/image.h"
#include "tools/convert/loaders.h"

namespace conv {

// A Radiance picture as stored: 4 bytes per pixel (three mantissas and a shared
// exponent), already arranged top row first, left to right, whatever the
// file's resolution string said.
struct RadiancePicture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgbe;
    bool xyz = false;                   // FORMAT=32-bit_rle_xyze: CIE XYZ primaries
    float exposure = 1.0f;              // product of every EXPOSURE= line
    float colorCorr[3] = {1.0f, 1.0f, 1.0f};  // product of every COLORCORR= line
};

// Parses the header, checks the size against the pixel limit, then decodes
// every scanline (new run-length, old run-length or flat). Throws ConvertError:
// kExitInput naming the file for anything damaged or cut short, kExitLimit when
// the declared size is over opt.maxPixels.
RadiancePicture decodeRadiance(const uint8_t* data, size_t size, const Path& path,
                               const LoadOptions& opt);

// The automatic exposure chosen for a picture (see load_hdr.cpp for the rule).
struct ToneMapping {
    float gain = 1.0f;   // multiplies scene luminance
    float white = 1.0f;  // scaled luminance that reaches display white
};
ToneMapping chooseToneMapping(const RadiancePicture& pic);

// The display curve: scaled luminance -> display-linear luminance in [0, 1].
float toneCurve(float x, float white);

// Scene radiance -> 16-bit RGB in sRGB (no ICC profile), on `threads` threads.
Image toneMapRadiance(const RadiancePicture& pic, const ToneMapping& tm, int threads);

}  // namespace conv
