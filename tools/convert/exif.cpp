#include "tools/convert/exif.h"

#include <algorithm>
#include <cstring>

namespace conv {

namespace {

// Reads IFD0 of a TIFF structure and finds the Orientation entry; returns the
// offset of its value field, or 0 when absent or malformed.
struct TiffView {
    const uint8_t* d;
    size_t n;
    bool le;
    bool ok(size_t off, size_t len) const { return off <= n && len <= n - off; }
    uint16_t u16(size_t off) const {
        return le ? uint16_t(d[off] | d[off + 1] << 8) : uint16_t(d[off] << 8 | d[off + 1]);
    }
    uint32_t u32(size_t off) const {
        return le ? uint32_t(d[off]) | uint32_t(d[off + 1]) << 8 | uint32_t(d[off + 2]) << 16 |
                        uint32_t(d[off + 3]) << 24
                  : uint32_t(d[off]) << 24 | uint32_t(d[off + 1]) << 16 | uint32_t(d[off + 2]) << 8 |
                        uint32_t(d[off + 3]);
    }
};

bool view(const std::vector<uint8_t>& t, TiffView& v) {
    if (t.size() < 8) return false;
    if (t[0] == 'I' && t[1] == 'I' && t[2] == 42 && t[3] == 0) v.le = true;
    else if (t[0] == 'M' && t[1] == 'M' && t[2] == 0 && t[3] == 42) v.le = false;
    else return false;
    v.d = t.data();
    v.n = t.size();
    return true;
}

size_t orientationValueOffset(const TiffView& v) {
    uint32_t ifd = v.u32(4);
    if (!v.ok(ifd, 2)) return 0;
    uint16_t count = v.u16(ifd);
    if (!v.ok(ifd + 2, size_t(count) * 12)) return 0;
    for (uint16_t i = 0; i < count; ++i) {
        size_t e = ifd + 2 + size_t(i) * 12;
        if (v.u16(e) == 0x0112 && v.u16(e + 2) == 3 /* SHORT */ && v.u32(e + 4) >= 1) return e + 8;
    }
    return 0;
}

}  // namespace

int exifOrientation(const std::vector<uint8_t>& tiff) {
    TiffView v;
    if (!view(tiff, v)) return 0;
    size_t off = orientationValueOffset(v);
    if (!off) return 0;
    int o = v.u16(off);
    return (o >= 1 && o <= 8) ? o : 0;
}

bool setExifOrientation(std::vector<uint8_t>& tiff, int value) {
    TiffView v;
    if (!view(tiff, v)) return false;
    size_t off = orientationValueOffset(v);
    if (!off) return false;
    if (v.le) { tiff[off] = uint8_t(value); tiff[off + 1] = uint8_t(value >> 8); }
    else { tiff[off] = uint8_t(value >> 8); tiff[off + 1] = uint8_t(value); }
    return true;
}

bool normaliseExif(std::vector<uint8_t>& block) {
    if (block.size() >= 6 && std::memcmp(block.data(), "Exif\0\0", 6) == 0)
        block.erase(block.begin(), block.begin() + 6);
    TiffView v;
    return view(block, v);
}

}  // namespace conv

namespace conv {

namespace {

enum : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5 };

struct Entry {
    uint16_t tag, type;
    uint32_t count;
    std::vector<uint8_t> data;  // little-endian value bytes
};

void put16(std::vector<uint8_t>& v, uint32_t x) { v.push_back(uint8_t(x)); v.push_back(uint8_t(x >> 8)); }
void put32(std::vector<uint8_t>& v, uint32_t x) { put16(v, x & 0xffff); put16(v, x >> 16); }

Entry ascii(uint16_t tag, const std::string& s) {
    Entry e{tag, kAscii, uint32_t(s.size() + 1), {}};
    e.data.assign(s.begin(), s.end());
    e.data.push_back(0);
    return e;
}
Entry shortv(uint16_t tag, uint32_t v) { Entry e{tag, kShort, 1, {}}; put16(e.data, v); return e; }
Entry longv(uint16_t tag, uint32_t v) { Entry e{tag, kLong, 1, {}}; put32(e.data, v); return e; }
Entry rationals(uint16_t tag, std::initializer_list<double> vals) {
    Entry e{tag, kRational, uint32_t(vals.size()), {}};
    for (double v : vals) {
        // Enough precision for shutter speeds like 1/8000 s and for GPS seconds.
        uint32_t den = v != 0 && v < 1 ? 1000000 : 10000;
        put32(e.data, uint32_t(v * den + 0.5));
        put32(e.data, den);
    }
    return e;
}

size_t ifdSize(const std::vector<Entry>& es) {
    size_t n = 2 + es.size() * 12 + 4;
    for (auto& e : es)
        if (e.data.size() > 4) n += (e.data.size() + 1) & ~size_t(1);
    return n;
}

void writeIfd(std::vector<uint8_t>& out, std::vector<Entry> es) {
    std::sort(es.begin(), es.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    const size_t base = out.size();
    size_t dataAt = base + 2 + es.size() * 12 + 4;
    std::vector<uint8_t> extra;
    put16(out, uint32_t(es.size()));
    for (auto& e : es) {
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.data.size() <= 4) {
            std::vector<uint8_t> v = e.data;
            v.resize(4, 0);
            out.insert(out.end(), v.begin(), v.end());
        } else {
            put32(out, uint32_t(dataAt + extra.size()));
            extra.insert(extra.end(), e.data.begin(), e.data.end());
            if (extra.size() & 1) extra.push_back(0);
        }
    }
    put32(out, 0);  // no next IFD
    out.insert(out.end(), extra.begin(), extra.end());
}

}  // namespace

std::vector<uint8_t> buildExif(const ShotInfo& s) {
    std::vector<Entry> ifd0, exif, gps;
    if (!s.make.empty()) ifd0.push_back(ascii(0x010F, s.make));
    if (!s.model.empty()) ifd0.push_back(ascii(0x0110, s.model));
    ifd0.push_back(shortv(0x0112, 1));
    if (!s.dateTime.empty()) ifd0.push_back(ascii(0x0132, s.dateTime));
    if (s.exposureTime > 0) exif.push_back(rationals(0x829A, {s.exposureTime}));
    if (s.fNumber > 0) exif.push_back(rationals(0x829D, {s.fNumber}));
    if (s.iso > 0) exif.push_back(shortv(0x8827, uint32_t(std::min(s.iso, 65535.0))));
    if (!s.dateTime.empty()) exif.push_back(ascii(0x9003, s.dateTime));
    if (s.focalLength > 0) exif.push_back(rationals(0x920A, {s.focalLength}));
    if (s.hasGps) {
        Entry ver{0x0000, kByte, 4, {2, 2, 0, 0}};
        gps.push_back(ver);
        gps.push_back(ascii(0x0001, std::string(1, s.latRef)));
        gps.push_back(rationals(0x0002, {s.latitude[0], s.latitude[1], s.latitude[2]}));
        gps.push_back(ascii(0x0003, std::string(1, s.lonRef)));
        gps.push_back(rationals(0x0004, {s.longitude[0], s.longitude[1], s.longitude[2]}));
        Entry altRef{0x0005, kByte, 1, {uint8_t(s.belowSeaLevel ? 1 : 0)}};
        gps.push_back(altRef);
        gps.push_back(rationals(0x0006, {s.altitude}));
    }
    // Offsets: IFD0 at 8, then the EXIF IFD, then the GPS IFD.
    const size_t n0 = ifd0.size() + (exif.empty() ? 0 : 1) + (gps.empty() ? 0 : 1);
    size_t size0 = ifdSize(ifd0) + (n0 - ifd0.size()) * 12;
    const size_t exifAt = 8 + size0;
    const size_t gpsAt = exifAt + (exif.empty() ? 0 : ifdSize(exif));
    if (!exif.empty()) ifd0.push_back(longv(0x8769, uint32_t(exifAt)));
    if (!gps.empty()) ifd0.push_back(longv(0x8825, uint32_t(gpsAt)));
    std::vector<uint8_t> out = {'I', 'I', 42, 0};
    put32(out, 8);
    writeIfd(out, ifd0);
    if (!exif.empty()) writeIfd(out, exif);
    if (!gps.empty()) writeIfd(out, gps);
    return out;
}

}  // namespace conv
