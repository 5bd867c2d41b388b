// Tone mapping of Radiance pictures.
//
// Tone mapping — the rule, in four steps:
//   1. Scene luminance L = 0.2126 R + 0.7152 G + 0.0722 B of linear sRGB
//      (XYZ pictures are first converted to linear sRGB; EXPOSURE= and
//      COLORCORR= are undone, so the values are the original radiance).
//   2. Automatic exposure. On a grid of about a quarter of a million pixels, take
//      the luminances above zero; `lo` is their 1st percentile, `hi` their
//      99.5th. The log-average of the luminances clamped to [lo, hi] is the
//      scene's key; clamping keeps a lamp or the sun (a few pixels thousands of
//      times brighter) and deep black noise from moving it. The ratio
//      r = hi / key (at least 1) is the dynamic range to fit.
//   3. Highlight roll-off: extended Reinhard on luminance,
//      T(x) = x (1 + x / W^2) / (1 + x), which rises like x in the shadows and
//      bends smoothly to exactly 1 at the white point W. The gain puts the key
//      at display mid-grey: T(gain * key) = 0.18 (sRGB 118 of 255), and W =
//      gain * hi, so that the 99.5th percentile just reaches white. Solving
//      both gives gain * key = (0.18 - 1/r^2) / 0.82. When that W would be
//      below 1.5 (pictures with little range), W = 1.5 and the gain is solved
//      from T alone: the curve then never gets steeper than the identity and
//      such a picture keeps its own contrast.
//   4. Colour is kept: each pixel's R, G and B are scaled by T(gain L) / L.
//      Where that pushes a channel over 1 (bright saturated light) or below 0
//      (XYZ colours outside sRGB), the colour is pulled towards the grey of the
//      same luminance just enough to fit, as film does in highlights. Then the
//      sRGB transfer curve (a table of 4096 steps per octave) gives 16 bits,
//      or JPEG's YCbCr 4:2:0 when the caller takes that.
#include "tools/convert/hdr_tone_map.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tools/convert/gain_map.h"
#include "tools/convert/parallel.h"

namespace conv {

namespace {

constexpr float kLumR = 0.2126f, kLumG = 0.7152f, kLumB = 0.0722f;
constexpr float kMidGrey = 0.18f;
constexpr float kMinWhite = 1.5f;


inline void mapPixel(uint32_t p, const MapParams& k, int32_t* i0, int32_t* i1, int32_t* i2) {
    const int32_t e = int32_t(p >> 24);
    // 2^(e - 136) built from its bits; exponents below 10 would be under 2^-126
    // and count as black, as does e == 0 by definition.
    const float f = e >= 10 ? std::bit_cast<float>((e - 9) << 23) : 0.0f;
    const float a = (float(int32_t(p & 255)) + 0.5f) * f;
    const float b = (float(int32_t((p >> 8) & 255)) + 0.5f) * f;
    const float d = (float(int32_t((p >> 16) & 255)) + 0.5f) * f;
    const float* m = k.m;
    float r = m[0] * a + m[1] * b + m[2] * d;
    float g = m[3] * a + m[4] * b + m[5] * d;
    float bl = m[6] * a + m[7] * b + m[8] * d;
    const float lum = kLumR * r + kLumG * g + kLumB * bl;
    // toneCurve(lum, white) / lum; at and above the white point the luminance
    // is held at 1.
    float t = 0.0f;
    if (lum > 0.0f) t = lum >= k.white ? 1.0f / lum : (1.0f + lum * k.invW2) / (1.0f + lum);
    r *= t; g *= t; bl *= t;
    const float ld = std::min(lum * t, 1.0f);
    const float hiC = std::max(r, std::max(g, bl));
    const float loC = std::min(r, std::min(g, bl));
    if (hiC > 1.0f || loC < 0.0f) {
        // Towards the grey of the same luminance until it fits.
        float s = 1.0f;
        if (hiC > 1.0f) s = std::min(s, (1.0f - ld) / std::max(hiC - ld, 1e-30f));
        if (loC < 0.0f) s = std::min(s, ld / std::max(ld - loC, 1e-30f));
        r = ld + (r - ld) * s;
        g = ld + (g - ld) * s;
        bl = ld + (bl - ld) * s;
    }
    *i0 = SrgbTable::index(r);
    *i1 = SrgbTable::index(g);
    *i2 = SrgbTable::index(bl);
}

#ifdef __SSE2__
// mapPixel for four pixels at once (SSE2 is part of every x86-64 CPU).
inline __m128 select(__m128 mask, __m128 yes, __m128 no) {
    return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no));
}

inline void mapPixels4(const uint32_t* px, const MapParams& k, int32_t* i0, int32_t* i1, int32_t* i2) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    const __m128i byte = _mm_set1_epi32(255);
    const __m128i e = _mm_srli_epi32(p, 24);
    const __m128i fBits = _mm_slli_epi32(_mm_sub_epi32(e, _mm_set1_epi32(9)), 23);
    const __m128 f = _mm_castsi128_ps(_mm_and_si128(fBits, _mm_cmpgt_epi32(e, _mm_set1_epi32(9))));
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 a = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(_mm_and_si128(p, byte)), half), f);
    const __m128 b = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p, 8), byte)), half), f);
    const __m128 d = _mm_mul_ps(_mm_add_ps(_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(p, 16), byte)), half), f);
    auto row = [&](const float* m) {
        __m128 v = _mm_mul_ps(_mm_set1_ps(m[0]), a);
        if (k.xyz) {
            v = _mm_add_ps(v, _mm_mul_ps(_mm_set1_ps(m[1]), b));
            v = _mm_add_ps(v, _mm_mul_ps(_mm_set1_ps(m[2]), d));
        }
        return v;
    };
    __m128 r, g, bl;
    if (k.xyz) {
        r = row(k.m);
        g = row(k.m + 3);
        bl = row(k.m + 6);
    } else {
        r = _mm_mul_ps(_mm_set1_ps(k.m[0]), a);
        g = _mm_mul_ps(_mm_set1_ps(k.m[4]), b);
        bl = _mm_mul_ps(_mm_set1_ps(k.m[8]), d);
    }
    const __m128 one = _mm_set1_ps(1.0f), zero = _mm_setzero_ps(), tiny = _mm_set1_ps(1e-30f);
    const __m128 lum = _mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(kLumR), r), _mm_mul_ps(_mm_set1_ps(kLumG), g)),
                                  _mm_mul_ps(_mm_set1_ps(kLumB), bl));
    const __m128 atWhite = _mm_cmpge_ps(lum, _mm_set1_ps(k.white));
    const __m128 num = select(atWhite, one, _mm_add_ps(one, _mm_mul_ps(lum, _mm_set1_ps(k.invW2))));
    const __m128 den = select(atWhite, lum, _mm_add_ps(one, lum));
    const __m128 lit = _mm_cmpgt_ps(lum, zero);
    const __m128 t = _mm_and_ps(lit, _mm_div_ps(num, select(lit, den, one)));
    r = _mm_mul_ps(r, t);
    g = _mm_mul_ps(g, t);
    bl = _mm_mul_ps(bl, t);
    const __m128 ld = _mm_min_ps(_mm_mul_ps(lum, t), one);
    const __m128 hiC = _mm_max_ps(r, _mm_max_ps(g, bl));
    const __m128 loC = _mm_min_ps(r, _mm_min_ps(g, bl));
    const __m128 over = _mm_cmpgt_ps(hiC, one), under = _mm_cmplt_ps(loC, zero);
    if (_mm_movemask_ps(_mm_or_ps(over, under))) {
        __m128 s = one;
        const __m128 sHi = _mm_div_ps(_mm_sub_ps(one, ld), _mm_max_ps(_mm_sub_ps(hiC, ld), tiny));
        const __m128 sLo = _mm_div_ps(ld, _mm_max_ps(_mm_sub_ps(ld, loC), tiny));
        s = select(over, _mm_min_ps(s, sHi), s);
        s = select(under, _mm_min_ps(s, sLo), s);
        r = _mm_add_ps(ld, _mm_mul_ps(_mm_sub_ps(r, ld), s));
        g = _mm_add_ps(ld, _mm_mul_ps(_mm_sub_ps(g, ld), s));
        bl = _mm_add_ps(ld, _mm_mul_ps(_mm_sub_ps(bl, ld), s));
    }
    auto index = [&](__m128 v) {
        v = _mm_max_ps(v, zero);  // negative and NaN to 0, as in SrgbTable::index
        __m128i i = _mm_srai_epi32(
            _mm_sub_epi32(_mm_castps_si128(v), _mm_set1_epi32(SrgbTable::kBase - SrgbTable::kHalfStep)),
            SrgbTable::kShift);
        i = _mm_and_si128(i, _mm_cmpgt_epi32(i, _mm_setzero_si128()));
        const __m128i last = _mm_set1_epi32(SrgbTable::kLast);
        const __m128i big = _mm_cmpgt_epi32(i, last);
        return _mm_or_si128(_mm_andnot_si128(big, i), _mm_and_si128(big, last));
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(i0), index(r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(i1), index(g));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(i2), index(bl));
}
#endif

}  // namespace

const SrgbTable& srgbTable() {
    static const SrgbTable table;
    return table;
}


float toneCurve(float x, float white) {
    if (!(x > 0)) return 0.0f;
    if (x >= white) return 1.0f;
    return x * (1.0f + x / (white * white)) / (1.0f + x);
}

// The statistics are taken on a grid of about a quarter of a million pixels:
// every step-th pixel of every step-th row, from step / 2.
uint32_t sampleStep(uint32_t width, uint32_t height) {
    return std::max<uint32_t>(1, uint32_t(std::sqrt(double(width) * height / 2.5e5)));
}

// Adds log2 of the luminance of one row's grid samples (black ones left out).
void sampleRow(const uint8_t* row, uint32_t width, uint32_t step, const PixelDecoder& dec, std::vector<float>& logs) {
    for (uint32_t x = step / 2; x < width; x += step) {
        float rgb[3];
        dec(row + size_t(x) * 4, rgb);
        const float lum = kLumR * rgb[0] + kLumG * rgb[1] + kLumB * rgb[2];
        if (lum > 0 && std::isfinite(lum)) logs.push_back(std::log2(lum));
    }
}

ToneMapping toneMappingFromSamples(std::vector<float>& logs) {
    ToneMapping tm;
    if (logs.empty()) return tm;  // a black picture stays black
    auto percentile = [&](double q) {
        const size_t k = std::min(logs.size() - 1, size_t(q * double(logs.size() - 1) + 0.5));
        std::nth_element(logs.begin(), logs.begin() + ptrdiff_t(k), logs.end());
        return logs[k];
    };
    const float lo = percentile(0.01);
    const float hi = percentile(0.995);
    double sum = 0;
    for (float v : logs) sum += std::clamp(v, lo, hi);
    const double logKey = sum / double(logs.size());
    const double key = std::exp2(logKey);
    const double r = std::max(1.0, std::exp2(double(hi) - logKey));

    // Scaled key x with T(x) = mid-grey and the white point W = x * r.
    double x = (kMidGrey - 1.0 / (r * r)) / (1.0 - kMidGrey);
    double white = x * r;
    if (!(white >= kMinWhite)) {
        // Little range: fix W and solve x^2 / W^2 + (1 - m) x - m = 0.
        white = kMinWhite;
        const double a = 1.0 / (white * white), b = 1.0 - kMidGrey, c = -kMidGrey;
        x = (-b + std::sqrt(b * b - 4 * a * c)) / (2 * a);
    }
    tm.gain = float(x / key);
    tm.white = float(white);
    if (!std::isfinite(tm.gain) || !(tm.gain > 0)) tm.gain = 1.0f;
    return tm;
}

ToneMapping chooseToneMapping(const RadiancePicture& pic) {
    const uint32_t step = sampleStep(pic.width, pic.height);
    const PixelDecoder dec(pic);
    std::vector<float> logs;
    for (uint32_t y = step / 2; y < pic.height; y += step)
        sampleRow(pic.rgbe.data() + size_t(y) * pic.width * 4, pic.width, step, dec, logs);
    return toneMappingFromSamples(logs);
}

MapParams mapParams(const RadiancePicture& meta, const ToneMapping& tm) {
    const PixelDecoder dec(meta, tm.gain);
    MapParams k;
    std::copy(dec.m, dec.m + 9, k.m);
    k.xyz = meta.xyz;
    k.white = tm.white;
    k.invW2 = 1.0f / (tm.white * tm.white);
    return k;
}

// One row of stored pixels to 16-bit RGB, in blocks: the arithmetic of a
// block first, then the table lookups for the whole block.
void mapLine(const uint8_t* rowIn, uint32_t width, const MapParams& k, uint16_t* rowOut) {
    const SrgbTable& srgb = srgbTable();
    constexpr uint32_t kBlock = 256;
    alignas(16) uint32_t packed[kBlock];
    alignas(16) int32_t idx[3][kBlock];
    for (uint32_t x0 = 0; x0 < width; x0 += kBlock) {
        const uint32_t n = std::min(kBlock, width - x0);
        std::memcpy(packed, rowIn + size_t(x0) * 4, size_t(n) * 4);
        uint32_t i = 0;
#ifdef __SSE2__
        for (; i + 4 <= n; i += 4) mapPixels4(packed + i, k, idx[0] + i, idx[1] + i, idx[2] + i);
#endif
        for (; i < n; ++i) mapPixel(packed[i], k, idx[0] + i, idx[1] + i, idx[2] + i);
        uint16_t* out = rowOut + size_t(x0) * 3;
        for (i = 0; i < n; ++i, out += 3) {
            out[0] = srgb[idx[0][i]];
            out[1] = srgb[idx[1][i]];
            out[2] = srgb[idx[2][i]];
        }
    }
}

// Two rows of 16-bit sRGB (the second may be the first again, for an odd
// last row) to JPEG's YCbCr: full-range BT.601 luma for each pixel, chroma
// of the 2x2 block's mean colour (a lone last column uses its own pixels).
void yccRows(const uint16_t* top, const uint16_t* bottom, bool twoRows, uint32_t width, uint8_t* yTop,
             uint8_t* yBottom, uint8_t* cb, uint8_t* cr) {
    constexpr float k = 255.0f / 65535.0f;
    auto luma = [](const uint16_t* p) {
        return uint8_t(std::min(255.0f, (0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2]) * k + 0.5f));
    };
    for (uint32_t x = 0; x < width; ++x) {
        yTop[x] = luma(top + size_t(x) * 3);
        if (twoRows) yBottom[x] = luma(bottom + size_t(x) * 3);
    }
    for (uint32_t x = 0; x < width; x += 2) {
        const uint32_t x1 = std::min(x + 1, width - 1);
        float rgb[3];
        for (int c = 0; c < 3; ++c)
            rgb[c] = (float(top[size_t(x) * 3 + c]) + top[size_t(x1) * 3 + c] + bottom[size_t(x) * 3 + c] +
                      bottom[size_t(x1) * 3 + c]) * (k / 4);
        const float b = -0.168736f * rgb[0] - 0.331264f * rgb[1] + 0.5f * rgb[2] + 128.5f;
        const float r = 0.5f * rgb[0] - 0.418688f * rgb[1] - 0.081312f * rgb[2] + 128.5f;
        cb[x / 2] = uint8_t(std::clamp(b, 0.0f, 255.0f));
        cr[x / 2] = uint8_t(std::clamp(r, 0.0f, 255.0f));
    }
}

void toneMapRadiance(const RadiancePicture& pic, const ToneMapping& tm, int threads, Image& out) {
    const MapParams k = mapParams(pic, tm);
    runInBands(pic.height, threads, [&](uint32_t y0, uint32_t y1) {
        for (uint32_t y = y0; y < y1; ++y)
            mapLine(pic.rgbe.data() + size_t(y) * pic.width * 4, pic.width, k,
                    out.px16.data() + size_t(y) * pic.width * 3);
    });
}

void attachSceneGainMap(const RadiancePicture& meta, const ToneMapping& tm, uint32_t w, uint32_t h, int threads,
                        Image& img, const StoredRow& row) {
    const PixelDecoder dec(meta, tm.gain);
    const uint32_t hw = (w + 1) / 2, hh = (h + 1) / 2;
    std::vector<uint16_t> boosts(size_t(hw) * hh);
    runInBands(hh, threads, [&](uint32_t p0, uint32_t p1) {
        std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(size_t(w) * 4), std::vector<uint8_t>(size_t(w) * 4)};
        std::vector<float> scene(hw), shown(hw);
        for (uint32_t pr = p0; pr < p1; ++pr) {
            std::fill(scene.begin(), scene.end(), 0.0f);
            std::fill(shown.begin(), shown.end(), 0.0f);
            for (uint32_t y = 2 * pr; y < std::min(h, 2 * pr + 2); ++y) {
                const uint8_t* px = row(y, buffers[y & 1]);
                for (uint32_t x = 0; x < w; ++x) {
                    float rgb[3];
                    dec(px + 4 * size_t(x), rgb);
                    const float lum = std::max(0.0f, kLumR * rgb[0] + kLumG * rgb[1] + kLumB * rgb[2]);
                    scene[x / 2] += lum;
                    shown[x / 2] += toneCurve(lum, tm.white);
                }
            }
            uint16_t* out = boosts.data() + size_t(pr) * hw;
            for (uint32_t x = 0; x < hw; ++x)
                out[x] = scene[x] > 0 && shown[x] > 0 ? boostSteps(std::log2(scene[x] / shown[x])) : 0;
        }
    });
    if (auto gm = gainMapFromBoosts(boosts, hw, hh)) img.gainMap = std::make_shared<GainMap>(std::move(*gm));
}


}  // namespace conv
