// Radiance HDR reader.
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
#include "tools/convert/hdr_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/convert/bytes.h"
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

// Parses "-Y 480 +X 640" and its seven other forms.
bool parseResolution(std::string_view line, RadianceLayout& lay) {
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

}  // namespace

void ScanlineReader::need(size_t n) const {
    if (size_t(end_ - p_) < n) inputError(path_, "the Radiance picture is cut short");
}

void ScanlineReader::damaged() const { inputError(path_, "the Radiance picture data is damaged"); }

void ScanlineReader::read(uint8_t* out, uint32_t len) {
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

void ScanlineReader::readNewRle(uint8_t* out, uint32_t len) {
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

void ScanlineReader::readOld(uint8_t* out, uint32_t len) {
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

RadianceHeader parseRadianceHeader(const uint8_t* data, size_t size, const Path& path, const LoadOptions& opt) {
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

    RadianceHeader h;
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

    RadianceLayout& lay = h.lay;
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


RadiancePicture decodeRadiance(const uint8_t* data, size_t size, const Path& path, const LoadOptions& opt) {
    RadianceHeader h = parseRadianceHeader(data, size, path, opt);
    const RadianceLayout& lay = h.lay;
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

PixelDecoder::PixelDecoder(const RadiancePicture& pic, float gain) {
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

}  // namespace conv
