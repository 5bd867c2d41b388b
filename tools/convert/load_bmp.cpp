// BMP input, read by hand: 1/4/8-bit palette, 16/24/32-bit, bottom-up or
// top-down, BI_RGB and BI_BITFIELDS, RLE4/RLE8; alpha from a V4/V5 alpha mask
// or from 32-bit pixels whose fourth bytes are not all zero.
#include <cstring>

#include "tools/convert/bytes.h"
#include "tools/convert/loaders.h"

namespace conv {

namespace {

// Extracts a channel given by a bit mask and scales it to 0..255.
struct MaskChannel {
    uint32_t mask = 0;
    int shift = 0, bits = 0;
    explicit MaskChannel(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        while (bits < 32 - shift && ((m >> (shift + bits)) & 1)) ++bits;
    }
    uint8_t get(uint32_t v) const {
        if (!mask) return 255;
        uint32_t x = (v & mask) >> shift;
        uint32_t maxv = bits >= 32 ? 0xffffffffu : (1u << bits) - 1;
        return uint8_t((uint64_t(x) * 255 + maxv / 2) / maxv);
    }
};

[[noreturn]] void bad(const InputFile& in, const char* why) {
    inputError(in.path, std::string("not a readable BMP file: ") + why);
}

// BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS, BI_ALPHABITFIELDS.
constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kAlphaBitfields = 6;

struct Header {
    uint32_t dataOff = 0, size = 0;  // where the pixels start; the info header's size
    uint32_t width = 0, height = 0, bpp = 0, compression = kRgb, colours = 0;
    bool topDown = false;
};

Header readHeader(const InputFile& in, const LoadOptions& opt) {
    const auto& d = in.bytes;
    if (d.size() < 26) bad(in, "too short");
    Header hd;
    hd.dataOff = le32(&d[10]);
    hd.size = le32(&d[14]);
    if (14 + size_t(hd.size) > d.size()) bad(in, "truncated header");
    int64_t w, h;
    if (hd.size == 12) {
        w = le16(&d[18]);
        h = int16_t(le16(&d[20]));
        hd.bpp = le16(&d[24]);
    } else {
        if (hd.size < 40) bad(in, "unknown header");
        w = int32_t(le32(&d[18]));
        h = int32_t(le32(&d[22]));
        hd.bpp = le16(&d[28]);
        hd.compression = le32(&d[30]);
        hd.colours = le32(&d[46]);
    }
    hd.topDown = h < 0;
    if (hd.topDown) h = -h;
    if (w <= 0 || h <= 0) bad(in, "no pixels");
    checkPixelLimit(uint64_t(w), uint64_t(h), opt, in.path);
    hd.width = uint32_t(w);
    hd.height = uint32_t(h);
    return hd;
}

struct Masks {
    MaskChannel r, g, b, a;
    bool haveAlphaMask = false;
};

// The channel masks of 16- and 32-bit pixels; refuses what no BMP reader takes.
Masks readMasks(const InputFile& in, const Header& hd) {
    const auto& d = in.bytes;
    const uint32_t bpp = hd.bpp, compression = hd.compression;
    Masks m;
    if (bpp == 16 || bpp == 32) {
        if (compression == kBitfields || compression == kAlphaBitfields) {
            // Masks follow a 40-byte header, or sit inside a V4/V5 header.
            if (14 + 40 + 12 > d.size()) bad(in, "truncated masks");
            m.r = MaskChannel(le32(&d[54]));
            m.g = MaskChannel(le32(&d[58]));
            m.b = MaskChannel(le32(&d[62]));
            if ((hd.size >= 56 || compression == kAlphaBitfields) && 14 + 56 <= d.size()) {
                m.a = MaskChannel(le32(&d[66]));
                m.haveAlphaMask = m.a.mask != 0;
            }
        } else if (compression == kRgb) {
            if (bpp == 16) { m.r = MaskChannel(0x7C00); m.g = MaskChannel(0x03E0); m.b = MaskChannel(0x001F); }
            else { m.r = MaskChannel(0xFF0000); m.g = MaskChannel(0xFF00); m.b = MaskChannel(0xFF); m.a = MaskChannel(0xFF000000u); }
        } else {
            bad(in, "unsupported compression");
        }
    } else if (bpp == 24) {
        if (compression != kRgb) bad(in, "unsupported compression");
    } else if (bpp == 1 || bpp == 4 || bpp == 8) {
        if (!(compression == kRgb || (compression == kRle8 && bpp == 8) || (compression == kRle4 && bpp == 4)))
            bad(in, "unsupported compression");
    } else {
        bad(in, "unsupported bit depth");
    }
    return m;
}

// The palette as 256 RGB triples (entries of 4 bytes, or 3 in the old OS/2
// header); empty above 8 bits.
std::vector<uint8_t> readPalette(const InputFile& in, const Header& hd) {
    const auto& d = in.bytes;
    std::vector<uint8_t> pal;
    if (hd.bpp > 8) return pal;
    const size_t entry = hd.size == 12 ? 3 : 4;
    size_t n = hd.colours ? hd.colours : (1u << hd.bpp);
    if (n > 256) n = 256;
    const size_t at = 14 + size_t(hd.size) + (hd.compression == kBitfields && hd.size == 40 ? 12 : 0);
    if (at + n * entry > d.size()) bad(in, "truncated palette");
    pal.assign(256 * 3, 0);
    for (size_t i = 0; i < n; ++i) {
        pal[i * 3 + 0] = d[at + i * entry + 2];
        pal[i * 3 + 1] = d[at + i * entry + 1];
        pal[i * 3 + 2] = d[at + i * entry + 0];
    }
    return pal;
}

// RLE8 or RLE4 data unpacked into one palette index a pixel, in file row order;
// what the data leaves out stays index 0.
std::vector<uint8_t> unpackRle(const InputFile& in, const Header& hd, const uint8_t* px, size_t avail) {
    const uint32_t W = hd.width, H = hd.height;
    const bool rle8 = hd.compression == kRle8;
    std::vector<uint8_t> idx(size_t(W) * H, 0);
    size_t i = 0;
    uint32_t x = 0, y = 0;
    while (i + 1 < avail && y < H) {
        uint8_t n = px[i], v = px[i + 1];
        i += 2;
        if (n) {
            for (uint32_t k = 0; k < n && x < W; ++k, ++x)
                idx[size_t(y) * W + x] = rle8 ? v : ((k & 1) ? (v & 15) : (v >> 4));
        } else if (v == 0) { x = 0; ++y; }
        else if (v == 1) break;
        else if (v == 2) {
            if (i + 1 >= avail) break;
            x += px[i]; y += px[i + 1]; i += 2;
        } else {
            const size_t bytes = rle8 ? v : (v + 1) / 2;
            if (i + bytes > avail) bad(in, "truncated pixel data");
            for (uint32_t k = 0; k < v && x < W; ++k, ++x)
                idx[size_t(y) * W + x] = rle8 ? px[i + k] : ((k & 1) ? (px[i + k / 2] & 15) : (px[i + k / 2] >> 4));
            i += (bytes + 1) & ~size_t(1);
        }
    }
    return idx;
}

// Writes pixels given in file row order into the picture, top row first.
class RowPutter {
public:
    RowPutter(Image& img, bool topDown) : img_(img), topDown_(topDown) {}
    void operator()(uint32_t x, uint32_t fileRow, uint8_t R, uint8_t G, uint8_t B, uint8_t A) const {
        const uint32_t y = topDown_ ? fileRow : img_.height - 1 - fileRow;
        uint8_t* p = &img_.px8[(size_t(y) * img_.width + x) * img_.channels];
        p[0] = R; p[1] = G; p[2] = B;
        if (img_.channels == 4) p[3] = A;
    }

private:
    Image& img_;
    bool topDown_;
};

// Uncompressed rows (and bit fields) into the picture; true when any pixel
// has a non-zero alpha.
bool readRows(const InputFile& in, const Header& hd, const Masks& m, const std::vector<uint8_t>& pal,
              const uint8_t* px, size_t avail, const RowPutter& put) {
    const uint32_t W = hd.width, H = hd.height, bpp = hd.bpp;
    const size_t stride = ((size_t(W) * bpp + 31) / 32) * 4;
    if (stride * H > avail) bad(in, "truncated pixel data");
    bool anyAlpha = false;
    for (uint32_t row = 0; row < H; ++row) {
        const uint8_t* s = px + stride * row;
        for (uint32_t x = 0; x < W; ++x) {
            if (bpp <= 8) {
                uint32_t bit = x * bpp;
                uint32_t v = (s[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                const uint8_t* c = &pal[v * 3];
                put(x, row, c[0], c[1], c[2], 255);
            } else if (bpp == 24) {
                put(x, row, s[x * 3 + 2], s[x * 3 + 1], s[x * 3], 255);
            } else {
                uint32_t v = bpp == 16 ? le16(s + x * 2) : le32(s + x * 4);
                uint8_t A = m.a.mask ? m.a.get(v) : 255;
                if (A) anyAlpha = true;
                put(x, row, m.r.get(v), m.g.get(v), m.b.get(v), A);
            }
        }
    }
    return anyAlpha;
}

}  // namespace

Image loadBmp(const InputFile& in, const LoadOptions& opt) {
    const Header hd = readHeader(in, opt);
    const Masks masks = readMasks(in, hd);
    const std::vector<uint8_t> pal = readPalette(in, hd);
    const auto& d = in.bytes;
    if (hd.dataOff >= d.size()) bad(in, "no pixel data");

    Image img;
    const bool maybeAlpha = hd.bpp == 32 && (masks.haveAlphaMask || hd.compression == kRgb);
    img.allocate(hd.width, hd.height, maybeAlpha ? 4 : 3, 8);
    const RowPutter put(img, hd.topDown);
    const uint8_t* px = d.data() + hd.dataOff;
    const size_t avail = d.size() - hd.dataOff;
    if (hd.compression == kRle8 || hd.compression == kRle4) {
        const std::vector<uint8_t> idx = unpackRle(in, hd, px, avail);
        for (uint32_t y = 0; y < hd.height; ++y)
            for (uint32_t x = 0; x < hd.width; ++x) {
                const uint8_t* c = &pal[idx[size_t(y) * hd.width + x] * 3];
                put(x, y, c[0], c[1], c[2], 255);
            }
        return img;
    }
    const bool anyAlpha = readRows(in, hd, masks, pal, px, avail, put);
    // Plain 32-bit files mostly leave the fourth byte at zero: then it is padding.
    if (img.channels == 4 && !masks.haveAlphaMask && !anyAlpha)
        for (size_t i = 3; i < img.px8.size(); i += 4) img.px8[i] = 255;
    return img;
}

}  // namespace conv
