#include "tools/convert/heif_tiles.h"

#include <libde265/de265.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "tools/convert/bytes.h"
#include "tools/convert/heif_boxes.h"
#include "tools/convert/hevc_decoder.h"
#include "tools/convert/parallel.h"

namespace conv {

namespace {

// Big-endian fields from a bounded span; reading past the end makes it fail
// for good and yields zeros.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint64_t u(size_t bytes) {
        if (!ok_ || bytes > 8 || n_ - at_ < bytes) {
            ok_ = false;
            return 0;
        }
        const uint64_t v = beN(p_ + at_, bytes);
        at_ += bytes;
        return v;
    }
    void skip(size_t bytes) {
        if (!ok_ || n_ - at_ < bytes)
            ok_ = false;
        else
            at_ += bytes;
    }
    bool ok() const { return ok_; }
    const uint8_t* here() const { return p_ + at_; }
    size_t left() const { return ok_ ? n_ - at_ : 0; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
    bool ok_ = true;
};

const Box* find(const std::vector<Box>& boxes, uint32_t type) {
    for (const Box& b : boxes)
        if (b.type == type) return &b;
    return nullptr;
}

struct Extent {
    uint64_t offset = 0, length = 0;
};

struct Item {
    uint32_t type = 0;
    int method = 0;  // 0: in the file, 1: in 'idat'
    uint64_t base = 0;
    std::vector<Extent> extents;
};

// What the 'meta' box says about the items.
struct Meta {
    uint32_t primary = 0;
    std::map<uint32_t, Item> items;
    std::map<uint32_t, std::vector<uint32_t>> tilesOf;  // 'dimg' references
    std::vector<Box> properties;                        // 'ipco', numbered from 1
    std::map<uint32_t, std::vector<uint32_t>> propertiesOf;
    const Box* idat = nullptr;
    std::vector<Box> children;
};

bool readItemInfo(const Box& iinf, Meta& m) {
    Reader r(iinf.body, iinf.size);
    const int version = int(r.u(1));
    r.skip(3);
    r.u(version == 0 ? 2 : 4);
    if (!r.ok()) return false;
    std::vector<Box> entries;
    if (!readBoxes(r.here(), r.left(), entries)) return false;
    for (const Box& b : entries) {
        if (b.type != fourcc("infe")) continue;
        Reader e(b.body, b.size);
        const int v = int(e.u(1));
        e.skip(3);
        if (v < 2) continue;  // no item type before version 2
        const uint32_t id = uint32_t(e.u(v == 2 ? 2 : 4));
        e.skip(2);  // protection index
        const uint32_t type = uint32_t(e.u(4));
        if (!e.ok()) return false;
        m.items[id].type = type;
    }
    return true;
}

bool readLocations(const Box& iloc, Meta& m) {
    Reader r(iloc.body, iloc.size);
    const int version = int(r.u(1));
    r.skip(3);
    const int sizes = int(r.u(1)), more = int(r.u(1));
    const size_t offsetSize = size_t(sizes >> 4), lengthSize = size_t(sizes & 15), baseSize = size_t(more >> 4);
    const size_t indexSize = version == 1 || version == 2 ? size_t(more & 15) : 0;
    const uint64_t count = r.u(version < 2 ? 2 : 4);
    for (uint64_t i = 0; i < count && r.ok(); ++i) {
        const uint32_t id = uint32_t(r.u(version < 2 ? 2 : 4));
        Item& item = m.items[id];
        item.method = version == 1 || version == 2 ? int(r.u(2) & 15) : 0;
        r.skip(2);  // data reference index
        item.base = r.u(baseSize);
        const uint64_t extents = r.u(2);
        item.extents.clear();
        for (uint64_t k = 0; k < extents && r.ok(); ++k) {
            r.skip(indexSize);
            Extent e;
            e.offset = r.u(offsetSize);
            e.length = r.u(lengthSize);
            item.extents.push_back(e);
        }
    }
    return r.ok();
}

bool readReferences(const Box& iref, Meta& m) {
    Reader r(iref.body, iref.size);
    const int version = int(r.u(1));
    r.skip(3);
    std::vector<Box> refs;
    if (!r.ok() || !readBoxes(r.here(), r.left(), refs)) return false;
    const size_t idSize = version == 0 ? 2 : 4;
    for (const Box& b : refs) {
        if (b.type != fourcc("dimg")) continue;
        Reader e(b.body, b.size);
        const uint32_t from = uint32_t(e.u(idSize));
        const uint64_t count = e.u(2);
        std::vector<uint32_t>& to = m.tilesOf[from];
        for (uint64_t k = 0; k < count && e.ok(); ++k) to.push_back(uint32_t(e.u(idSize)));
        if (!e.ok()) return false;
    }
    return true;
}

bool readProperties(const Box& iprp, Meta& m) {
    std::vector<Box> parts;
    if (!readBoxes(iprp.body, iprp.size, parts)) return false;
    const Box* ipco = find(parts, fourcc("ipco"));
    if (!ipco || !readBoxes(ipco->body, ipco->size, m.properties)) return false;
    for (const Box& b : parts) {
        if (b.type != fourcc("ipma")) continue;
        Reader r(b.body, b.size);
        const int version = int(r.u(1));
        const uint32_t flags = uint32_t(r.u(3));
        const uint64_t entries = r.u(4);
        for (uint64_t i = 0; i < entries && r.ok(); ++i) {
            const uint32_t id = uint32_t(r.u(version < 1 ? 2 : 4));
            const uint64_t n = r.u(1);
            for (uint64_t k = 0; k < n && r.ok(); ++k)
                m.propertiesOf[id].push_back(flags & 1 ? uint32_t(r.u(2) & 0x7fff) : uint32_t(r.u(1) & 0x7f));
        }
        if (!r.ok()) return false;
    }
    return true;
}

bool readMeta(const uint8_t* data, size_t size, Meta& m) {
    std::vector<Box> top;
    readBoxes(data, size, top);  // a damaged box after 'meta' does not matter here
    const Box* meta = find(top, fourcc("meta"));
    if (!meta || meta->size < 4 || !readBoxes(meta->body + 4, meta->size - 4, m.children)) return false;
    const Box* pitm = find(m.children, fourcc("pitm"));
    const Box* iinf = find(m.children, fourcc("iinf"));
    if (!pitm || !iinf) return false;
    Reader r(pitm->body, pitm->size);
    const int version = int(r.u(1));
    r.skip(3);
    m.primary = uint32_t(r.u(version == 0 ? 2 : 4));
    if (!r.ok() || !readItemInfo(*iinf, m)) return false;
    m.idat = find(m.children, fourcc("idat"));
    return true;
}

// Every byte of an item, or false when it is stored in a way we do not read.
bool itemData(const uint8_t* file, size_t size, const Meta& m, const Item& item, std::vector<uint8_t>& out) {
    out.clear();
    const uint8_t* space = file;
    size_t spaceSize = size;
    if (item.method == 1) {
        if (!m.idat) return false;
        space = m.idat->body;
        spaceSize = m.idat->size;
    } else if (item.method != 0) {
        return false;
    }
    if (item.extents.empty()) return false;
    for (const Extent& e : item.extents) {
        const uint64_t start = item.base + e.offset;
        if (e.length == 0 || start < item.base || start > spaceSize || e.length > spaceSize - start) return false;
        out.insert(out.end(), space + start, space + start + e.length);
    }
    return true;
}

std::vector<const Box*> propertiesOf(const Meta& m, uint32_t id) {
    std::vector<const Box*> r;
    auto it = m.propertiesOf.find(id);
    if (it == m.propertiesOf.end()) return r;
    for (uint32_t index : it->second)
        if (index >= 1 && index <= m.properties.size()) r.push_back(&m.properties[index - 1]);
    return r;
}

// A quarter turn or mirroring that is not a no-op, or a crop.
bool changesGeometry(const Box* p) {
    if (p->type == fourcc("irot")) return p->size >= 1 && (p->body[0] & 3) != 0;
    return p->type == fourcc("imir") || p->type == fourcc("clap");
}


bool readHvcC(const Box& b, HeifTiles::Tile& tile) {
    Reader r(b.body, b.size);
    r.skip(21);
    tile.lengthBytes = int(r.u(1) & 3) + 1;
    const uint64_t arrays = r.u(1);
    for (uint64_t a = 0; a < arrays && r.ok(); ++a) {
        r.skip(1);  // completeness and NAL unit type
        const uint64_t n = r.u(2);
        for (uint64_t k = 0; k < n && r.ok(); ++k) {
            const size_t len = size_t(r.u(2));
            const uint8_t* p = r.here();
            r.skip(len);
            if (r.ok()) tile.parameterSets.emplace_back(p, p + len);
        }
    }
    return r.ok();
}

}  // namespace

namespace {

constexpr size_t kTurnBlock = 32;

// Rows [from, to) of the source (multiples of kTurnBlock but for the end) turned
// into their places in `dst`, walked in small blocks so that reads and writes
// both stay in the cache.
void turnPlaneRows(const uint8_t* src, size_t w, size_t h, const HeifTurn& turn, uint8_t* dst, size_t from,
                   size_t to) {
    const bool swap = !turn.mirror && turn.value % 2 == 1;
    const size_t dw = swap ? h : w;
    constexpr size_t B = kTurnBlock;
    for (size_t by = from; by < to; by += B)
        for (size_t bx = 0; bx < w; bx += B)
            for (size_t y = by; y < std::min(h, by + B); ++y)
                for (size_t x = bx; x < std::min(w, bx + B); ++x) {
                    size_t dx = x, dy = y;
                    if (turn.mirror) {
                        if (turn.value == 0)
                            dy = h - 1 - y;
                        else
                            dx = w - 1 - x;
                    } else if (turn.value == 1) {  // 90 degrees anticlockwise
                        dx = y;
                        dy = w - 1 - x;
                    } else if (turn.value == 2) {
                        dx = w - 1 - x;
                        dy = h - 1 - y;
                    } else if (turn.value == 3) {  // 90 degrees clockwise
                        dx = h - 1 - y;
                        dy = x;
                    }
                    dst[dy * dw + dx] = src[y * w + x];
                }
}

}  // namespace

void turnPlane(const uint8_t* src, size_t w, size_t h, const HeifTurn& turn, uint8_t* dst) {
    turnPlaneRows(src, w, h, turn, dst, 0, h);
}

bool HeifTiles::swapsSides() const {
    bool swap = false;
    for (const Turn& t : turns) swap ^= !t.mirror && t.value % 2 == 1;
    return swap;
}

bool primaryItemIsGrid(const uint8_t* data, size_t size) {
    Meta m;
    if (!readMeta(data, size, m)) return false;
    auto it = m.items.find(m.primary);
    return it != m.items.end() && it->second.type == fourcc("grid");
}

namespace {

// A coded picture's configuration, data and colour description.
bool readTile(const uint8_t* data, size_t size, const Meta& m, uint32_t id, HeifTiles& pic) {
    auto item = m.items.find(id);
    if (item == m.items.end() || item->second.type != fourcc("hvc1")) return false;
    HeifTiles::Tile tile;
    bool config = false;
    for (const Box* p : propertiesOf(m, id)) {
        if (p->type == fourcc("hvcC")) {
            if (!readHvcC(*p, tile)) return false;
            config = true;
        } else if (p->type == fourcc("ispe") && pic.tileWidth == 0) {
            Reader r(p->body, p->size);
            r.skip(4);
            pic.tileWidth = uint32_t(r.u(4));
            pic.tileHeight = uint32_t(r.u(4));
            if (!r.ok()) return false;
        } else if (p->type == fourcc("colr") && p->size >= 11 && Reader(p->body, 4).u(4) == fourcc("nclx")) {
            Reader r(p->body + 4, p->size - 4);
            r.skip(4);  // primaries, transfer
            tile.matrix = int(r.u(2));
            tile.fullRange = (r.u(1) & 0x80) != 0;
            tile.hasNclx = true;
        }
    }
    if (!config || !itemData(data, size, m, item->second, tile.data)) return false;
    for (const auto& ps : tile.parameterSets)
        if (!tile.format && !ps.empty()) tile.format = readHevcSps(ps.data(), ps.size());
    pic.tiles.push_back(std::move(tile));
    return true;
}

}  // namespace

std::optional<HeifTiles> readPrimaryTiles(const uint8_t* data, size_t size) {
    Meta m;
    if (!readMeta(data, size, m)) return std::nullopt;
    auto primary = m.items.find(m.primary);
    if (primary == m.items.end()) return std::nullopt;
    const bool grid = primary->second.type == fourcc("grid");
    if (!grid && primary->second.type != fourcc("hvc1")) return std::nullopt;
    const Box* iloc = find(m.children, fourcc("iloc"));
    const Box* iprp = find(m.children, fourcc("iprp"));
    const Box* iref = find(m.children, fourcc("iref"));
    if (!iloc || !iprp || !readLocations(*iloc, m) || !readProperties(*iprp, m)) return std::nullopt;
    if (grid && (!iref || !readReferences(*iref, m))) return std::nullopt;

    HeifTiles pic;
    for (const Box* p : propertiesOf(m, m.primary)) {
        if (p->type == fourcc("clap")) return std::nullopt;
        if ((p->type == fourcc("irot") || p->type == fourcc("imir")) && p->size < 1) return std::nullopt;
        if (p->type == fourcc("irot") && (p->body[0] & 3) != 0) pic.turns.push_back({false, p->body[0] & 3});
        if (p->type == fourcc("imir")) pic.turns.push_back({true, p->body[0] & 1});
    }
    if (!grid) {
        if (!readTile(data, size, m, m.primary, pic)) return std::nullopt;
        pic.width = pic.tileWidth;
        pic.height = pic.tileHeight;
        if (pic.width == 0 || pic.height == 0) return std::nullopt;
        return pic;
    }

    std::vector<uint8_t> desc;
    if (!itemData(data, size, m, primary->second, desc)) return std::nullopt;
    Reader g(desc.data(), desc.size());
    const uint64_t version = g.u(1), flags = g.u(1);
    pic.rows = uint32_t(g.u(1)) + 1;
    pic.columns = uint32_t(g.u(1)) + 1;
    pic.width = uint32_t(g.u(flags & 1 ? 4 : 2));
    pic.height = uint32_t(g.u(flags & 1 ? 4 : 2));
    if (!g.ok() || version != 0 || pic.width == 0 || pic.height == 0) return std::nullopt;
    const std::vector<uint32_t>& ids = m.tilesOf[m.primary];
    if (ids.size() != size_t(pic.rows) * pic.columns) return std::nullopt;
    for (uint32_t id : ids) {
        for (const Box* p : propertiesOf(m, id))
            if (changesGeometry(p)) return std::nullopt;
        if (!readTile(data, size, m, id, pic)) return std::nullopt;
    }
    // The tiles must cover the picture and every tile column and row must show;
    // chroma of tiles after the first starts at an even luma sample.
    const uint64_t tw = pic.tileWidth, th = pic.tileHeight;
    if (tw == 0 || th == 0 || (pic.columns > 1 && tw % 2) || (pic.rows > 1 && th % 2) || tw * pic.columns < pic.width ||
        th * pic.rows < pic.height || tw * (pic.columns - 1) >= pic.width || th * (pic.rows - 1) >= pic.height)
        return std::nullopt;
    return pic;
}

std::optional<std::pair<HeifGeometry, HeifGeometry>> readGeometry(const uint8_t* data, size_t size, uint32_t id) {
    Meta m;
    if (!readMeta(data, size, m)) return std::nullopt;
    const Box* iprp = find(m.children, fourcc("iprp"));
    if (!iprp || !readProperties(*iprp, m)) return std::nullopt;
    auto geometryOf = [&m](uint32_t item) {
        HeifGeometry g;
        for (const Box* p : propertiesOf(m, item)) {
            if (p->type == fourcc("clap")) g.cropped = true;
            const bool mirror = p->type == fourcc("imir");
            if ((mirror || p->type == fourcc("irot")) && p->size >= 1)
                g.turns.push_back({mirror, mirror ? p->body[0] & 1 : p->body[0] & 3});
        }
        return g;
    };
    return std::make_pair(geometryOf(m.primary), geometryOf(id));
}

std::optional<HeifToneMap> readToneMapItem(const uint8_t* data, size_t size) {
    Meta m;
    if (!readMeta(data, size, m)) return std::nullopt;
    const Box* iloc = find(m.children, fourcc("iloc"));
    const Box* iref = find(m.children, fourcc("iref"));
    if (!iloc || !iref || !readLocations(*iloc, m) || !readReferences(*iref, m)) return std::nullopt;
    for (const auto& [id, item] : m.items) {
        if (item.type != fourcc("tmap")) continue;
        const std::vector<uint32_t>& inputs = m.tilesOf[id];
        if (inputs.size() != 2 || inputs[0] != m.primary || !m.items.count(inputs[1])) continue;
        HeifToneMap tmap;
        tmap.mapItem = inputs[1];
        if (!itemData(data, size, m, item, tmap.metadata)) return std::nullopt;
        return tmap;
    }
    return std::nullopt;
}

namespace {

// Coded samples of one depth, range and matrix mapped to JPEG's 8-bit
// full-range BT.601 YCbCr. Each output sample is rounded once, from the coded
// value: full-range luma round(v * 255 / (2^bits - 1)), chroma the same about
// the middle, as full-range YCbCr scales with its depth; limited-range luma
// round((v / 2^(bits-8) - 16) * 255 / 219), chroma about 128 with 224 levels.
// A 4:2:2 picture's two chroma rows are summed first, so that each 4:2:0 row is
// their mean, centred between them as JPEG places it. BT.709 samples are turned
// into BT.601 ones on the way, the luma with the chroma of its own 2x2 block.
class SampleMap {
public:
    SampleMap(int bits, bool fullRange, int matrix)
        : bits_(bits), bt709_(matrix == 1), luma_(size_t(1) << bits), chromaPair_(size_t(2) << bits) {
        const double top = double((1u << bits) - 1), mid = double(1u << (bits - 1)), step = double(1u << (bits - 8));
        const auto lumaOf = [&](double v) { return fullRange ? v * 255.0 / top : (v / step - 16.0) * 255.0 / 219.0; };
        // About zero; `v` may be the sum of two samples halved.
        const auto chromaOf = [&](double v) {
            return fullRange ? (v - mid) * 255.0 / top : (v / step - 128.0) * 255.0 / 224.0;
        };
        const auto byte = [](double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
        for (size_t v = 0; v < luma_.size(); ++v) luma_[v] = byte(lumaOf(double(v)));
        for (size_t s = 0; s < chromaPair_.size(); ++s) chromaPair_[s] = byte(128.0 + chromaOf(double(s) / 2));
        if (!bt709_) return;
        lumaFix_.resize(luma_.size());
        chromaFix_.resize(luma_.size());
        for (size_t v = 0; v < luma_.size(); ++v) {
            lumaFix_[v] = int32_t(std::lround(lumaOf(double(v)) * kOne));
            chromaFix_[v] = int32_t(std::lround(chromaOf(double(v)) * kOne));
        }
        // BT.709's R, G and B of (0, cb, cr) in BT.601 terms: Y' = Y + dY.
        const auto convert = [](double cb, double cr, double out[3]) {
            const double kr = 0.2126, kb = 0.0722, r = 2 * (1 - kr) * cr, b = 2 * (1 - kb) * cb;
            const double g = -(kr * r + kb * b) / (1 - kr - kb);
            const double KR = 0.299, KB = 0.114, y = KR * r + (1 - KR - KB) * g + KB * b;
            out[0] = y;
            out[1] = (b - y) / (2 * (1 - KB));
            out[2] = (r - y) / (2 * (1 - KR));
        };
        double fromCb[3], fromCr[3];
        convert(1, 0, fromCb);
        convert(0, 1, fromCr);
        for (int k = 0; k < 3; ++k) {
            fromCb_[k] = int32_t(std::lround(fromCb[k] * kOne));
            fromCr_[k] = int32_t(std::lround(fromCr[k] * kOne));
        }
    }
    bool convertsMatrix() const { return bt709_; }

    // Coded samples are below 2^bits; the mask keeps a damaged one in the table.
    template <typename T>
    void lumaRow(const T* src, size_t n, uint8_t* dst) const {
        const unsigned mask = (1u << bits_) - 1;
        for (size_t x = 0; x < n; ++x) dst[x] = luma_[src[x] & mask];
    }
    // One 4:2:0 chroma row from two coded rows (the same row twice for 4:2:0).
    template <typename T>
    void chromaRow(const T* a, const T* b, size_t n, uint8_t* dst) const {
        const unsigned mask = (1u << bits_) - 1;
        for (size_t x = 0; x < n; ++x) dst[x] = chromaPair_[(a[x] & mask) + (b[x] & mask)];
    }

    // BT.709: one 4:2:0 chroma row (Cb and Cr from two coded rows each) and the
    // one or two luma rows it covers. cb and cr are work rows of n values.
    template <typename T>
    void matrixRows(const T* const cbRows[2], const T* const crRows[2], size_t n, const T* const lumaRows[2],
                    int lumaCount, size_t lumaN, uint8_t* cbOut, uint8_t* crOut, uint8_t* const lumaOut[2],
                    int32_t* cb, int32_t* cr) const {
        const unsigned mask = (1u << bits_) - 1;
        for (size_t x = 0; x < n; ++x) {
            cb[x] = (chromaFix_[cbRows[0][x] & mask] + chromaFix_[cbRows[1][x] & mask]) / 2;
            cr[x] = (chromaFix_[crRows[0][x] & mask] + chromaFix_[crRows[1][x] & mask]) / 2;
        }
        for (int k = 0; k < lumaCount; ++k) {
            const T* src = lumaRows[k];
            uint8_t* dst = lumaOut[k];
            for (size_t x = 0; x < lumaN; ++x) {
                const int64_t v = int64_t(lumaFix_[src[x] & mask]) + int64_t(fromCb_[0]) * cb[x / 2] / kOne +
                                  int64_t(fromCr_[0]) * cr[x / 2] / kOne;
                dst[x] = fixedToByte(v, 0);
            }
        }
        for (size_t x = 0; x < n; ++x) {
            const int64_t b = (int64_t(fromCb_[1]) * cb[x] + int64_t(fromCr_[1]) * cr[x]) / kOne;
            const int64_t r = (int64_t(fromCb_[2]) * cb[x] + int64_t(fromCr_[2]) * cr[x]) / kOne;
            cbOut[x] = fixedToByte(b, 128);
            crOut[x] = fixedToByte(r, 128);
        }
    }

private:
    static constexpr int kShift = 14;
    static constexpr int64_t kOne = int64_t(1) << kShift;
    static uint8_t fixedToByte(int64_t v, int offset) {
        return uint8_t(std::clamp<int64_t>(((v + kOne / 2) >> kShift) + offset, 0, 255));
    }
    int bits_;
    bool bt709_;
    std::vector<uint8_t> luma_, chromaPair_;
    std::vector<int32_t> lumaFix_, chromaFix_;  // in 8-bit levels, 2^kShift to the level
    int32_t fromCb_[3] = {}, fromCr_[3] = {};   // Y, Cb and Cr out of one level of Cb or Cr
};

// Rows [0, rows) cut into `threads` runs, fn(begin, end) called for each.
template <typename Fn>
void splitRows(size_t rows, int threads, const Fn& fn) {
    const size_t n = std::clamp<size_t>(size_t(std::max(1, threads)), 1, std::max<size_t>(1, rows / 64));
    parallelFor(n, threads, [&](size_t t) { fn(rows * t / n, rows * (t + 1) / n); });
}

// One picture's decoded planes, wherever they were decoded.
struct CodedPlanes {
    const uint8_t* base[3] = {};
    int stride[3] = {};
    size_t width[3] = {}, height[3] = {};
    bool chroma422 = false;
};

CodedPlanes planesOf(const de265_image* pic) {
    CodedPlanes p;
    for (int c = 0; c < 3; ++c) {
        p.base[c] = de265_get_image_plane(pic, c, &p.stride[c]);
        p.width[c] = size_t(de265_get_image_width(pic, c));
        p.height[c] = size_t(de265_get_image_height(pic, c));
    }
    p.chroma422 = de265_get_chroma_format(pic) == de265_chroma_422;
    return p;
}

// Maps one picture into its place in the planes (x0, y0 in luma samples, even),
// cut at the planes' edges. May work in place: every row is read before it is written.
template <typename T>
void placePicture(const CodedPlanes& in, const SampleMap& map, size_t x0, size_t y0, uint8_t* const out[3],
                  const size_t outW[3], const size_t outH[3], int threads) {
    const auto row = [&](int c, size_t y) {
        return reinterpret_cast<const T*>(in.base[c] + size_t(in.stride[c]) * std::min(y, in.height[c] - 1));
    };
    const size_t chromaRows = std::min(in.chroma422 ? (in.height[1] + 1) / 2 : in.height[1], outH[1] - y0 / 2);
    const size_t chromaCols = std::min(in.width[1], outW[1] - x0 / 2);
    const size_t lumaRows = std::min(in.height[0], outH[0] - y0), lumaCols = std::min(in.width[0], outW[0] - x0);
    // The coded chroma rows behind output chroma row y.
    const auto pair = [&](int c, size_t y, const T* rows[2]) {
        rows[0] = row(c, in.chroma422 ? 2 * y : y);
        rows[1] = row(c, in.chroma422 ? 2 * y + 1 : y);
    };
    if (map.convertsMatrix()) {
        splitRows(chromaRows, threads, [&](size_t from, size_t to) {
            std::vector<int32_t> cb(chromaCols), cr(chromaCols);
            for (size_t y = from; y < to; ++y) {
                const T *cbRows[2], *crRows[2];
                pair(1, y, cbRows);
                pair(2, y, crRows);
                const int count = int(std::min<size_t>(2, lumaRows > 2 * y ? lumaRows - 2 * y : 0));
                const T* const lumaIn[2] = {row(0, 2 * y), row(0, 2 * y + 1)};
                uint8_t* const lumaOut[2] = {out[0] + (y0 + 2 * y) * outW[0] + x0,
                                             out[0] + (y0 + 2 * y + 1) * outW[0] + x0};
                map.matrixRows(cbRows, crRows, chromaCols, lumaIn, count, lumaCols,
                               out[1] + (y0 / 2 + y) * outW[1] + x0 / 2, out[2] + (y0 / 2 + y) * outW[2] + x0 / 2,
                               lumaOut, cb.data(), cr.data());
            }
        });
        return;
    }
    splitRows(lumaRows, threads, [&](size_t from, size_t to) {
        for (size_t y = from; y < to; ++y) map.lumaRow(row(0, y), lumaCols, out[0] + (y0 + y) * outW[0] + x0);
    });
    for (int c = 1; c < 3; ++c)
        splitRows(chromaRows, threads, [&](size_t from, size_t to) {
            for (size_t y = from; y < to; ++y) {
                const T* rows[2];
                pair(c, y, rows);
                map.chromaRow(rows[0], rows[1], chromaCols, out[c] + (y0 / 2 + y) * outW[c] + x0 / 2);
            }
        });
}

// True when a tile's headers promise samples decodeTilesYcc420 takes.
bool tileTaken(const HeifTiles& layout, const HeifTiles::Tile& tile) {
    if (!tile.format) return false;
    const HevcSampleFormat& f = *tile.format;
    return (f.chromaFormat == 1 || f.chromaFormat == 2) && f.lumaBits >= 8 && f.lumaBits <= 12 &&
           f.chromaBits == f.lumaBits && f.width == layout.tileWidth && f.height == layout.tileHeight &&
           planesConvertible(tile.codedMatrix());
}

// A decoded picture's chroma as the SPS codes it: 1 4:2:0, 2 4:2:2, 3 4:4:4 (0 for others).
int chromaFormatOf(const de265_image* pic) {
    switch (de265_get_chroma_format(pic)) {
        case de265_chroma_420: return 1;
        case de265_chroma_422: return 2;
        case de265_chroma_444: return 3;
        default: return 0;
    }
}

// True when the decoded picture is what the tile's headers promised.
bool decodedAsPromised(const HeifTiles::Tile& tile, const de265_image* pic) {
    if (!pic) return false;
    const HevcSampleFormat& f = *tile.format;
    return chromaFormatOf(pic) == f.chromaFormat &&
           de265_get_image_width(pic, 0) == int(f.width) && de265_get_image_height(pic, 0) == int(f.height) &&
           de265_get_bits_per_pixel(pic, 0) == f.lumaBits && de265_get_bits_per_pixel(pic, 1) == f.lumaBits &&
           de265_get_bits_per_pixel(pic, 2) == f.lumaBits;
}

// An 8-bit 4:2:0 picture's planes copied into their place, cut at the edges.
void copyPlanes(const CodedPlanes& in, size_t x0, size_t y0, uint8_t* const out[3], const size_t outW[3],
                const size_t outH[3]) {
    for (int c = 0; c < 3; ++c) {
        const size_t px = c ? x0 / 2 : x0, py = c ? y0 / 2 : y0;
        const size_t cols = std::min(in.width[c], outW[c] - px), rows = std::min(in.height[c], outH[c] - py);
        for (size_t y = 0; y < rows; ++y)
            std::memcpy(out[c] + (py + y) * outW[c] + px, in.base[c] + size_t(in.stride[c]) * y, cols);
    }
}

// The container's turns and mirrorings applied to the three planes of a w x h
// picture, bands of rows shared out over `threads`.
void turnPlanes(const HeifTiles& layout, size_t w, size_t h, int threads, std::vector<uint8_t>& planes) {
    size_t pw = w, ph = h;
    for (const HeifTiles::Turn& turn : layout.turns) {
        std::vector<uint8_t> turned(planes.size());
        const size_t sizes[3][2] = {{pw, ph}, {(pw + 1) / 2, (ph + 1) / 2}, {(pw + 1) / 2, (ph + 1) / 2}};
        const size_t starts[3] = {0, pw * ph, pw * ph + sizes[1][0] * sizes[1][1]};
        // Luma in as many bands as threads, each chroma plane in half as many.
        const size_t lumaBands = size_t(std::max(1, threads)), chromaBands = std::max<size_t>(1, lumaBands / 2);
        parallelFor(lumaBands + 2 * chromaBands, threads, [&](size_t job) {
            const int c = job < lumaBands ? 0 : job < lumaBands + chromaBands ? 1 : 2;
            const size_t bands = c ? chromaBands : lumaBands, band = c ? (job - lumaBands) % chromaBands : job;
            const size_t rows = sizes[c][1], blocks = (rows + kTurnBlock - 1) / kTurnBlock;
            const size_t from = std::min(rows, blocks * band / bands * kTurnBlock);
            const size_t to = std::min(rows, blocks * (band + 1) / bands * kTurnBlock);
            turnPlaneRows(planes.data() + starts[c], sizes[c][0], rows, turn, turned.data() + starts[c], from, to);
        });
        planes.swap(turned);
        if (!turn.mirror && turn.value % 2 == 1) std::swap(pw, ph);
    }
}

}  // namespace

bool ownDecoderTakes(const HeifTiles& layout) {
    if (layout.tiles.empty()) return false;
    for (const HeifTiles::Tile& tile : layout.tiles)
        if (!tileTaken(layout, tile)) return false;
    return true;
}

bool decodeTilesYcc420(const HeifTiles& layout, int threads, std::vector<uint8_t>& planes) {
    if (!ownDecoderTakes(layout)) return false;
    // One picture gets every core inside libde265; a grid's tiles get one each.
    const bool single = layout.tiles.size() == 1;
    const int workers = single ? std::max(1, threads) : 0;
    const size_t w = layout.width, h = layout.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    planes.assign(w * h + 2 * cw * ch, 0);
    uint8_t* const out[3] = {planes.data(), planes.data() + w * h, planes.data() + w * h + cw * ch};
    const size_t outW[3] = {w, cw, cw}, outH[3] = {h, ch, ch};

    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mapsLock;
    // Made once for the tiles that share depth, range and BT.709-or-not.
    std::map<std::tuple<int, bool, bool>, std::unique_ptr<SampleMap>> maps;
    auto mapFor = [&](int bits, bool full, int matrix) -> const SampleMap& {
        std::lock_guard<std::mutex> lock(mapsLock);
        auto& m = maps[{bits, full, matrix == 1}];
        if (!m) m = std::make_unique<SampleMap>(bits, full, matrix);
        return *m;
    };
    auto work = [&] {
        for (size_t i = next++; i < layout.tiles.size() && !failed; i = next++) {
            const HeifTiles::Tile& tile = layout.tiles[i];
            HevcDecoder hevc(workers);
            if (!hevc.valid()) {
                failed = true;
                return;
            }
            for (const auto& ps : tile.parameterSets) hevc.pushNal(ps.data(), ps.size());
            const de265_image* pic =
                hevc.pushLengthPrefixed(tile.data.data(), tile.data.size(), tile.lengthBytes) ? hevc.decode() : nullptr;
            if (!decodedAsPromised(tile, pic)) {
                failed = true;
                return;
            }
            const CodedPlanes coded = planesOf(pic);
            const int bits = tile.format->lumaBits, matrix = tile.codedMatrix();
            const bool full = tile.codedFullRange();
            const size_t x0 = (i % layout.columns) * layout.tileWidth, y0 = (i / layout.columns) * layout.tileHeight;
            if (bits == 8 && !coded.chroma422 && jpegCompatibleYcc(matrix, full)) {
                copyPlanes(coded, x0, y0, out, outW, outH);
                continue;
            }
            // A grid's tiles already keep every core busy; a single picture's
            // rows are shared out.
            const int rowThreads = single ? std::max(1, threads) : 1;
            const SampleMap& map = mapFor(bits, full, matrix);
            if (bits == 8)
                placePicture<uint8_t>(coded, map, x0, y0, out, outW, outH, rowThreads);
            else
                placePicture<uint16_t>(coded, map, x0, y0, out, outW, outH, rowThreads);
        }
    };
    // One share per thread, each taking tiles until none is left.
    const size_t n = std::min(layout.tiles.size(), size_t(std::max(1, threads)));
    parallelFor(n, threads, [&](size_t) { work(); });
    if (failed) return false;

    turnPlanes(layout, w, h, threads, planes);
    return true;
}

bool withSinglePicture(const HeifTiles& tiles, int threads, const std::function<void(const DecodedPicture&)>& use) {
    if (tiles.tiles.size() != 1 || !tiles.turns.empty()) return false;
    const HeifTiles::Tile& tile = tiles.tiles[0];
    if (!tile.format) return false;
    const HevcSampleFormat& f = *tile.format;
    if (f.chromaFormat < 1 || f.chromaFormat > 3 || f.lumaBits < 8 || f.lumaBits > 12 || f.chromaBits != f.lumaBits ||
        f.width != tiles.width || f.height != tiles.height)
        return false;
    HevcDecoder hevc(std::max(1, threads));
    if (!hevc.valid()) return false;
    for (const auto& ps : tile.parameterSets) hevc.pushNal(ps.data(), ps.size());
    const de265_image* pic =
        hevc.pushLengthPrefixed(tile.data.data(), tile.data.size(), tile.lengthBytes) ? hevc.decode() : nullptr;
    if (!decodedAsPromised(tile, pic)) return false;
    DecodedPicture d;
    d.width = tiles.width;
    d.height = tiles.height;
    d.bits = f.lumaBits;
    d.chromaFormat = f.chromaFormat;
    d.matrix = tile.codedMatrix();
    d.fullRange = tile.codedFullRange();
    for (int c = 0; c < 3; ++c) {
        int stride = 0;
        d.plane[c] = de265_get_image_plane(pic, c, &stride);
        d.stride[c] = size_t(stride);
        if (!d.plane[c]) return false;
    }
    use(d);
    return true;
}

void makeJpegYcc420(uint8_t* planes, size_t w, size_t h, int matrix, bool fullRange, int threads) {
    if (jpegCompatibleYcc(matrix, fullRange)) return;
    const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    uint8_t* const out[3] = {planes, planes + w * h, planes + w * h + cw * ch};
    const size_t outW[3] = {w, cw, cw}, outH[3] = {h, ch, ch};
    CodedPlanes in;
    for (int c = 0; c < 3; ++c) {
        in.base[c] = out[c];
        in.stride[c] = int(outW[c]);
        in.width[c] = outW[c];
        in.height[c] = outH[c];
    }
    placePicture<uint8_t>(in, SampleMap(8, fullRange, matrix), 0, 0, out, outW, outH, threads);
}

}  // namespace conv
