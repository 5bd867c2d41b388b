#include "tools/convert/orient.h"

#include <utility>

namespace conv {

namespace {

template <typename T>
void transform(std::vector<T>& px, uint32_t& w, uint32_t& h, int ch, int o) {
    const uint32_t sw = w, sh = h;
    const bool swap = o >= 5;
    const uint32_t dw = swap ? sh : sw, dh = swap ? sw : sh;
    std::vector<T> out(px.size());
    // For each output pixel (x, y) find the stored pixel (sx, sy).
    for (uint32_t y = 0; y < dh; ++y) {
        T* dst = out.data() + size_t(y) * dw * ch;
        for (uint32_t x = 0; x < dw; ++x) {
            uint32_t sx, sy;
            switch (o) {
                case 2: sx = sw - 1 - x; sy = y; break;
                case 3: sx = sw - 1 - x; sy = sh - 1 - y; break;
                case 4: sx = x; sy = sh - 1 - y; break;
                case 5: sx = y; sy = x; break;
                case 6: sx = y; sy = sh - 1 - x; break;
                case 7: sx = sw - 1 - y; sy = sh - 1 - x; break;
                default: sx = sw - 1 - y; sy = x; break;  // 8
            }
            const T* src = px.data() + (size_t(sy) * sw + sx) * ch;
            for (int c = 0; c < ch; ++c) dst[size_t(x) * ch + c] = src[c];
        }
    }
    px.swap(out);
    w = dw;
    h = dh;
}

}  // namespace

void applyOrientation(Image& img, int orientation) {
    if (orientation < 2 || orientation > 8) return;
    if (img.bits == 8) transform(img.px8, img.width, img.height, img.channels, orientation);
    else transform(img.px16, img.width, img.height, img.channels, orientation);
}

}  // namespace conv
