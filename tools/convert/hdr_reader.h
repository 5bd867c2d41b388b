// Radiance HDR (.hdr, .pic), our own reader: the header, the resolution
// string and the scanlines in every encoding, into the stored pixels (three
// mantissas and a shared exponent), and those pixels as linear sRGB.
// hdr_tone_map.h turns them into a picture to show; loadHdr() joins the two.
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

// Where scanline j, pixel k lands in the top-down picture:
// index = origin + j * strideJ + k * strideK (in pixels).
struct RadianceLayout {
    uint32_t width = 0, height = 0;
    uint32_t scanlines = 0, lineLength = 0;
    int64_t origin = 0, strideJ = 0, strideK = 0;
};

// What the header says, and where the pixels start.
struct RadianceHeader {
    RadiancePicture meta;  // everything but the pixels
    RadianceLayout lay;
    size_t pixelsAt = 0;
};

// The header and the size line, the size checked against the pixel limit and
// against what the file can hold. Throws as decodeRadiance() does.
RadianceHeader parseRadianceHeader(const uint8_t* data, size_t size, const Path& path, const LoadOptions& opt);

// Decodes scanlines one after another from p; a damaged or cut-short one
// throws ConvertError{kExitInput} naming the file.
class ScanlineReader {
public:
    ScanlineReader(const uint8_t* p, const uint8_t* end, const Path& path) : p_(p), end_(end), path_(path) {}

    // Decodes one scanline of `len` pixels into out (4 bytes per pixel).
    void read(uint8_t* out, uint32_t len);

private:
    void need(size_t n) const;
    [[noreturn]] void damaged() const;
    void readNewRle(uint8_t* out, uint32_t len);
    void readOld(uint8_t* out, uint32_t len);

    const uint8_t* p_;
    const uint8_t* end_;
    const Path& path_;
    uint8_t prev_[4] = {0, 0, 0, 0};
    bool havePrev_ = false;
};

// Where each scanline starts, found by walking the run-length codes without
// decoding them, so that scanlines can be decoded on several threads. Only
// for files whose every scanline is new run-length (what Radiance and every
// common writer produce); false otherwise, or at the first inconsistency (the
// one-thread decoder then reports it).
bool indexScanlines(const uint8_t* p, const uint8_t* end, uint32_t count, uint32_t len,
                    std::vector<const uint8_t*>& starts);

// Stored pixel -> linear sRGB of the original radiance (before exposure).
struct PixelDecoder {
    float expTable[256];
    float m[9];  // file primaries (mantissa + 0.5 scaled) -> linear sRGB

    explicit PixelDecoder(const RadiancePicture& pic, float gain = 1.0f);

    void operator()(const uint8_t* px, float rgb[3]) const {
        const float f = expTable[px[3]];
        const float a = (px[0] + 0.5f) * f, b = (px[1] + 0.5f) * f, c = (px[2] + 0.5f) * f;
        rgb[0] = m[0] * a + m[1] * b + m[2] * c;
        rgb[1] = m[3] * a + m[4] * b + m[5] * c;
        rgb[2] = m[6] * a + m[7] * b + m[8] * c;
    }
};


}  // namespace conv
