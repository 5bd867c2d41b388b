#include "tools/convert/png_effort.h"

#include <png.h>
#include <zlib.h>

#include <cstdlib>

namespace conv {

PngEffort pngEffort(int quality, bool qualityGiven) {
    if (!qualityGiven) quality = 85;
    if (quality >= 98) return {9, Z_DEFAULT_STRATEGY, true};
    if (quality >= 90) return {6, Z_DEFAULT_STRATEGY, false};
    if (quality >= 50) return {2, Z_DEFAULT_STRATEGY, false};
    return {1, Z_DEFAULT_STRATEGY, false};
}

namespace {

int paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

}  // namespace

int choosePngFilter(const Image& img) {
    const size_t bpp = size_t(img.channels) * (img.bits / 8);
    const size_t rowBytes = img.rowSamples() * (img.bits / 8);
    if (img.height < 2 || rowBytes == 0) return PNG_FILTER_UP;
    // PNG stores 16-bit samples big-endian; filtering works on those bytes.
    auto byteAt = [&](uint32_t y, size_t i) -> int {
        if (img.bits == 8) return img.px8[size_t(y) * rowBytes + i];
        uint16_t v = img.px16[(size_t(y) * rowBytes + i) / 2];
        return (i & 1) ? (v & 0xff) : (v >> 8);
    };
    uint64_t cost[4] = {0, 0, 0, 0};  // Sub, Up, Average, Paeth
    const uint32_t step = std::max<uint32_t>(1, img.height / 48);
    for (uint32_t y = 1; y < img.height; y += step) {
        for (size_t i = 0; i < rowBytes; ++i) {
            const int x = byteAt(y, i);
            const int a = i >= bpp ? byteAt(y, i - bpp) : 0;
            const int b = byteAt(y - 1, i);
            const int c = i >= bpp ? byteAt(y - 1, i - bpp) : 0;
            const int f[4] = {x - a, x - b, x - (a + b) / 2, x - paeth(a, b, c)};
            for (int k = 0; k < 4; ++k) {
                int v = int8_t(uint8_t(f[k]));
                cost[k] += uint64_t(std::abs(v));
            }
        }
    }
    static const int masks[4] = {PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH};
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (cost[k] < cost[best]) best = k;
    return masks[best];
}

}  // namespace conv
