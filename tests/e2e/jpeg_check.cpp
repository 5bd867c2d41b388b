#include "tests/e2e/jpeg_check.h"

#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>

namespace tess::e2e {
namespace {

uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Orientation (tag 0x0112) in IFD0 of a TIFF-structured EXIF block; 0 when absent.
int ExifOrientation(const uint8_t* tiff, size_t size) {
    if (size < 8) return 0;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
    auto u16 = [&](size_t at) -> uint32_t {
        return little ? tiff[at] | tiff[at + 1] << 8 : tiff[at] << 8 | tiff[at + 1];
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
    };
    const uint32_t ifd = u32(4);
    if (size_t(ifd) + 2 > size) return 0;
    const uint32_t count = u16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + 12 * size_t(i);
        if (entry + 12 > size) return 0;
        if (u16(entry) == 0x0112 && u16(entry + 2) == 3) return int(u16(entry + 8));
    }
    return 0;
}

struct TjFree {
    void operator()(void* handle) const { tjDestroy(handle); }
};

}  // namespace

JpegMarkers ReadJpegMarkers(const std::string& jpeg) {
    JpegMarkers m;
    const auto* d = reinterpret_cast<const uint8_t*>(jpeg.data());
    const size_t n = jpeg.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8) return m;
    std::map<int, std::string> iccChunks;
    bool frame = false;
    size_t at = 2;
    while (at + 4 <= n) {
        if (d[at] != 0xFF) return m;
        const uint8_t marker = d[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const size_t length = Be16(d + at + 2);
        if (length < 2 || at + 2 + length > n) return m;
        const uint8_t* body = d + at + 4;
        const size_t bodySize = length - 2;
        if (marker == 0xDA) {  // start of scan: every marker we read comes before it
            m.valid = frame;
            break;
        }
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && bodySize >= 5) {
            m.height = Be16(body + 1);
            m.width = Be16(body + 3);
            frame = true;
        } else if (marker == 0xE1 && bodySize >= 6 && std::memcmp(body, "Exif\0\0", 6) == 0) {
            m.hasExif = true;
            m.orientation = ExifOrientation(body + 6, bodySize - 6);
        } else if (marker == 0xE2 && bodySize >= 14 && std::memcmp(body, "ICC_PROFILE\0", 12) == 0) {
            iccChunks[body[12]].assign(reinterpret_cast<const char*>(body + 14), bodySize - 14);
        }
        at += 2 + length;
    }
    for (const auto& [sequence, chunk] : iccChunks) m.icc += chunk;
    return m;
}

Pixels DecodeJpeg(const std::string& jpeg, int scaleDenominator) {
    Pixels p;
    std::unique_ptr<void, TjFree> tj(tjInitDecompress());
    if (!tj) return p;
    auto* data = reinterpret_cast<const unsigned char*>(jpeg.data());
    const auto size = static_cast<unsigned long>(jpeg.size());
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(tj.get(), data, size, &width, &height, &subsampling, &colourspace) != 0) return p;
    const tjscalingfactor scale{1, scaleDenominator};
    const int w = TJSCALED(width, scale), h = TJSCALED(height, scale);
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    if (tjDecompress2(tj.get(), data, size, rgb.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT) != 0) return p;
    p.width = w;
    p.height = h;
    p.rgb = std::move(rgb);
    return p;
}

double Psnr(const Pixels& a, const Pixels& b) {
    if (a.rgb.empty() || a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return -1;
    double sum = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i) {
        const double diff = double(a.rgb[i]) - double(b.rgb[i]);
        sum += diff * diff;
    }
    if (sum == 0) return 1000;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(a.rgb.size())));
}

}  // namespace tess::e2e
