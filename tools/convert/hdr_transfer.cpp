#include "tools/convert/hdr_transfer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "tools/convert/colour.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/hdr_tone_map.h"
#include "tools/convert/parallel.h"

namespace conv {

double pqToNits(double e) {
    constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(std::clamp(e, 0.0, 1.0), 1 / m2);
    return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}

double nitsToPq(double nits) {
    constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double y = std::pow(std::clamp(nits / 10000, 0.0, 1.0), m1);
    return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
}

double hlgToScene(double e) {
    constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
    e = std::clamp(e, 0.0, 1.0);
    return e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
}

float sdrToneCurve(float light, float peak) {
    constexpr float knee = 0.8f;
    if (light <= knee || peak <= 1) return std::min(light, 1.0f);
    // Extended Reinhard in t, the distance above the knee in units of what is
    // left to white: slope 1 at t = 0, exactly 1 at the peak, rising throughout.
    // (In double: near the peak the curve rises by less than a float's step.)
    const double t = (double(light) - knee) / (1 - knee), tp = (double(peak) - knee) / (1 - knee);
    return float(std::min(1.0, knee + (1 - knee) * t * (1 + t / (tp * tp)) / (1 + t)));
}

namespace {

using Mat3 = std::array<double, 9>;

Mat3 multiply(const Mat3& a, const Mat3& b) {
    Mat3 m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) m[size_t(r * 3 + c)] += a[size_t(r * 3 + k)] * b[size_t(k * 3 + c)];
    return m;
}

Mat3 inverse(const Mat3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    return {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
            (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
            (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
}

// Linear RGB in the given primaries to CIE XYZ (Y = 1 for white).
Mat3 rgbToXyz(int primaries) {
    const Chromaticities c = *cicpChromaticities(primaries);
    auto column = [](const double* xy) { return std::array<double, 3>{xy[0] / xy[1], 1, (1 - xy[0] - xy[1]) / xy[1]}; };
    const auto r = column(c.red), g = column(c.green), b = column(c.blue), w = column(c.white);
    const Mat3 p = {r[0], g[0], b[0], r[1], g[1], b[1], r[2], g[2], b[2]};
    const Mat3 pi = inverse(p);
    double s[3];
    for (size_t k = 0; k < 3; ++k) s[k] = pi[k * 3] * w[0] + pi[k * 3 + 1] * w[1] + pi[k * 3 + 2] * w[2];
    Mat3 m = p;
    for (int row = 0; row < 3; ++row)
        for (int k = 0; k < 3; ++k) m[size_t(row * 3 + k)] *= s[k];
    return m;
}

struct Rgb {
    float r, g, b;
};

Rgb apply(const float* m, const Rgb& v) {
    return {m[0] * v.r + m[1] * v.g + m[2] * v.b, m[3] * v.r + m[4] * v.g + m[5] * v.b,
            m[6] * v.r + m[7] * v.g + m[8] * v.b};
}

// What is fixed for one picture: the coded values' light, the primaries' luminance
// and the matrix to sRGB's primaries.
struct Light {
    bool hlg = false;
    std::vector<float> table;  // 16-bit coded value -> PQ: light (1 = SDR white); HLG: scene light
    std::vector<float> ootf;   // HLG: scene luminance (16-bit steps) -> its power gamma - 1, times the peak
    float lum[3];              // luminance of R, G and B in the source primaries
    float toSrgb[9];

    Light(const HdrCoding& coding, int primaries) : hlg(coding.transfer == kTransferHlg), table(65536) {
        const Mat3 src = rgbToXyz(primaries);
        for (int k = 0; k < 3; ++k) lum[k] = float(src[size_t(3 + k)]);
        const Mat3 s = multiply(inverse(rgbToXyz(1)), src);
        for (size_t k = 0; k < 9; ++k) toSrgb[k] = float(s[k]);
        for (size_t v = 0; v < table.size(); ++v)
            table[v] = float(hlg ? hlgToScene(v / 65535.0) : pqToNits(v / 65535.0) / kSdrWhiteNits);
        if (hlg) {
            // BT.2100's OOTF for a display of 1000 cd/m²: gamma 1.2.
            ootf.resize(65537);
            for (size_t v = 0; v < ootf.size(); ++v)
                ootf[v] = float(1000 / kSdrWhiteNits * std::pow(v / 65536.0, 0.2));
        }
    }

    // Linear light of one pixel in the source primaries, 1 = SDR white.
    Rgb operator()(const uint16_t* px) const {
        Rgb v{table[px[0]], table[px[1]], table[px[2]]};
        if (hlg) {
            const float ys = std::clamp(lum[0] * v.r + lum[1] * v.g + lum[2] * v.b, 0.0f, 1.0f);
            const float k = ootf[size_t(ys * 65536 + 0.5f)];
            v = {v.r * k, v.g * k, v.b * k};
        }
        return v;
    }
    float luminance(const Rgb& v) const { return lum[0] * v.r + lum[1] * v.g + lum[2] * v.b; }
};

// A colour clearly outside sRGB: a component below 0 by more than coding noise
// (3 % of its luminance, and 0.4 cd/m² in dark colours, where noise is larger).
bool outsideSrgb(const Light& light, const Rgb& v) {
    const Rgb s = apply(light.toSrgb, v);
    return std::min({s.r, s.g, s.b}) < -(0.03f * light.luminance(v) + 0.002f);
}

// Brings a colour of luminance y into [0, 1] by mixing it with the grey of the same
// luminance: the hue stays, the saturation gives way.
Rgb intoGamut(Rgb v, float y) {
    const float lo = std::min({v.r, v.g, v.b}), hi = std::max({v.r, v.g, v.b});
    float s = 1;
    if (lo < 0) s = std::min(s, y / (y - lo));
    if (hi > 1) s = std::min(s, (1 - y) / (hi - y));
    if (s < 1) v = {y + (v.r - y) * s, y + (v.g - y) * s, y + (v.b - y) * s};
    return v;
}

// A map leading down from the picture's light to its SDR rendition, stretched over a
// w x h picture (each sample at the centre of the pixels it covers, bilinear between):
// for each row, the factors 2^G of every pixel and channel.
struct MapSampler {
    const GainMap& gm;
    int channels;
    uint32_t width, height;
    std::array<std::array<float, 256>, 3> factor;  // sample -> 2^G, per channel
    std::vector<uint32_t> x0;                      // per pixel: the map column left of it,
    std::vector<float> wx;                         // and the weight of the one right of it

    MapSampler(const GainMap& map, uint32_t w, uint32_t h)
        : gm(map), channels(map.channels()), width(w), height(h), x0(w), wx(w) {
        for (int c = 0; c < channels; ++c)
            for (int v = 0; v < 256; ++v) factor[size_t(c)][size_t(v)] = float(std::exp2(gm.log2Boost(c, v)));
        for (uint32_t x = 0; x < w; ++x) place(x, w, gm.map.width, x0[x], wx[x]);
    }
    static void place(uint32_t i, uint32_t n, uint32_t mapN, uint32_t& at, float& weight) {
        const double pos = std::clamp((i + 0.5) * mapN / n - 0.5, 0.0, double(mapN - 1));
        at = std::min(uint32_t(pos), mapN - 1);
        weight = float(pos - at);
    }
    // `column` is scratch: the two map rows blended, per map column.
    void row(uint32_t y, std::vector<float>& column, std::vector<float>& out) const {
        uint32_t y0 = 0;
        float wy = 0;
        place(y, height, gm.map.height, y0, wy);
        const uint32_t mw = gm.map.width, y1 = std::min(y0 + 1, gm.map.height - 1);
        const size_t ch = size_t(channels);
        const uint8_t* r0 = gm.map.px8.data() + size_t(y0) * mw * ch;
        const uint8_t* r1 = gm.map.px8.data() + size_t(y1) * mw * ch;
        column.resize(size_t(mw) * ch);
        for (size_t i = 0; i < column.size(); ++i) {
            const auto& f = factor[i % ch];
            column[i] = f[r0[i]] + (f[r1[i]] - f[r0[i]]) * wy;
        }
        out.resize(size_t(width) * ch);
        for (uint32_t x = 0; x < width; ++x) {
            const size_t a = size_t(x0[x]) * ch, b = size_t(std::min(x0[x] + 1, mw - 1)) * ch;
            for (size_t c = 0; c < ch; ++c) out[x * ch + c] = column[a + c] + (column[b + c] - column[a + c]) * wx[x];
        }
    }
    // SDR = (HDR + offsetHdr) * 2^G - offsetSdr, channel by channel.
    Rgb apply(const Rgb& v, const float* f) const {
        const size_t g = channels == 3 ? 1 : 0, b = channels == 3 ? 2 : 0;
        return {float((v.r + gm.offsetHdr[0]) * f[0] - gm.offsetSdr[0]),
                float((v.g + gm.offsetHdr[g]) * f[g] - gm.offsetSdr[g]),
                float((v.b + gm.offsetHdr[b]) * f[b] - gm.offsetSdr[b])};
    }
};

// Coded RGB rows (16-bit values, `channels` to a pixel, the first three R, G, B):
// row(y, buffer) gives row y of the picture, in `buffer` (width x 3) or elsewhere.
using CodedRow = std::function<const uint16_t*(uint32_t y, std::vector<uint16_t>& buffer)>;

// The SDR picture of coded rows into out.px16 (allocated, RGB or RGBA as out.channels
// says; out may be the rows' own picture, each pixel being read before it is written),
// or with `ycc` into out.ycc420 (allocated), never held as RGB.
void toSdr(const CodedRow& row, size_t channels, const HdrCoding& coding, bool wantGainMap, const GainMap* down,
           bool ycc, int threads, Image& out) {
    const int primaries = cicpChromaticities(coding.primaries) ? coding.primaries : 9;
    const Light light(coding, primaries);
    const float cap = float(std::max(coding.peakNits, kSdrWhiteNits) / kSdrWhiteNits);
    const uint32_t w = out.width, h = out.height;
    const size_t ch = channels, outCh = ycc ? 3 : size_t(out.channels);

    // First the brightest light, and whether colours lie outside sRGB. Colour is
    // judged on 2 x 2 blocks: that is all the chroma most pictures are coded with,
    // and single pixels next to an edge can stray outside a gamut their block keeps.
    const uint32_t hw = (w + 1) / 2, hh = (h + 1) / 2;
    std::atomic<uint32_t> peakBits{0};
    std::atomic<size_t> outside{0};
    runInBands(hh, threads, [&](uint32_t b0, uint32_t b1) {
        float peak = 0;
        size_t out = 0;
        std::vector<Rgb> blocks(hw);
        std::vector<uint16_t> buffer(size_t(w) * 3);
        for (uint32_t by = b0; by < b1; ++by) {
            std::fill(blocks.begin(), blocks.end(), Rgb{0, 0, 0});
            for (uint32_t y = 2 * by; y < std::min(h, 2 * by + 2); ++y) {
                const uint16_t* coded = row(y, buffer);
                for (uint32_t x = 0; x < w; ++x) {
                    const Rgb v = light(coded + x * ch);
                    peak = std::max(peak, light.luminance(v));
                    Rgb& b = blocks[x / 2];
                    b = {b.r + v.r, b.g + v.g, b.b + v.b};
                }
            }
            for (const Rgb& b : blocks) out += outsideSrgb(light, {b.r / 4, b.g / 4, b.b / 4});
        }
        // Light is never negative, so its float bits order as the floats do.
        const uint32_t bits = std::bit_cast<uint32_t>(std::min(peak, cap));
        for (uint32_t seen = peakBits.load(); bits > seen && !peakBits.compare_exchange_weak(seen, bits);) {
        }
        outside += out;
    });
    const float peak = std::bit_cast<float>(peakBits.load());
    // A few stray pixels (noise, chroma ringing at edges) do not make a wide-gamut picture.
    const bool wide = outside.load() * 2000 > size_t(hw) * hh;
    const int outPrimaries = wide ? 12 : 1;
    float toOut[9];
    const Mat3 m = multiply(inverse(rgbToXyz(outPrimaries)), rgbToXyz(primaries));
    for (size_t k = 0; k < 9; ++k) toOut[k] = float(m[k]);

    // Then every pixel, two rows at a time: each 2 x 2 block is one sample of the gain map.
    std::vector<uint16_t> boosts(wantGainMap ? size_t(hw) * hh : 0);
    const SrgbTable& srgb = srgbTable();
    const std::optional<MapSampler> fileMap = down ? std::optional<MapSampler>(MapSampler(*down, w, h)) : std::nullopt;
    runInBands(hh, threads, [&](uint32_t b0, uint32_t b1) {
        std::vector<float> source(hw), shown(hw), factors, mapColumns;
        std::vector<uint16_t> buffer(size_t(w) * 3), twoRows(ycc ? size_t(w) * 6 : 0);
        for (uint32_t by = b0; by < b1; ++by) {
            std::fill(source.begin(), source.end(), 0.0f);
            std::fill(shown.begin(), shown.end(), 0.0f);
            for (uint32_t y = 2 * by; y < std::min(h, 2 * by + 2); ++y) {
                const uint16_t* coded = row(y, buffer);
                uint16_t* sdrRow =
                    ycc ? twoRows.data() + size_t(y - 2 * by) * w * 3 : out.px16.data() + size_t(y) * w * outCh;
                if (fileMap) fileMap->row(y, mapColumns, factors);
                for (uint32_t x = 0; x < w; ++x) {
                    const Rgb v = light(coded + x * ch);
                    const float lum = std::max(0.0f, light.luminance(v));
                    const float held = std::min(lum, cap);
                    float sdr;
                    Rgb o;
                    if (fileMap) {
                        // The file's own SDR rendition: its map applied to the light.
                        const Rgb s = fileMap->apply(v, factors.data() + size_t(x) * fileMap->channels);
                        const float ys = light.luminance(s);
                        sdr = std::clamp(ys, 0.0f, 1.0f);
                        const float y1 = std::max(ys, 1.0f);
                        o = intoGamut(apply(toOut, {s.r / y1, s.g / y1, s.b / y1}), sdr);
                    } else {
                        sdr = sdrToneCurve(held, peak);
                        const float scale = lum > 0 ? sdr / lum : 0;
                        o = intoGamut(apply(toOut, {v.r * scale, v.g * scale, v.b * scale}), sdr);
                    }
                    uint16_t* px = sdrRow + x * outCh;
                    px[0] = linearToSrgb16(srgb, o.r);
                    px[1] = linearToSrgb16(srgb, o.g);
                    px[2] = linearToSrgb16(srgb, o.b);
                    source[x / 2] += held;
                    shown[x / 2] += sdr;
                }
            }
            if (ycc) {
                const bool two = 2 * by + 1 < h;
                uint8_t* yPlane = out.ycc420.data();
                uint8_t* cb = yPlane + size_t(w) * h + size_t(by) * hw;
                yccRows(twoRows.data(), twoRows.data() + (two ? size_t(w) * 3 : 0), two, w,
                        yPlane + size_t(2 * by) * w, yPlane + size_t(2 * by + (two ? 1 : 0)) * w, cb,
                        cb + size_t(hw) * hh);
            }
            if (boosts.empty()) continue;
            uint16_t* steps = boosts.data() + size_t(by) * hw;
            for (uint32_t x = 0; x < hw; ++x)
                steps[x] = source[x] > 0 && shown[x] > 0 ? boostSteps(std::log2(source[x] / shown[x])) : 0;
        }
    });
    out.icc = wide ? iccFromCicp(12, 13) : std::vector<uint8_t>{};
    if (!boosts.empty())
        if (auto gm = gainMapFromBoosts(boosts, hw, hh)) out.gainMap = std::make_shared<GainMap>(std::move(*gm));
}

// Luma weights of the CICP matrix coefficients (BT.2020's for those not known here).
void lumaWeights(int matrix, float& kr, float& kb) {
    switch (matrix) {
        case 1: kr = 0.2126f; kb = 0.0722f; break;
        case 5: case 6: kr = 0.299f; kb = 0.114f; break;
        default: kr = 0.2627f; kb = 0.0593f; break;
    }
}

}  // namespace

void hdrToSdr(Image& img, const HdrCoding& coding, bool wantGainMap, int threads, const GainMap* down) {
    if (img.width == 0 || img.height == 0) return;
    if (img.bits == 8) {
        img.px16.resize(img.px8.size());
        for (size_t i = 0; i < img.px8.size(); ++i) img.px16[i] = uint16_t(img.px8[i] * 257);
        std::vector<uint8_t>().swap(img.px8);
        img.bits = 16;
    }
    const size_t rowSamples = img.rowSamples();
    const CodedRow row = [&](uint32_t y, std::vector<uint16_t>&) { return img.px16.data() + y * rowSamples; };
    toSdr(row, size_t(img.channels), coding, wantGainMap, down, false, threads, img);
}

Image hdrPlanesToSdr(const YccPlanes& planes, const HdrCoding& coding, bool wantGainMap, int threads,
                     const GainMap* down, bool ycc) {
    Image img;
    if (ycc) {
        img.width = planes.width;
        img.height = planes.height;
        img.channels = 3;
        img.bits = 8;
        const size_t cw = (img.width + 1) / 2, chh = (img.height + 1) / 2;
        img.ycc420.resize(size_t(img.width) * img.height + 2 * cw * chh);
    } else {
        img.allocate(planes.width, planes.height, 3, 16);
    }
    float kr = 0, kb = 0;
    lumaWeights(planes.matrix, kr, kb);
    const float kg = 1 - kr - kb;
    // Samples to [0, 1] (luma) and [-0.5, 0.5] (chroma), full or limited range.
    const float depth = float(1 << (planes.bits - 8));
    const float yZero = planes.fullRange ? 0 : 16 * depth, cZero = 128 * depth;
    const float yScale = 1 / (planes.fullRange ? float((1 << planes.bits) - 1) : 219 * depth);
    const float cScale = 1 / (planes.fullRange ? float((1 << planes.bits) - 1) : 224 * depth);
    const float crR = 2 * (1 - kr), cbB = 2 * (1 - kb);
    auto coded = [](float v) { return uint16_t(std::clamp(v, 0.0f, 1.0f) * 65535 + 0.5f); };
    const CodedRow row = [&](uint32_t y, std::vector<uint16_t>& buffer) {
        const uint16_t* luma = planes.plane[0] + size_t(y) * planes.stride[0];
        const size_t cy = size_t(y >> planes.shiftY);
        const uint16_t* cb = planes.plane[1] + cy * planes.stride[1];
        const uint16_t* cr = planes.plane[2] + cy * planes.stride[2];
        for (uint32_t x = 0; x < planes.width; ++x) {
            const size_t cx = x >> planes.shiftX;
            const float l = (float(luma[x]) - yZero) * yScale;
            const float u = (float(cb[cx]) - cZero) * cScale, v = (float(cr[cx]) - cZero) * cScale;
            const float r = l + crR * v, b = l + cbB * u, g = (l - kr * r - kb * b) / kg;
            uint16_t* px = buffer.data() + size_t(x) * 3;
            px[0] = coded(r);
            px[1] = coded(g);
            px[2] = coded(b);
        }
        return static_cast<const uint16_t*>(buffer.data());
    };
    toSdr(row, 3, coding, wantGainMap, down, ycc, threads, img);
    return img;
}

}  // namespace conv
