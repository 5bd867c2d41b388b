// Radiance HDR (.hdr, .pic): our own reader and the tone mapping that turns
// scene radiance into a well exposed 16-bit sRGB picture. loadHdr() in
// loaders.h is decodeRadiance() followed by toneMapRadiance().
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/convert/image.h"
#include "tools/convert/loaders.h"

namespace conv {

// Bytes that are not zeroed when allocated: the decoder's threads write every
// one of them, and each touches its own share of the memory first.
class ByteBuffer {
public:
    void allocate(size_t n) {
        data_.reset(new uint8_t[n]);
        size_ = n;
    }
    uint8_t* data() { return data_.get(); }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }
    uint8_t operator[](size_t i) const { return data_[i]; }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
};

// A Radiance picture as stored: 4 bytes per pixel (three mantissas and a shared
// exponent), already arranged top row first, left to right, whatever the
// file's resolution string said.
struct RadiancePicture {
    uint32_t width = 0;
    uint32_t height = 0;
    ByteBuffer rgbe;
    bool xyz = false;                   // FORMAT=32-bit_rle_xyze: CIE XYZ primaries
    float exposure = 1.0f;              // product of every EXPOSURE= line
    float colorCorr[3] = {1.0f, 1.0f, 1.0f};  // product of every COLORCORR= line
};

// Parses the header, checks the size against the pixel limit, then decodes
// every scanline (new run-length, old run-length or flat), on opt.threads
// threads when every scanline is new run-length. Throws ConvertError:
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

// Scene radiance -> 16-bit RGB in sRGB (no ICC profile), on `threads` threads,
// into `out`, which must be allocated as width x height, 3 channels, 16 bits.
void toneMapRadiance(const RadiancePicture& pic, const ToneMapping& tm, int threads, Image& out);

}  // namespace conv
