// Mapping pixels onto a palette: the nearest entry, and error diffusion on
// several threads.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tools/convert/palette_map.h"

namespace {

uint32_t rgba(int r, int g, int b, int a = 255) { return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24; }

// A photograph-like picture: smooth gradients with noise, and a few fully
// transparent pixels, which the mapping must leave alone.
std::vector<uint8_t> picture(uint32_t w, uint32_t h) {
    std::mt19937 rng(7);
    std::vector<uint8_t> p(size_t(w) * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* q = &p[(size_t(y) * w + x) * 4];
            q[0] = uint8_t(std::min<uint32_t>(255, x * 255 / w + rng() % 9));
            q[1] = uint8_t(std::min<uint32_t>(255, y * 255 / h + rng() % 9));
            q[2] = uint8_t((x + 2 * y) % 256);
            q[3] = (x * 7 + y * 13) % 97 == 0 ? 0 : 255;
        }
    return p;
}

std::vector<uint32_t> palette(size_t n) {
    std::mt19937 rng(3);
    std::vector<uint32_t> pal;
    for (size_t i = 0; i < n; ++i) pal.push_back(rgba(int(rng() % 256), int(rng() % 256), int(rng() % 256)));
    pal[5] = rgba(0, 0, 0, 0);  // a transparent entry is never chosen
    pal[9] = pal[4];            // ties go to the lower index
    return pal;
}

TEST(PaletteMap, DitheringGivesOneResultOnAnyNumberOfThreads) {
    const uint32_t w = 301, h = 1100;  // bands of rows, the last one short
    const auto px = picture(w, h);
    const auto pal = palette(200);
    std::vector<uint8_t> one(size_t(w) * h, 255);
    conv::ditherToPalette(px.data(), w, h, pal, 1, one.data());
    for (size_t i = 0; i < one.size(); ++i) {
        if (px[i * 4 + 3] == 0)
            ASSERT_EQ(one[i], 255) << "transparent pixel " << i << " was written";
        else
            ASSERT_TRUE(one[i] < pal.size() && one[i] != 5 && one[i] != 9) << "pixel " << i << ": " << int(one[i]);
    }
    for (int threads : {2, 3, 8}) {
        std::vector<uint8_t> many(one.size(), 255);
        std::atomic<uint32_t> rows{0};
        conv::ditherToPalette(px.data(), w, h, pal, threads, many.data(), &rows);
        EXPECT_EQ(many, one) << threads << " threads";
        EXPECT_EQ(rows.load(), h);
    }
}

TEST(PaletteMap, NearestIsWhatASearchOfThePaletteFinds) {
    const uint32_t w = 256, h = 64;
    const auto px = picture(w, h);
    const auto pal = palette(256);
    std::vector<uint8_t> got(size_t(w) * h, 255);
    conv::nearestInPalette(px.data(), w, h, pal, 2, got.data());
    for (size_t i = 0; i < got.size(); ++i) {
        if (px[i * 4 + 3] == 0) continue;
        int best = -1, bestDist = 1 << 30;
        for (size_t k = 0; k < pal.size(); ++k) {
            if ((pal[k] >> 24) < 128) continue;
            int d = 0;
            for (int c = 0; c < 3; ++c) d += (int(px[i * 4 + c]) - int(pal[k] >> (8 * c) & 255)) * (int(px[i * 4 + c]) - int(pal[k] >> (8 * c) & 255));
            if (d < bestDist) {
                bestDist = d;
                best = int(k);
            }
        }
        ASSERT_EQ(got[i], best) << "pixel " << i;
    }
}

// Error diffusion keeps a flat area's colour on average where the nearest
// entry alone would not; and with no opaque entry nothing is written.
TEST(PaletteMap, DitheringKeepsTheColourOfFlatAreas) {
    const uint32_t w = 128, h = 128;
    std::vector<uint8_t> px(size_t(w) * h * 4);
    for (size_t i = 0; i < px.size(); i += 4) px[i] = px[i + 1] = px[i + 2] = 70, px[i + 3] = 255;
    const std::vector<uint32_t> pal = {rgba(0, 0, 0), rgba(200, 200, 200)};
    std::vector<uint8_t> idx(size_t(w) * h);
    conv::ditherToPalette(px.data(), w, h, pal, 2, idx.data());
    double mean = 0;
    for (uint8_t k : idx) mean += k ? 200 : 0;
    EXPECT_NEAR(mean / double(idx.size()), 70, 3);
    std::vector<uint8_t> untouched(idx.size(), 7);
    conv::ditherToPalette(px.data(), w, h, {rgba(1, 2, 3, 0)}, 2, untouched.data());
    EXPECT_EQ(untouched, std::vector<uint8_t>(idx.size(), 7));
}

}  // namespace
