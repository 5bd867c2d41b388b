#include "tools/convert/save_bmp.h"

#include <algorithm>
#include <cstring>

#include "tools/convert/bytes.h"
#include "tools/convert/srgb8.h"

namespace conv {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;   // BITMAPINFOHEADER
constexpr uint32_t kV5HeaderSize = 124;    // BITMAPV5HEADER
constexpr int32_t kPixelsPerMetre = 2835;  // 72 dpi
constexpr uint32_t kBiRgb = 0, kBiBitfields = 3;
constexpr uint32_t kLcsSRGB = 0x73524742;  // 'sRGB'
constexpr uint32_t kLcsGmImages = 4;       // perceptual rendering intent

uint64_t rowBytes(uint32_t width, bool alpha) { return (uint64_t(width) * (alpha ? 32 : 24) + 31) / 32 * 4; }

}  // namespace

std::vector<uint8_t> bmpHeaders(uint32_t width, uint32_t height, bool alpha, const OutFile& out) {
    const uint32_t infoSize = alpha ? kV5HeaderSize : kInfoHeaderSize;
    const uint64_t imageSize = rowBytes(width, alpha) * height;
    const uint64_t fileSize = kFileHeaderSize + infoSize + imageSize;
    if (fileSize > 0xffffffffu || width > 0x7fffffffu || height > 0x7fffffffu)
        throw ConvertError{kExitInput, toUtf8(out.finalPath()) + ": the picture is too large for a BMP file (4 GB at most)"};

    std::vector<uint8_t> h;
    h.reserve(kFileHeaderSize + infoSize);
    // BITMAPFILEHEADER
    h.push_back('B');
    h.push_back('M');
    appendLe32(h, uint32_t(fileSize));
    appendLe16(h, 0);
    appendLe16(h, 0);
    appendLe32(h, kFileHeaderSize + infoSize);  // where the pixels start
    // BITMAPINFOHEADER, the first 40 bytes of BITMAPV5HEADER as well
    appendLe32(h, infoSize);
    appendLe32(h, width);
    appendLe32(h, height);  // positive: bottom-up
    appendLe16(h, 1);       // planes
    appendLe16(h, alpha ? 32 : 24);
    appendLe32(h, alpha ? kBiBitfields : kBiRgb);
    appendLe32(h, uint32_t(imageSize));
    appendLe32(h, uint32_t(kPixelsPerMetre));
    appendLe32(h, uint32_t(kPixelsPerMetre));
    appendLe32(h, 0);  // colours used
    appendLe32(h, 0);  // important colours
    if (alpha) {
        appendLe32(h, 0x00ff0000);  // red mask
        appendLe32(h, 0x0000ff00);  // green
        appendLe32(h, 0x000000ff);  // blue
        appendLe32(h, 0xff000000);  // alpha
        appendLe32(h, kLcsSRGB);
        for (int i = 0; i < 9 + 3; ++i) appendLe32(h, 0);  // endpoints, gamma: unused for sRGB
        appendLe32(h, kLcsGmImages);
        appendLe32(h, 0);  // profile data
        appendLe32(h, 0);  // profile size
        appendLe32(h, 0);  // reserved
    }
    return h;
}

void saveBmp(const Image& img, const SaveOptions&, OutFile& out) {
    Image scratch;
    const Image& src = srgb8(img, scratch);
    const bool alpha = src.channels == 4;
    const std::vector<uint8_t> headers = bmpHeaders(src.width, src.height, alpha, out);
    out.write(headers.data(), headers.size());

    const size_t stride = size_t(rowBytes(src.width, alpha));
    const size_t inStride = src.rowSamples();
    // Several rows per write: fewer calls, same bytes.
    const size_t rowsPerChunk = std::max<size_t>(1, (1u << 20) / stride);
    std::vector<uint8_t> chunk(stride * rowsPerChunk, 0);
    size_t filled = 0;
    for (uint32_t k = 0; k < src.height; ++k) {
        const uint8_t* in = src.px8.data() + size_t(src.height - 1 - k) * inStride;
        uint8_t* o = chunk.data() + filled * stride;
        if (alpha) {
            for (uint32_t x = 0; x < src.width; ++x, in += 4, o += 4) {
                o[0] = in[2];
                o[1] = in[1];
                o[2] = in[0];
                o[3] = in[3];
            }
        } else {
            for (uint32_t x = 0; x < src.width; ++x, in += 3, o += 3) {
                o[0] = in[2];
                o[1] = in[1];
                o[2] = in[0];
            }
        }
        if (++filled == rowsPerChunk || k + 1 == src.height) {
            out.write(chunk.data(), filled * stride);
            filled = 0;
        }
    }
}

}  // namespace conv
