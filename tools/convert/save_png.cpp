// PNG through libpng for the chunks, with the image data compressed by our own
// code: rows filtered with one filter (chosen per picture, see png_effort.h) and
// deflated in independent slices on every core, each slice primed with the
// 32 KiB before it, so the result is one ordinary zlib stream (as pigz does).
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "tools/convert/bytes.h"
#include "tools/convert/deflate_stream.h"
#include "tools/convert/parallel.h"
#include "tools/convert/png_effort.h"
#include "tools/convert/png_structs.h"
#include "tools/convert/savers.h"

namespace conv {

namespace {

// libpng reports errors by longjmp, which must never leave a C++ frame with
// something to destroy, nor a catch handler. So every libpng call that can fail
// is made from a shim below, whose frame holds the setjmp and nothing with a
// destructor; the callbacks that libpng jumps out of hold nothing either. What
// went wrong is kept in WriteCtx and turned into an exception once libpng is
// left behind.
struct WriteCtx {
    OutFile* out = nullptr;
    std::exception_ptr writeError;  // from OutFile, rethrown as it was
    char message[200] = {};         // libpng's own complaint
};

// OutFile::write, with its exception kept instead of thrown.
bool writeOut(WriteCtx& ctx, const void* data, size_t len) noexcept {
    try {
        ctx.out->write(data, len);
        return true;
    } catch (...) {
        ctx.writeError = std::current_exception();
        return false;
    }
}

void onWrite(png_structp png, png_bytep data, png_size_t len) {
    if (!writeOut(*static_cast<WriteCtx*>(png_get_io_ptr(png)), data, len)) png_error(png, "write failed");
}
void onFlush(png_structp) {}
// What goes before the pixels, as plain data for the shim.
struct PngHead {
    uint32_t width, height;
    int bits, colourType;
    const uint8_t* icc;
    size_t iccSize;
    const uint8_t* exif;
    size_t exifSize;
    const char* xmp;  // NUL-terminated
    size_t xmpSize;
};

// Shim: IHDR, iCCP, eXIf and the XMP iTXt, written. False when libpng failed.
bool pngWriteHead(png_structp png, png_infop info, const PngHead* h, WriteCtx* ctx) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, ctx, onWrite, onFlush);
    png_set_IHDR(png, info, h->width, h->height, h->bits, h->colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (h->iccSize)
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, h->icc, png_uint_32(h->iccSize));
    if (h->exifSize) png_set_eXIf_1(png, info, png_uint_32(h->exifSize), const_cast<png_bytep>(h->exif));
    png_text text{};
    if (h->xmpSize) {
        text.compression = PNG_ITXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("XML:com.adobe.xmp");
        text.text = const_cast<char*>(h->xmp);
        text.itxt_length = h->xmpSize;
        text.lang = const_cast<char*>("");
        text.lang_key = const_cast<char*>("");
        png_set_text(png, info, &text, 1);
    }
    png_write_info(png, info);
    return true;
}

// Shim: one chunk written. False when libpng failed.
bool pngWriteChunk(png_structp png, const char* type, const uint8_t* data, size_t len) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_chunk(png, reinterpret_cast<png_const_bytep>(type), data, len);
    return true;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// The picture's rows as PNG stores them: big-endian samples.
class Rows {
public:
    Rows(const Image& img) : img_(img), bytes_(img.rowSamples() * (img.bits / 8)) {}
    size_t bytes() const { return bytes_; }
    // Copies row y (big-endian) into out.
    void get(uint32_t y, uint8_t* out) const {
        if (img_.bits == 8) {
            std::memcpy(out, img_.px8.data() + bytes_ * y, bytes_);
            return;
        }
        const uint16_t* s = img_.px16.data() + img_.rowSamples() * y;
        for (size_t i = 0; i < img_.rowSamples(); ++i) {
            out[2 * i] = uint8_t(s[i] >> 8);
            out[2 * i + 1] = uint8_t(s[i]);
        }
    }

private:
    const Image& img_;
    size_t bytes_;
};

constexpr int kAdaptive = 5;

// Filters rows [y0, y1) with the given PNG filter type (1..4, or kAdaptive for
// a choice per row) into out, each row preceded by its filter byte.
void filterRows(const Rows& rows, uint32_t y0, uint32_t y1, int type, size_t bpp, std::vector<uint8_t>& out) {
    const size_t n = rows.bytes();
    std::vector<uint8_t> prev(n, 0), cur(n);
    if (y0 > 0) rows.get(y0 - 1, prev.data());
    out.resize(size_t(y1 - y0) * (n + 1));
    uint8_t* d = out.data();
    for (uint32_t y = y0; y < y1; ++y) {
        rows.get(y, cur.data());
        int t = type;
        if (t == kAdaptive) {
            // Per row, the filter whose output has the smallest sum of absolute
            // values (as signed bytes), the usual heuristic.
            uint64_t best = UINT64_MAX;
            for (int k = 0; k <= 4; ++k) {
                uint64_t sum = 0;
                for (size_t i = 0; i < n; ++i) {
                    const int x = cur[i], a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
                    const int v = k == 0 ? x : k == 1 ? x - a : k == 2 ? x - b : k == 3 ? x - ((a + b) >> 1) : x - paeth(a, b, c);
                    sum += uint64_t(std::abs(int(int8_t(uint8_t(v)))));
                }
                if (sum < best) { best = sum; t = k; }
            }
        }
        *d++ = uint8_t(t);
        for (size_t i = 0; i < n; ++i) {
            const int x = cur[i], a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
            int v;
            switch (t) {
                case 0: v = x; break;
                case 1: v = x - a; break;
                case 2: v = x - b; break;
                case 3: v = x - ((a + b) >> 1); break;
                default: v = x - paeth(a, b, c); break;
            }
            *d++ = uint8_t(v);
        }
        prev.swap(cur);
    }
}

// A slice's error when memory ran out: over the limit (exit 4), not an output fault.
const char* const kNoMemory = "out of memory";

struct Slice {
    uint32_t y0, y1;
    std::vector<uint8_t> deflated;
    uLong adler = 1;
    size_t inputBytes = 0;
    std::string error;
};

// Deflates one slice as raw deflate blocks. Every slice but the last ends in
// a sync flush (byte aligned, not final), so the slices join into one stream.
void deflateSlice(const Rows& rows, Slice& s, bool last, int type, size_t bpp, const PngEffort& effort) {
    std::vector<uint8_t> input, dict;
    filterRows(rows, s.y0, s.y1, type, bpp, input);
    s.inputBytes = input.size();
    s.adler = adler32(1, input.data(), uInt(input.size()));
    if (s.y0 > 0) {
        // The previous rows' filtered bytes, up to 32 KiB, prime the window.
        const uint32_t need = uint32_t(std::min<size_t>(s.y0, 32768 / (rows.bytes() + 1) + 1));
        filterRows(rows, s.y0 - need, s.y0, type, bpp, dict);
        if (dict.size() > 32768) dict.erase(dict.begin(), dict.end() - 32768);
    }
    DeflateStream stream(effort.zlibLevel, -15, 9, effort.strategy);
    if (!stream.ok()) {
        s.error = kNoMemory;  // zlib starts unless memory runs out
        return;
    }
    z_stream& z = *stream.get();
    if (!dict.empty()) deflateSetDictionary(&z, dict.data(), uInt(dict.size()));
    s.deflated.resize(deflateBound(&z, uLong(input.size())) + 64);
    z.next_in = input.data();
    z.avail_in = uInt(input.size());
    z.next_out = s.deflated.data();
    z.avail_out = uInt(s.deflated.size());
    const int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
    if ((last && rc != Z_STREAM_END) || (!last && rc != Z_OK) || z.avail_in != 0) s.error = "zlib failed";
    s.deflated.resize(z.total_out);
}

// Everything but the pixels through libpng (IHDR, iCCP, eXIf, the XMP iTXt),
// then the deflated slices as IDAT chunks and IEND.
void writeChunks(const Image& img, OutFile& out, std::vector<Slice>& slices, const uLong adler, int zlibLevel) {
    WriteCtx ctx;
    ctx.out = &out;
    PngWriter writer(ctx);
    if (!writer.valid()) throw std::bad_alloc();
    const std::string xmp(img.xmp.begin(), img.xmp.end());  // libpng takes the text's length from its NUL
    auto fail = [&]() -> ConvertError {
        if (ctx.writeError) std::rethrow_exception(ctx.writeError);
        return ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": " + ctx.message};
    };
    const PngHead head{img.width,
                       img.height,
                       img.bits,
                       img.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                       img.icc.data(),
                       img.icc.size(),
                       img.exif.data(),
                       img.exif.size(),
                       xmp.c_str(),
                       xmp.size()};
    if (!pngWriteHead(writer.png(), writer.info(), &head, &ctx)) throw fail();
    auto chunk = [&](const char* type, const uint8_t* data, size_t len) {
        if (!pngWriteChunk(writer.png(), type, data, len)) throw fail();
    };

    // The zlib stream: header (with the level hint), the slices, the Adler-32.
    const uint8_t hint = zlibLevel >= 7 ? 3 : zlibLevel >= 6 ? 2 : zlibLevel >= 2 ? 1 : 0;
    uint8_t zhead[2] = {0x78, uint8_t(hint << 6)};
    zhead[1] = uint8_t(zhead[1] + (31 - (zhead[0] * 256 + zhead[1]) % 31) % 31);
    std::vector<uint8_t> idat(zhead, zhead + 2);
    constexpr size_t kChunk = 1 << 20;
    auto flush = [&](bool all) {
        size_t at = 0;
        while (idat.size() - at >= kChunk || (all && at < idat.size())) {
            const size_t n = std::min(kChunk, idat.size() - at);
            chunk("IDAT", idat.data() + at, n);
            at += n;
        }
        idat.erase(idat.begin(), idat.begin() + at);
    };
    for (Slice& s : slices) {
        idat.insert(idat.end(), s.deflated.begin(), s.deflated.end());
        std::vector<uint8_t>().swap(s.deflated);
        flush(false);
    }
    appendBe32(idat, uint32_t(adler));
    flush(true);
    chunk("IEND", nullptr, 0);
}

}  // namespace

void savePng(const Image& img, const SaveOptions& opt, OutFile& out) {
    const PngEffort effort = pngEffort(opt.quality, opt.qualityGiven);
    const size_t bpp = size_t(img.channels) * (img.bits / 8);
    const Rows rows(img);

    // Slices of about 1 MiB of input, at least one per thread.
    const uint32_t h = img.height;
    const uint32_t perSlice = uint32_t(std::clamp<size_t>((1u << 20) / (rows.bytes() + 1), 1, h));
    auto compress = [&](int type) {
        std::vector<Slice> slices;
        for (uint32_t y = 0; y < h; y += perSlice) slices.push_back(Slice{y, std::min(h, y + perSlice), {}, 1, 0, {}});
        parallelFor(slices.size(), opt.threads, [&](size_t i) {
            deflateSlice(rows, slices[i], i + 1 == slices.size(), type, bpp, effort);
        });
        for (const Slice& s : slices)
            if (!s.error.empty())
                throw ConvertError{s.error == kNoMemory ? kExitLimit : kExitOutput,
                                   toUtf8(out.finalPath()) + ": PNG compression failed (" + s.error + ")"};
        return slices;
    };
    auto total = [](const std::vector<Slice>& v) {
        size_t n = 0;
        for (const Slice& s : v) n += s.deflated.size();
        return n;
    };
    const int mask = choosePngFilter(img);
    const int type = mask == PNG_FILTER_SUB ? 1 : mask == PNG_FILTER_UP ? 2 : mask == PNG_FILTER_AVG ? 3 : 4;
    std::vector<Slice> slices = compress(type);
    if (effort.tryAllFilters) {
        // The greatest effort also tries a filter chosen per row, and keeps
        // whichever came out smaller (per-row choice loses on some pictures).
        std::vector<Slice> adaptive = compress(kAdaptive);
        if (total(adaptive) < total(slices)) slices.swap(adaptive);
    }
    uLong adler = 1;
    for (const Slice& s : slices) adler = adler32_combine(adler, s.adler, z_off_t(s.inputBytes));
    writeChunks(img, out, slices, adler, effort.zlibLevel);
}

}  // namespace conv
