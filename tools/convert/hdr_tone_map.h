// Tone mapping of Radiance pictures: the automatic exposure and the display
// curve that turn scene radiance (hdr_reader.h) into a well exposed 16-bit
// sRGB picture, JPEG's YCbCr planes, and the HDR gain map beside them.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/convert/hdr_reader.h"
#include "tools/convert/image.h"

namespace conv {

// The automatic exposure chosen for a picture (see hdr_tone_map.cpp for the rule).
struct ToneMapping {
    float gain = 1.0f;   // multiplies scene luminance
    float white = 1.0f;  // scaled luminance that reaches display white
};
ToneMapping chooseToneMapping(const RadiancePicture& pic);

// The sRGB transfer curve from linear [0, 1] to 0..65535, tabulated by the
// bits of the float: 4096 steps per octave from 2^-16 up to 1, each value
// rounded to the nearest step, so every result is within 4 units of the exact
// curve (and 1.0 less an ulp is still white) and the lookup is integer
// arithmetic that vectorises. Values below 2^-16 come out as 0.
class SrgbTable {
public:
    static constexpr int kMantissaBits = 12;
    static constexpr int kShift = 23 - kMantissaBits;
    static constexpr int32_t kBase = (127 - 16) << 23;                // bits of 2^-16
    static constexpr int32_t kHalfStep = 1 << (kShift - 1);
    static constexpr int32_t kLast = (16 << 23) >> kShift;            // index of 1.0
    SrgbTable() : t_(size_t(kLast) + 1) {
        t_[0] = 0;
        for (int32_t i = 1; i <= kLast; ++i) {
            const double v = double(std::bit_cast<float>(kBase + (i << kShift)));
            const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
            t_[size_t(i)] = uint16_t(std::lround(std::min(s, 1.0) * 65535.0));
        }
    }
    // Table index of a linear value (any float; out of range is clamped, NaN
    // counts as 0).
    static int32_t index(float v) {
        v = v > 0.0f ? v : 0.0f;
        const int32_t i = (std::bit_cast<int32_t>(v) - kBase + kHalfStep) >> kShift;
        const int32_t lo = i > 0 ? i : 0;
        return lo < kLast ? lo : kLast;
    }
    uint16_t operator[](int32_t i) const { return t_[size_t(i)]; }

private:
    std::vector<uint16_t> t_;
};

// The one table, made on first use.
const SrgbTable& srgbTable();

// Linear light (clamped to [0, 1]) to 16-bit sRGB, through the same table the tone
// mapping uses (within 4 units of the exact curve).
inline uint16_t linearToSrgb16(const SrgbTable& t, float v) { return t[SrgbTable::index(v)]; }
inline uint16_t linearToSrgb16(float v) { return linearToSrgb16(srgbTable(), v); }

// The display curve: scaled luminance -> display-linear luminance in [0, 1].
float toneCurve(float x, float white);

// Scene radiance -> 16-bit RGB in sRGB (no ICC profile), on `threads` threads,
// into `out`, which must be allocated as width x height, 3 channels, 16 bits.
void toneMapRadiance(const RadiancePicture& pic, const ToneMapping& tm, int threads, Image& out);

// The pieces for pictures that are never held decoded: the exposure from the
// grid of samples the statistics take (sampleRow() on every sampleStep()-th
// row, from sampleStep() / 2), then each stored row mapped on its own.
uint32_t sampleStep(uint32_t width, uint32_t height);
void sampleRow(const uint8_t* row, uint32_t width, uint32_t step, const PixelDecoder& dec, std::vector<float>& logs);
ToneMapping toneMappingFromSamples(std::vector<float>& logs);

// The per-pixel arithmetic of toneMapRadiance: stored pixel -> three indexes
// into the transfer-curve table. `m` maps the file's primaries (mantissa + 0.5,
// times 2^(e - 136)) to gained linear sRGB.
struct MapParams {
    float m[9];
    bool xyz;
    float white, invW2;
};

MapParams mapParams(const RadiancePicture& meta, const ToneMapping& tm);

// One row of stored pixels to 16-bit RGB, in blocks: the arithmetic of a
// block first, then the table lookups for the whole block.
void mapLine(const uint8_t* rowIn, uint32_t width, const MapParams& k, uint16_t* rowOut);

// Two rows of 16-bit sRGB (the second may be the first again, for an odd
// last row) to JPEG's YCbCr: full-range BT.601 luma for each pixel, chroma
// of the 2x2 block's mean colour (a lone last column uses its own pixels).
void yccRows(const uint16_t* top, const uint16_t* bottom, bool twoRows, uint32_t width, uint8_t* yTop,
             uint8_t* yBottom, uint8_t* cb, uint8_t* cr);

// The gain map of a Radiance picture, at half its size each way as phones
// store theirs (readers stretch it over the picture): for each 2 x 2 block,
// log2 of its scaled scene light over the light the tone curve gives it on
// screen (never below 0: the curve never rises above the identity, and the
// white point holds the rest at 1). row(y, buffer) gives stored row y, w
// pixels, decoded into buffer (w * 4 bytes) or found elsewhere.
using StoredRow = std::function<const uint8_t*(uint32_t y, std::vector<uint8_t>& buffer)>;
void attachSceneGainMap(const RadiancePicture& meta, const ToneMapping& tm, uint32_t w, uint32_t h, int threads,
                        Image& img, const StoredRow& row);

}  // namespace conv
