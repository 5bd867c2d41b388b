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

}  // namespace

Image loadBmp(const InputFile& in, const LoadOptions& opt) {
    const auto& d = in.bytes;
    auto bad = [&](const char* why) { inputError(in.path, std::string("not a readable BMP file: ") + why); };
    if (d.size() < 26) bad("too short");
    const uint32_t dataOff = le32(&d[10]);
    const uint32_t hs = le32(&d[14]);
    if (14 + size_t(hs) > d.size()) bad("truncated header");
    int64_t w, h;
    uint32_t bpp, compression = 0, colours = 0;
    if (hs == 12) {
        w = le16(&d[18]);
        h = int16_t(le16(&d[20]));
        bpp = le16(&d[24]);
    } else {
        if (hs < 40) bad("unknown header");
        w = int32_t(le32(&d[18]));
        h = int32_t(le32(&d[22]));
        bpp = le16(&d[28]);
        compression = le32(&d[30]);
        colours = le32(&d[46]);
    }
    const bool topDown = h < 0;
    if (topDown) h = -h;
    if (w <= 0 || h <= 0) bad("no pixels");
    checkPixelLimit(uint64_t(w), uint64_t(h), opt, in.path);

    MaskChannel r, g, b, a;
    bool haveAlphaMask = false;
    if (bpp == 16 || bpp == 32) {
        if (compression == 3 || compression == 6) {  // BI_BITFIELDS, BI_ALPHABITFIELDS
            // Masks follow a 40-byte header, or sit inside a V4/V5 header.
            if (14 + 40 + 12 > d.size()) bad("truncated masks");
            r = MaskChannel(le32(&d[54]));
            g = MaskChannel(le32(&d[58]));
            b = MaskChannel(le32(&d[62]));
            if ((hs >= 56 || compression == 6) && 14 + 56 <= d.size()) {
                a = MaskChannel(le32(&d[66]));
                haveAlphaMask = a.mask != 0;
            }
        } else if (compression == 0) {
            if (bpp == 16) { r = MaskChannel(0x7C00); g = MaskChannel(0x03E0); b = MaskChannel(0x001F); }
            else { r = MaskChannel(0xFF0000); g = MaskChannel(0xFF00); b = MaskChannel(0xFF); a = MaskChannel(0xFF000000u); }
        } else {
            bad("unsupported compression");
        }
    } else if (bpp == 24) {
        if (compression != 0) bad("unsupported compression");
    } else if (bpp == 1 || bpp == 4 || bpp == 8) {
        if (!(compression == 0 || (compression == 1 && bpp == 8) || (compression == 2 && bpp == 4)))
            bad("unsupported compression");
    } else {
        bad("unsupported bit depth");
    }

    // Palette (entries of 4 bytes, or 3 in the old OS/2 header).
    std::vector<uint8_t> pal;
    const size_t entry = hs == 12 ? 3 : 4;
    if (bpp <= 8) {
        size_t n = colours ? colours : (1u << bpp);
        if (n > 256) n = 256;
        size_t at = 14 + size_t(hs) + (compression == 3 && hs == 40 ? 12 : 0);
        if (at + n * entry > d.size()) bad("truncated palette");
        pal.assign(256 * 3, 0);
        for (size_t i = 0; i < n; ++i) {
            pal[i * 3 + 0] = d[at + i * entry + 2];
            pal[i * 3 + 1] = d[at + i * entry + 1];
            pal[i * 3 + 2] = d[at + i * entry + 0];
        }
    }
    if (dataOff >= d.size()) bad("no pixel data");

    // Indexes (palette formats) are unpacked first, RLE included.
    const uint32_t W = uint32_t(w), H = uint32_t(h);
    Image img;
    const bool maybeAlpha = bpp == 32 && (haveAlphaMask || compression == 0);
    img.allocate(W, H, maybeAlpha ? 4 : 3, 8);
    auto put = [&](uint32_t x, uint32_t fileRow, uint8_t R, uint8_t G, uint8_t B, uint8_t A) {
        uint32_t y = topDown ? fileRow : H - 1 - fileRow;
        uint8_t* p = &img.px8[(size_t(y) * W + x) * img.channels];
        p[0] = R; p[1] = G; p[2] = B;
        if (img.channels == 4) p[3] = A;
    };
    const uint8_t* px = d.data() + dataOff;
    const size_t avail = d.size() - dataOff;
    if (compression == 1 || compression == 2) {
        std::vector<uint8_t> idx(size_t(W) * H, 0);
        size_t i = 0;
        uint32_t x = 0, y = 0;
        while (i + 1 < avail && y < H) {
            uint8_t n = px[i], v = px[i + 1];
            i += 2;
            if (n) {
                for (uint32_t k = 0; k < n && x < W; ++k, ++x)
                    idx[size_t(y) * W + x] = compression == 1 ? v : ((k & 1) ? (v & 15) : (v >> 4));
            } else if (v == 0) { x = 0; ++y; }
            else if (v == 1) break;
            else if (v == 2) {
                if (i + 1 >= avail) break;
                x += px[i]; y += px[i + 1]; i += 2;
            } else {
                const size_t bytes = compression == 1 ? v : (v + 1) / 2;
                if (i + bytes > avail) bad("truncated pixel data");
                for (uint32_t k = 0; k < v && x < W; ++k, ++x)
                    idx[size_t(y) * W + x] = compression == 1 ? px[i + k] : ((k & 1) ? (px[i + k / 2] & 15) : (px[i + k / 2] >> 4));
                i += (bytes + 1) & ~size_t(1);
            }
        }
        for (uint32_t yy = 0; yy < H; ++yy)
            for (uint32_t xx = 0; xx < W; ++xx) {
                const uint8_t* c = &pal[idx[size_t(yy) * W + xx] * 3];
                put(xx, yy, c[0], c[1], c[2], 255);
            }
        return img;
    }
    const size_t stride = ((size_t(W) * bpp + 31) / 32) * 4;
    if (stride * H > avail) bad("truncated pixel data");
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
                uint8_t A = a.mask ? a.get(v) : 255;
                if (A) anyAlpha = true;
                put(x, row, r.get(v), g.get(v), b.get(v), A);
            }
        }
    }
    // Plain 32-bit files mostly leave the fourth byte at zero: then it is padding.
    if (img.channels == 4 && !haveAlphaMask && !anyAlpha)
        for (size_t i = 3; i < img.px8.size(); i += 4) img.px8[i] = 255;
    return img;
}

}  // namespace conv
