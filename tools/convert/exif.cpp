#include "tools/convert/exif.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tools/convert/bytes.h"

namespace conv {

namespace {

// A TIFF structure in memory; ok() before every read.
struct TiffView {
    const uint8_t* d;
    size_t n;
    bool le;
    bool ok(uint64_t off, uint64_t len) const { return off <= n && len <= n - off; }
    uint16_t u16(size_t off) const { return read16(d + off, !le); }
    uint32_t u32(size_t off) const { return read32(d + off, !le); }
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

// Finds IFD0's Orientation entry; returns the offset of its value field, or 0
// when absent or malformed.
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
    write16(tiff.data() + off, uint16_t(value), !v.le);
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

Entry ascii(uint16_t tag, const std::string& s) {
    Entry e{tag, kAscii, uint32_t(s.size() + 1), {}};
    e.data.assign(s.begin(), s.end());
    e.data.push_back(0);
    return e;
}
Entry shortv(uint16_t tag, uint32_t v) { Entry e{tag, kShort, 1, {}}; appendLe16(e.data, v); return e; }
Entry longv(uint16_t tag, uint32_t v) { Entry e{tag, kLong, 1, {}}; appendLe32(e.data, v); return e; }
Entry rationals(uint16_t tag, std::initializer_list<double> vals) {
    Entry e{tag, kRational, uint32_t(vals.size()), {}};
    for (double v : vals) {
        // Enough precision for shutter speeds like 1/8000 s and for GPS seconds.
        uint32_t den = v != 0 && v < 1 ? 1000000 : 10000;
        appendLe32(e.data, uint32_t(v * den + 0.5));
        appendLe32(e.data, den);
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
    appendLe16(out, uint32_t(es.size()));
    for (auto& e : es) {
        appendLe16(out, e.tag);
        appendLe16(out, e.type);
        appendLe32(out, e.count);
        if (e.data.size() <= 4) {
            std::vector<uint8_t> v = e.data;
            v.resize(4, 0);
            out.insert(out.end(), v.begin(), v.end());
        } else {
            appendLe32(out, uint32_t(dataAt + extra.size()));
            extra.insert(extra.end(), e.data.begin(), e.data.end());
            if (extra.size() & 1) extra.push_back(0);
        }
    }
    appendLe32(out, 0);  // no next IFD
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
    appendLe32(out, 8);
    writeIfd(out, ifd0);
    if (!exif.empty()) writeIfd(out, exif);
    if (!gps.empty()) writeIfd(out, gps);
    return out;
}

}  // namespace conv

namespace conv {

namespace {

constexpr uint16_t kTagInteropIfd = 40965;
constexpr uint16_t kTagPixelXDimension = 40962;
constexpr uint16_t kTagPixelYDimension = 40963;
constexpr size_t kMaxEntries = 1000;

// Size in bytes of one value of a TIFF field type; 0 for types we do not copy.
uint32_t typeSize(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;   // BYTE ASCII SBYTE UNDEFINED
        case 3: case 8: return 2;                   // SHORT SSHORT
        case 4: case 9: case 11: case 13: return 4; // LONG SLONG FLOAT IFD
        case 5: case 10: case 12: return 8;         // RATIONAL SRATIONAL DOUBLE
        default: return 0;
    }
}
// Unit of byte swapping: rationals are two 32-bit numbers.
uint32_t swapUnit(uint16_t type) {
    const uint32_t s = typeSize(type);
    return (type == 5 || type == 10) ? 4 : s;
}

std::vector<TiffEntry> readIfd(const TiffView& r, uint32_t off) {
    std::vector<TiffEntry> out;
    if (off == 0 || !r.ok(off, 2)) return out;
    const uint32_t n = r.u16(off);
    if (n > kMaxEntries || !r.ok(off + 2, uint64_t(n) * 12)) return out;
    for (uint32_t i = 0; i < n; ++i) {
        const size_t e = off + 2 + size_t(i) * 12;
        TiffEntry t;
        t.tag = r.u16(e);
        t.type = r.u16(e + 2);
        t.count = r.u32(e + 4);
        const uint32_t size = typeSize(t.type);
        if (size == 0) continue;
        const uint64_t bytes = uint64_t(size) * t.count;
        const uint64_t valueOff = bytes <= 4 ? e + 8 : r.u32(e + 8);
        if (!r.ok(valueOff, bytes)) continue;
        t.value.assign(r.d + valueOff, r.d + valueOff + bytes);
        out.push_back(std::move(t));
    }
    return out;
}

uint32_t pointerValue(const TiffEntry* e, bool be) {
    if (!e || (e->type != 4 && e->type != 13) || e->count != 1) return 0;
    return read32(e->value.data(), be);
}

}  // namespace

const TiffEntry* findEntry(const std::vector<TiffEntry>& ifd, uint16_t tag) {
    for (const auto& e : ifd)
        if (e.tag == tag) return &e;
    return nullptr;
}

ExifParts parseExif(const std::vector<uint8_t>& tiff) {
    ExifParts p;
    TiffView r;
    if (!view(tiff, r)) return p;
    p.bigEndian = !r.le;
    p.ifd0 = readIfd(r, r.u32(4));
    p.exif = readIfd(r, pointerValue(findEntry(p.ifd0, kTagExifIfd), p.bigEndian));
    p.gps = readIfd(r, pointerValue(findEntry(p.ifd0, kTagGpsIfd), p.bigEndian));
    std::erase_if(p.exif, [](const TiffEntry& e) {
        return e.tag == kTagInteropIfd || e.tag == kTagPixelXDimension || e.tag == kTagPixelYDimension;
    });
    return p;
}

std::vector<uint8_t> serialiseIfd(const std::vector<TiffEntry>& entriesIn, bool srcBigEndian, bool be, uint32_t base) {
    std::vector<TiffEntry> entries = entriesIn;
    std::stable_sort(entries.begin(), entries.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    const size_t tableSize = 2 + entries.size() * 12 + 4;
    std::vector<uint8_t> out(tableSize, 0);
    write16(out.data(), uint16_t(entries.size()), be);
    for (size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry& e = entries[i];
        std::vector<uint8_t> v = e.value;
        const uint32_t unit = swapUnit(e.type);
        if (srcBigEndian != be && unit > 1)
            for (size_t k = 0; k + unit <= v.size(); k += unit) std::reverse(v.begin() + ptrdiff_t(k), v.begin() + ptrdiff_t(k + unit));
        const size_t at = 2 + i * 12;
        write16(out.data() + at, e.tag, be);
        write16(out.data() + at + 2, e.type, be);
        write32(out.data() + at + 4, e.count, be);
        if (v.size() <= 4) {
            std::copy(v.begin(), v.end(), out.begin() + ptrdiff_t(at + 8));
        } else {
            if (out.size() & 1) out.push_back(0);  // values start on a word boundary
            write32(out.data() + at + 8, base + uint32_t(out.size()), be);
            out.insert(out.end(), v.begin(), v.end());
        }
    }
    return out;
}

namespace {

std::vector<uint8_t> blockFromParts(const ExifParts& p) {
    const bool be = p.bigEndian;
    std::vector<TiffEntry> ifd0;
    bool aboutTheShot = !p.exif.empty() || !p.gps.empty();
    for (const TiffEntry& e : p.ifd0) {
        if (e.type != 2 || std::find(std::begin(kShotTags), std::end(kShotTags), e.tag) == std::end(kShotTags)) continue;
        ifd0.push_back(e);
        if (e.tag != 305) aboutTheShot = true;  // Software alone says nothing about the picture
    }
    if (!aboutTheShot) return {};

    // Values are given in the source's byte order; serialiseIfd turns them.
    TiffEntry orientation{0x0112, 3, 1, std::vector<uint8_t>(2)};
    write16(orientation.value.data(), 1, be);
    ifd0.push_back(orientation);
    auto pointer = [&](uint16_t tag) {
        ifd0.push_back(TiffEntry{tag, 4, 1, std::vector<uint8_t>(4)});
        return ifd0.size() - 1;
    };
    const size_t exifPtr = p.exif.empty() ? 0 : pointer(kTagExifIfd);
    const size_t gpsPtr = p.gps.empty() ? 0 : pointer(kTagGpsIfd);

    // IFD0 at 8, then the EXIF directory, then the GPS directory, each on a word
    // boundary. A directory's size does not depend on where it sits.
    auto evenSize = [](size_t n) { return (n + 1) & ~size_t(1); };
    const uint32_t exifAt = uint32_t(8 + evenSize(serialiseIfd(ifd0, be, false, 8).size()));
    const uint32_t gpsAt = uint32_t(exifAt + (p.exif.empty() ? 0 : evenSize(serialiseIfd(p.exif, be, false, exifAt).size())));
    if (exifPtr) write32(ifd0[exifPtr].value.data(), exifAt, be);
    if (gpsPtr) write32(ifd0[gpsPtr].value.data(), gpsAt, be);

    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto append = [&](const std::vector<TiffEntry>& ifd) {
        const std::vector<uint8_t> blob = serialiseIfd(ifd, be, false, uint32_t(out.size()));
        out.insert(out.end(), blob.begin(), blob.end());
        if (out.size() & 1) out.push_back(0);
    };
    append(ifd0);
    if (!p.exif.empty()) append(p.exif);
    if (!p.gps.empty()) append(p.gps);
    return out;
}

}  // namespace

bool makerNoteSelfContained(const std::vector<uint8_t>& v) {
    auto starts = [&](const char* sig, size_t len) { return v.size() >= len && std::memcmp(v.data(), sig, len) == 0; };
    return starts("Nikon\0\x02", 7) || starts("OLYMPUS\0", 8) || starts("OM SYSTEM\0", 10) || starts("FUJIFILM", 8) ||
           starts("Apple iOS\0", 10);
}

std::vector<uint8_t> exifFromTiffFile(const std::vector<uint8_t>& file, MakerNotes notes) {
    constexpr uint16_t kTagMakerNote = 0x927C;
    ExifParts p = parseExif(file);
    if (notes == MakerNotes::AsFound) return blockFromParts(p);
    std::erase_if(p.exif, [](const TiffEntry& e) { return e.tag == kTagMakerNote && !makerNoteSelfContained(e.value); });
    std::vector<uint8_t> out = blockFromParts(p);
    if (out.size() > kMaxJpegExif && findEntry(p.exif, kTagMakerNote)) {
        // Too large for a JPEG with the note: the rest of the EXIF matters more.
        std::erase_if(p.exif, [](const TiffEntry& e) { return e.tag == kTagMakerNote; });
        out = blockFromParts(p);
    }
    return out;
}

}  // namespace conv
