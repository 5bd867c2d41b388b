// Radiance HDR reader and tone mapping.
//
// File layout: a text header ("#?RADIANCE" or "#?RGBE", then VAR=value lines,
// ended by an empty line), a resolution string such as "-Y 480 +X 640", then
// the scanlines. A pixel is four bytes, three mantissas sharing one exponent:
// value = (mantissa + 0.5) * 2^(exponent - 136), zero when the exponent is zero.
// Each scanline is stored one of three ways:
//   - new run-length: 2, 2, length high, length low, then each of the four
//     components on its own as runs (count > 128: count - 128 copies of one
//     byte) and literals (count <= 128: that many bytes);
//   - old run-length: plain pixels, where a pixel 1,1,1,n repeats the previous
//     pixel n times (n shifted left by 8 more for each such pixel in a row);
//   - flat: plain pixels.
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
#include "tools/convert/load_hdr.h"

#include "tools/convert/bytes.h"
#include "tools/convert/gain_map.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tools/convert/parallel.h"

namespace conv {

namespace {

constexpr size_t kMaxHeaderBytes = 1 << 20;  // a header is text, a few hundred bytes

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Reads whitespace-separated numbers; false when a token is not a number.
bool parseFloats(std::string_view s, float* out, int n) {
    for (int i = 0; i < n; ++i) {
        s = trim(s);
        const char* b = s.data();
        const char* e = s.data() + s.size();
        auto r = std::from_chars(b, e, out[i]);
        if (r.ec != std::errc() || !std::isfinite(out[i])) return false;
        s.remove_prefix(size_t(r.ptr - b));
    }
    return trim(s).empty();
}

// Where scanline j, pixel k lands in the top-down picture:
// index = origin + j * strideJ + k * strideK (in pixels).
struct Layout {
    uint32_t width = 0, height = 0;
    uint32_t scanlines = 0, lineLength = 0;
    int64_t origin = 0, strideJ = 0, strideK = 0;
};

// Parses "-Y 480 +X 640" and its seven other forms.
bool parseResolution(std::string_view line, Layout& lay) {
    char sign[2], axis[2];
    uint64_t n[2];
    std::string_view s = line;
    for (int i = 0; i < 2; ++i) {
        s = trim(s);
        if (s.size() < 2 || (s[0] != '+' && s[0] != '-') || (s[1] != 'X' && s[1] != 'Y')) return false;
        sign[i] = s[0];
        axis[i] = s[1];
        s.remove_prefix(2);
        if (s.empty() || s[0] != ' ') return false;
        s = trim(s);
        auto r = std::from_chars(s.data(), s.data() + s.size(), n[i]);
        if (r.ec != std::errc() || n[i] == 0 || n[i] > 0x7fffffff) return false;
        s.remove_prefix(size_t(r.ptr - s.data()));
    }
    if (!trim(s).empty() || axis[0] == axis[1]) return false;
    const int xi = axis[0] == 'X' ? 0 : 1;
    const int yi = 1 - xi;
    lay.width = uint32_t(n[xi]);
    lay.height = uint32_t(n[yi]);
    lay.scanlines = uint32_t(n[0]);
    lay.lineLength = uint32_t(n[1]);
    const int64_t w = lay.width, h = lay.height;
    // Radiance's Y axis points up: "-Y" runs top to bottom, "+Y" bottom to top.
    const bool xForward = sign[xi] == '+';
    const bool yDown = sign[yi] == '-';
    const int64_t xStep = xForward ? 1 : -1;
    const int64_t yStep = yDown ? w : -w;
    lay.origin = (xForward ? 0 : w - 1) + (yDown ? 0 : (h - 1) * w);
    lay.strideJ = xi == 0 ? xStep : yStep;
    lay.strideK = xi == 0 ? yStep : xStep;
    return true;
}

class ScanlineReader {
public:
    ScanlineReader(const uint8_t* p, const uint8_t* end, const Path& path) : p_(p), end_(end), path_(path) {}

    // Decodes one scanline of `len` pixels into out (4 bytes per pixel).
    void read(uint8_t* out, uint32_t len) {
        need(4);
        const bool newRle = len >= 8 && len <= 0x7fff && p_[0] == 2 && p_[1] == 2 && !(p_[2] & 0x80);
        if (newRle) {
            if (be16(p_ + 2) != len) damaged();
            p_ += 4;
            readNewRle(out, len);
        } else {
            readOld(out, len);
        }
        std::memcpy(prev_, out + size_t(len - 1) * 4, 4);
        havePrev_ = true;
    }

private:
    void need(size_t n) const {
        if (size_t(end_ - p_) < n) inputError(path_, "the Radiance picture is cut short");
    }
    [[noreturn]] void damaged() const { inputError(path_, "the Radiance picture data is damaged"); }

    void readNewRle(uint8_t* out, uint32_t len) {
        for (int c = 0; c < 4; ++c) {
            uint8_t* o = out + c;
            uint32_t i = 0;
            while (i < len) {
                need(1);
                uint32_t code = *p_++;
                if (code > 128) {
                    code -= 128;
                    if (code > len - i) damaged();
                    need(1);
                    const uint8_t v = *p_++;
                    for (uint32_t k = 0; k < code; ++k) o[size_t(i + k) * 4] = v;
                } else {
                    if (code == 0 || code > len - i) damaged();
                    need(code);
                    for (uint32_t k = 0; k < code; ++k) o[size_t(i + k) * 4] = p_[k];
                    p_ += code;
                }
                i += code;
            }
        }
    }

    void readOld(uint8_t* out, uint32_t len) {
        uint32_t i = 0;
        int shift = 0;
        while (i < len) {
            need(4);
            const uint8_t* px = p_;
            p_ += 4;
            if (px[0] == 1 && px[1] == 1 && px[2] == 1) {
                if (shift > 24) damaged();
                const uint64_t count = uint64_t(px[3]) << shift;
                if (count > len - i) damaged();
                const uint8_t* src;
                if (i > 0) src = out + size_t(i - 1) * 4;
                else if (havePrev_) src = prev_;
                else damaged();
                uint8_t rep[4];
                std::memcpy(rep, src, 4);
                for (uint64_t k = 0; k < count; ++k) std::memcpy(out + size_t(i + k) * 4, rep, 4);
                i += uint32_t(count);
                shift += 8;
            } else {
                std::memcpy(out + size_t(i) * 4, px, 4);
                ++i;
                shift = 0;
            }
        }
    }

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
                    std::vector<const uint8_t*>& starts) {
    if (len < 8 || len > 0x7fff) return false;
    starts.resize(count);
    for (uint32_t j = 0; j < count; ++j) {
        if (end - p < 4 || p[0] != 2 || p[1] != 2 || (p[2] & 0x80) || be16(p + 2) != len)
            return false;
        starts[j] = p;
        p += 4;
        for (int c = 0; c < 4; ++c) {
            for (uint32_t i = 0; i < len;) {
                if (p == end) return false;
                uint32_t code = *p++;
                size_t skip = 1;
                if (code > 128) code -= 128;
                else skip = code;
                if (code == 0 || code > len - i || size_t(end - p) < skip) return false;
                p += skip;
                i += code;
            }
        }
    }
    return true;
}

// Linear sRGB primaries (Rec. 709) in CIE XYZ. Radiance's XYZ is relative to an
// equal-energy white, so the matrix is normalised for X = Y = Z = 1 to give
// R = G = B = 1; a grey stays grey whatever the white of the scene.
void xyzToLinearSrgb(float m[9]) {
    const double xy[3][2] = {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}};
    double p[3][3];  // columns: XYZ of each primary with Y = 1
    for (int i = 0; i < 3; ++i) {
        p[0][i] = xy[i][0] / xy[i][1];
        p[1][i] = 1.0;
        p[2][i] = (1.0 - xy[i][0] - xy[i][1]) / xy[i][1];
    }
    auto det3 = [](const double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
               a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    auto inverse = [&](const double a[3][3], double inv[3][3]) {
        const double d = det3(a);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
                inv[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / d;
            }
    };
    // Scale the primaries so that they add up to the white X = Y = Z = 1.
    double pinv[3][3];
    inverse(p, pinv);
    double s[3];
    for (int i = 0; i < 3; ++i) s[i] = pinv[i][0] + pinv[i][1] + pinv[i][2];
    double rgbToXyz[3][3], xyzToRgb[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) rgbToXyz[r][c] = p[r][c] * s[c];
    inverse(rgbToXyz, xyzToRgb);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r * 3 + c] = float(xyzToRgb[r][c]);
}

constexpr float kLumR = 0.2126f, kLumG = 0.7152f, kLumB = 0.0722f;
constexpr float kMidGrey = 0.18f;
constexpr float kMinWhite = 1.5f;

// Stored pixel -> linear sRGB of the original radiance (before exposure).
struct PixelDecoder {
    float expTable[256];
    float m[9];  // file primaries (mantissa + 0.5 scaled) -> linear sRGB

    explicit PixelDecoder(const RadiancePicture& pic, float gain = 1.0f) {
        expTable[0] = 0.0f;
        // Exponents below 10 are under 2^-126: black, as the tone mapper takes them.
        for (int e = 1; e < 256; ++e) expTable[e] = e >= 10 ? std::ldexp(1.0f, e - 136) : 0.0f;
        float base[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        if (pic.xyz) xyzToLinearSrgb(base);
        // EXPOSURE= and COLORCORR= record factors the pixels were multiplied by.
        for (int c = 0; c < 3; ++c) {
            const float undo = gain / (pic.exposure * pic.colorCorr[c]);
            for (int r = 0; r < 3; ++r) m[r * 3 + c] = base[r * 3 + c] * undo;
        }
    }

    void operator()(const uint8_t* px, float rgb[3]) const {
        const float f = expTable[px[3]];
        const float a = (px[0] + 0.5f) * f, b = (px[1] + 0.5f) * f, c = (px[2] + 0.5f) * f;
        rgb[0] = m[0] * a + m[1] * b + m[2] * c;
        rgb[1] = m[3] * a + m[4] * b + m[5] * c;
        rgb[2] = m[6] * a + m[7] * b + m[8] * c;
    }
};

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

// Runs work(first, last) over `rows` split into one band per thread; an
// exception in any band is rethrown here once every band has finished.
void runInBands(uint32_t rows, int threads, const auto& work) {
    threads = std::clamp(threads, 1, 64);
    if (threads == 1 || rows < 64) {
        work(0u, rows);
        return;
    }
    const uint32_t band = (rows + uint32_t(threads) - 1) / uint32_t(threads);
    const uint32_t bands = (rows + band - 1) / band;
    parallelFor(bands, threads, [&](size_t i) {
        const uint32_t first = uint32_t(i) * band;
        work(first, std::min(rows, first + band));
    });
}

}  // namespace

namespace {

// What the header says, and where the pixels start.
struct Header {
    RadiancePicture meta;  // everything but the pixels
    Layout lay;
    size_t pixelsAt = 0;
};

Header parseHeader(const uint8_t* data, size_t size, const Path& path, const LoadOptions& opt) {
    const char* text = reinterpret_cast<const char*>(data);
    const size_t headerLimit = std::min(size, kMaxHeaderBytes);
    size_t pos = 0;
    // One header line (without its newline); false when no newline follows.
    auto nextLine = [&](std::string_view& line) {
        if (pos >= headerLimit) return false;
        const void* nl = std::memchr(text + pos, '\n', headerLimit - pos);
        if (!nl) return false;
        const size_t end = size_t(static_cast<const char*>(nl) - text);
        line = std::string_view(text + pos, end - pos);
        pos = end + 1;
        return true;
    };

    Header h;
    RadiancePicture& pic = h.meta;
    std::string_view line;
    if (!nextLine(line) || !startsWith(line, "#?"))
        inputError(path, "not a Radiance HDR picture");
    // Old files leave FORMAT out: RGBE is the default.
    for (;;) {
        if (!nextLine(line)) inputError(path, "the Radiance header is cut short or damaged");
        line = trim(line);
        if (line.empty()) break;
        if (startsWith(line, "FORMAT=")) {
            const std::string_view f = trim(line.substr(7));
            if (f == "32-bit_rle_rgbe") pic.xyz = false;
            else if (f == "32-bit_rle_xyze") pic.xyz = true;
            else inputError(path, "unsupported Radiance pixel format \"" + std::string(f.substr(0, 40)) + "\"");
        } else if (startsWith(line, "EXPOSURE=")) {
            float e;
            if (!parseFloats(line.substr(9), &e, 1) || !(e > 0)) inputError(path, "the Radiance header is damaged (EXPOSURE)");
            pic.exposure *= e;
        } else if (startsWith(line, "COLORCORR=")) {
            float cc[3];
            if (!parseFloats(line.substr(10), cc, 3) || !(cc[0] > 0 && cc[1] > 0 && cc[2] > 0))
                inputError(path, "the Radiance header is damaged (COLORCORR)");
            for (int c = 0; c < 3; ++c) pic.colorCorr[c] *= cc[c];
        }
        // Comments, the writing program's command line, PIXASPECT, PRIMARIES,
        // VIEW and the like do not change how the pixels look.
    }
    if (!std::isfinite(pic.exposure) || !(pic.exposure > 0))
        inputError(path, "the Radiance header is damaged (EXPOSURE)");

    Layout& lay = h.lay;
    if (!nextLine(line) || !parseResolution(line, lay))
        inputError(path, "the Radiance picture has no valid size line");
    checkPixelLimit(lay.width, lay.height, opt, path);
    // Every scanline takes at least four bytes, whatever its encoding: a file
    // far too short for its declared size is refused before the allocation.
    if (uint64_t(lay.scanlines) * 4 > size - pos) inputError(path, "the Radiance picture is cut short");
    pic.width = lay.width;
    pic.height = lay.height;
    h.pixelsAt = pos;
    return h;
}

}  // namespace

RadiancePicture decodeRadiance(const uint8_t* data, size_t size, const Path& path, const LoadOptions& opt) {
    Header h = parseHeader(data, size, path, opt);
    const Layout& lay = h.lay;
    const size_t pos = h.pixelsAt;
    RadiancePicture pic = std::move(h.meta);
    pic.rgbe.allocate(size_t(lay.width) * lay.height * 4);
    uint8_t* dst = pic.rgbe.data();
    // Scanline j, pixel k lands at origin + j * strideJ + k * strideK.
    auto decodeLine = [&](ScanlineReader& reader, uint32_t j, std::vector<uint8_t>& line4) {
        const int64_t base = lay.origin + int64_t(j) * lay.strideJ;
        if (lay.strideK == 1) {
            // Rows left to right (top-down or bottom-up): straight into place.
            reader.read(dst + size_t(base) * 4, lay.lineLength);
            return;
        }
        line4.resize(size_t(lay.lineLength) * 4);
        reader.read(line4.data(), lay.lineLength);
        for (uint32_t k = 0; k < lay.lineLength; ++k)
            std::memcpy(dst + size_t(base + int64_t(k) * lay.strideK) * 4, line4.data() + size_t(k) * 4, 4);
    };
    std::vector<const uint8_t*> starts;
    if (opt.threads > 1 && lay.scanlines >= 64 &&
        indexScanlines(data + pos, data + size, lay.scanlines, lay.lineLength, starts)) {
        runInBands(lay.scanlines, opt.threads, [&](uint32_t j0, uint32_t j1) {
            std::vector<uint8_t> line4;
            for (uint32_t j = j0; j < j1; ++j) {
                // The index has checked every code: this cannot fail.
                ScanlineReader reader(starts[j], data + size, path);
                decodeLine(reader, j, line4);
            }
        });
    } else {
        ScanlineReader reader(data + pos, data + size, path);
        std::vector<uint8_t> line4;
        for (uint32_t j = 0; j < lay.scanlines; ++j) decodeLine(reader, j, line4);
    }
    return pic;
}

float toneCurve(float x, float white) {
    if (!(x > 0)) return 0.0f;
    if (x >= white) return 1.0f;
    return x * (1.0f + x / (white * white)) / (1.0f + x);
}

namespace {

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

}  // namespace

ToneMapping chooseToneMapping(const RadiancePicture& pic) {
    const uint32_t step = sampleStep(pic.width, pic.height);
    const PixelDecoder dec(pic);
    std::vector<float> logs;
    for (uint32_t y = step / 2; y < pic.height; y += step)
        sampleRow(pic.rgbe.data() + size_t(y) * pic.width * 4, pic.width, step, dec, logs);
    return toneMappingFromSamples(logs);
}

namespace {

// The per-pixel arithmetic of toneMapRadiance: stored pixel -> three indexes
// into the transfer-curve table. `m` maps the file's primaries (mantissa + 0.5,
// times 2^(e - 136)) to gained linear sRGB.
struct MapParams {
    float m[9];
    bool xyz;
    float white, invW2;
};

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

// One row of stored pixels to 16-bit RGB, in blocks: the arithmetic of a
// block first, then the table lookups for the whole block.
void mapLine(const uint8_t* rowIn, uint32_t width, const MapParams& k, const SrgbTable& srgb, uint16_t* rowOut) {
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

MapParams mapParams(const RadiancePicture& meta, const ToneMapping& tm) {
    const PixelDecoder dec(meta, tm.gain);
    MapParams k;
    std::copy(dec.m, dec.m + 9, k.m);
    k.xyz = meta.xyz;
    k.white = tm.white;
    k.invW2 = 1.0f / (tm.white * tm.white);
    return k;
}

const SrgbTable& srgbTable() {
    static const SrgbTable table;
    return table;
}

}  // namespace

void toneMapRadiance(const RadiancePicture& pic, const ToneMapping& tm, int threads, Image& out) {
    const MapParams k = mapParams(pic, tm);
    const SrgbTable& srgb = srgbTable();
    runInBands(pic.height, threads, [&](uint32_t y0, uint32_t y1) {
        for (uint32_t y = y0; y < y1; ++y)
            mapLine(pic.rgbe.data() + size_t(y) * pic.width * 4, pic.width, k, srgb,
                    out.px16.data() + size_t(y) * pic.width * 3);
    });
}

// The gain map of a Radiance picture, at half its size each way as phones
// store theirs (readers stretch it over the picture): for each 2 x 2 block,
// log2 of its scaled scene light over the light the tone curve gives it on
// screen (never below 0: the curve never rises above the identity, and the
// white point holds the rest at 1). row(y, buffer) gives stored row y.
template <typename RowFn>
void attachSceneGainMap(const RadiancePicture& meta, const ToneMapping& tm, uint32_t w, uint32_t h, int threads,
                        Image& img, const RowFn& row) {
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

// The usual file (rows left to right, every scanline new run-length) never
// holds its decoded pixels: the statistics decode only the sampled rows, then
// each thread decodes its rows one at a time and maps them straight into the
// output — 16-bit RGB, or JPEG's YCbCr 4:2:0 planes when the caller takes
// them. Anything else is decoded whole first and comes out as 16-bit RGB.
Image loadHdr(const InputFile& in, const LoadOptions& opt) {
    const uint8_t* data = in.bytes.data();
    const size_t size = in.bytes.size();
    const Header h = parseHeader(data, size, in.path, opt);
    const Layout& lay = h.lay;
    std::vector<const uint8_t*> starts;
    Image img;
    if (lay.strideK != 1 || !indexScanlines(data + h.pixelsAt, data + size, lay.scanlines, lay.lineLength, starts)) {
        const RadiancePicture pic = decodeRadiance(data, size, in.path, opt);
        const ToneMapping tm = chooseToneMapping(pic);
        img.allocate(pic.width, pic.height, 3, 16);
        toneMapRadiance(pic, tm, opt.threads, img);
        if (opt.gainMap)
            attachSceneGainMap(pic, tm, pic.width, pic.height, opt.threads, img, [&](uint32_t y, std::vector<uint8_t>&) {
                return pic.rgbe.data() + size_t(y) * pic.width * 4;
            });
        return img;
    }
    // Row y is scanline (y * width - origin) / strideJ; the index has checked
    // every code, so these reads cannot fail.
    auto scanlineOfRow = [&](uint32_t y) { return uint32_t((int64_t(y) * lay.width - lay.origin) / lay.strideJ); };
    std::vector<uint8_t> line(size_t(lay.width) * 4);
    const uint32_t step = sampleStep(lay.width, lay.height);
    const PixelDecoder dec(h.meta);
    std::vector<float> logs;
    for (uint32_t y = step / 2; y < lay.height; y += step) {
        ScanlineReader reader(starts[scanlineOfRow(y)], data + size, in.path);
        reader.read(line.data(), lay.width);
        sampleRow(line.data(), lay.width, step, dec, logs);
    }
    const ToneMapping tm = toneMappingFromSamples(logs);

    const MapParams k = mapParams(h.meta, tm);
    const SrgbTable& srgb = srgbTable();
    auto decodeRow = [&](uint32_t y, std::vector<uint8_t>& row, uint16_t* out) {
        ScanlineReader reader(starts[scanlineOfRow(y)], data + size, in.path);
        reader.read(row.data(), lay.width);
        mapLine(row.data(), lay.width, k, srgb, out);
    };
    const uint32_t w = lay.width, hgt = lay.height;
    auto addGainMap = [&](Image& done) {
        if (opt.gainMap)
            attachSceneGainMap(h.meta, tm, w, hgt, opt.threads, done, [&](uint32_t y, std::vector<uint8_t>& buffer) {
                ScanlineReader reader(starts[scanlineOfRow(y)], data + size, in.path);
                reader.read(buffer.data(), lay.width);
                return static_cast<const uint8_t*>(buffer.data());
            });
    };
    if (opt.allowYcc420) {
        // Bound for a JPEG: straight to the planes it stores, two rows at a
        // time, never holding the picture as RGB.
        img.width = w;
        img.height = hgt;
        img.channels = 3;
        img.bits = 8;
        const uint32_t cw = (w + 1) / 2, ch = (hgt + 1) / 2;
        img.ycc420.resize(size_t(w) * hgt + 2 * size_t(cw) * ch);
        uint8_t* yPlane = img.ycc420.data();
        uint8_t* cbPlane = yPlane + size_t(w) * hgt;
        uint8_t* crPlane = cbPlane + size_t(cw) * ch;
        runInBands(ch, opt.threads, [&](uint32_t p0, uint32_t p1) {
            std::vector<uint8_t> row(size_t(w) * 4);
            std::vector<uint16_t> rgb(size_t(w) * 6);
            for (uint32_t pr = p0; pr < p1; ++pr) {
                const uint32_t y = pr * 2;
                const bool two = y + 1 < hgt;
                decodeRow(y, row, rgb.data());
                if (two) decodeRow(y + 1, row, rgb.data() + size_t(w) * 3);
                yccRows(rgb.data(), rgb.data() + (two ? size_t(w) * 3 : 0), two, w, yPlane + size_t(y) * w,
                        yPlane + size_t(y + (two ? 1 : 0)) * w, cbPlane + size_t(pr) * cw, crPlane + size_t(pr) * cw);
            }
        });
        addGainMap(img);
        return img;
    }
    img.allocate(w, hgt, 3, 16);
    runInBands(hgt, opt.threads, [&](uint32_t y0, uint32_t y1) {
        std::vector<uint8_t> row(size_t(w) * 4);
        for (uint32_t y = y0; y < y1; ++y) decodeRow(y, row, img.px16.data() + size_t(y) * w * 3);
    });
    addGainMap(img);
    return img;
}

}  // namespace conv
