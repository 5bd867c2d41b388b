#include "tools/convert/save_tiff.h"

#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace conv {

namespace {

constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagGpsIfd = 34853;
constexpr uint16_t kTagInteropIfd = 40965;
constexpr uint16_t kTagPixelXDimension = 40962;  // sizes of a compressed picture: meaningless
constexpr uint16_t kTagPixelYDimension = 40963;  // in TIFF, whose own tags give the size
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

class Reader {
public:
    Reader(const std::vector<uint8_t>& b, bool be) : b_(b), be_(be) {}
    bool has(uint64_t off, uint64_t n) const { return off <= b_.size() && n <= b_.size() - off; }
    uint16_t u16(size_t off) const {
        return be_ ? uint16_t(b_[off] << 8 | b_[off + 1]) : uint16_t(b_[off + 1] << 8 | b_[off]);
    }
    uint32_t u32(size_t off) const {
        return be_ ? uint32_t(b_[off]) << 24 | uint32_t(b_[off + 1]) << 16 | uint32_t(b_[off + 2]) << 8 | b_[off + 3]
                   : uint32_t(b_[off + 3]) << 24 | uint32_t(b_[off + 2]) << 16 | uint32_t(b_[off + 1]) << 8 | b_[off];
    }
    const uint8_t* at(size_t off) const { return b_.data() + off; }

private:
    const std::vector<uint8_t>& b_;
    bool be_;
};

std::vector<TiffEntry> readIfd(const Reader& r, uint32_t off) {
    std::vector<TiffEntry> out;
    if (off == 0 || !r.has(off, 2)) return out;
    const uint32_t n = r.u16(off);
    if (n > kMaxEntries || !r.has(off + 2, uint64_t(n) * 12)) return out;
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
        if (!r.has(valueOff, bytes)) continue;
        t.value.assign(r.at(valueOff), r.at(valueOff) + bytes);
        out.push_back(std::move(t));
    }
    return out;
}

const TiffEntry* find(const std::vector<TiffEntry>& ifd, uint16_t tag) {
    for (const auto& e : ifd)
        if (e.tag == tag) return &e;
    return nullptr;
}

uint32_t pointerValue(const TiffEntry* e, bool be) {
    if (!e || (e->type != 4 && e->type != 13) || e->count != 1) return 0;
    const uint8_t* v = e->value.data();
    return be ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3]
              : uint32_t(v[3]) << 24 | uint32_t(v[2]) << 16 | uint32_t(v[1]) << 8 | v[0];
}

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x, bool be) {
    v[at] = uint8_t(be ? x >> 8 : x);
    v[at + 1] = uint8_t(be ? x : x >> 8);
}
void put32(std::vector<uint8_t>& v, size_t at, uint32_t x, bool be) {
    for (int i = 0; i < 4; ++i) v[at + size_t(i)] = uint8_t(x >> (be ? 24 - 8 * i : 8 * i));
}

// The output file for libtiff: its procedures must not throw, so an OutFile
// error is kept here and rethrown once libtiff has given up.
struct TiffSink {
    OutFile* out;
    std::optional<ConvertError> error;
    std::string message;  // libtiff's own complaint
};

tmsize_t readProc(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffSink*>(h);
    try {
        return tmsize_t(s->out->read(buf, size_t(n)));
    } catch (const ConvertError& e) {
        if (!s->error) s->error = e;
        return -1;
    }
}
tmsize_t writeProc(thandle_t h, void* buf, tmsize_t n) {
    auto* s = static_cast<TiffSink*>(h);
    try {
        s->out->write(buf, size_t(n));
        return n;
    } catch (const ConvertError& e) {
        if (!s->error) s->error = e;
        return -1;
    }
}
toff_t seekProc(thandle_t h, toff_t off, int whence) {
    auto* s = static_cast<TiffSink*>(h);
    try {
        s->out->seek(int64_t(off), whence);
        return toff_t(s->out->tell());
    } catch (const ConvertError& e) {
        if (!s->error) s->error = e;
        return toff_t(-1);
    }
}
int closeProc(thandle_t) { return 0; }  // the OutFile is closed by its owner
toff_t sizeProc(thandle_t h) {
    auto* s = static_cast<TiffSink*>(h);
    try {
        return toff_t(s->out->size());
    } catch (const ConvertError& e) {
        if (!s->error) s->error = e;
        return 0;
    }
}
int mapProc(thandle_t, void**, toff_t*) { return 0; }
void unmapProc(thandle_t, void*, toff_t) {}

int onTiffError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* s = static_cast<TiffSink*>(user);
    if (s->message.empty()) {
        char buf[512];
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        s->message = std::string(module ? module : "libtiff") + ": " + buf;
    }
    return 1;
}
int onTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

class TiffHandle {
public:
    TiffHandle(TiffSink& sink) : sink_(sink) {
        TIFFOpenOptions* o = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(o, onTiffError, &sink);
        TIFFOpenOptionsSetWarningHandlerExtR(o, onTiffWarning, &sink);
        const std::string name = toUtf8(sink.out->finalPath());
        tif_ = TIFFClientOpenExt(name.c_str(), "w", &sink, readProc, writeProc, seekProc, closeProc, sizeProc,
                                 mapProc, unmapProc, o);
        TIFFOpenOptionsFree(o);
        if (!tif_) fail();
    }
    ~TiffHandle() {
        if (tif_) TIFFClose(tif_);
    }
    TIFF* get() { return tif_; }
    void check(bool ok) {
        if (!ok || sink_.error) fail();
    }
    void close() {
        TIFFClose(tif_);
        tif_ = nullptr;
        if (sink_.error || !sink_.message.empty()) fail();
    }
    [[noreturn]] void fail() {
        if (sink_.error) throw *sink_.error;
        throw ConvertError{kExitOutput, toUtf8(sink_.out->finalPath()) + ": cannot write the TIFF file" +
                                            (sink_.message.empty() ? std::string() : " (" + sink_.message + ")")};
    }

private:
    TiffSink& sink_;
    TIFF* tif_ = nullptr;
};

std::string asciiValue(const TiffEntry& e) {
    std::string s(e.value.begin(), e.value.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s.substr(0, s.find('\0'));
}

// Horizontal differencing of one row in place, right to left (TIFF predictor 2).
template <typename T>
void differenceRow(T* row, uint32_t width, int channels) {
    for (size_t i = size_t(width) * channels; i-- > size_t(channels);) row[i] = T(row[i] - row[i - size_t(channels)]);
}

// Strips are predicted and deflated here, several at once, then handed to
// libtiff as they are: libtiff's own codec works one strip at a time.
class StripCompressor {
public:
    StripCompressor(const Image& img, uint32_t rowsPerStrip, TiffEffort effort, int threads, std::string name)
        : img_(img), rowsPerStrip_(rowsPerStrip), effort_(effort), threads_(std::clamp(threads, 1, 16)),
          name_(std::move(name)) {}

    void write(TiffHandle& tif) {
        const uint32_t strips = (img_.height + rowsPerStrip_ - 1) / rowsPerStrip_;
        const uint32_t batch = uint32_t(threads_) * 4;
        std::vector<std::vector<uint8_t>> out(batch);
        std::vector<uint8_t> failed(batch, 0);
        for (uint32_t first = 0; first < strips; first += batch) {
            const uint32_t count = std::min(batch, strips - first);
            auto work = [&](uint32_t t) {
                std::vector<uint8_t> raw;
                for (uint32_t k = t; k < count; k += uint32_t(threads_))
                    failed[k] = !compress(first + k, raw, out[k]);
            };
            std::vector<std::thread> pool;
            for (int t = 1; t < threads_ && uint32_t(t) < count; ++t) pool.emplace_back(work, uint32_t(t));
            work(0);
            for (auto& th : pool) th.join();
            for (uint32_t k = 0; k < count; ++k) {
                if (failed[k]) throw ConvertError{kExitOutput, name_ + ": out of memory compressing the TIFF file"};
                tif.check(TIFFWriteRawStrip(tif.get(), first + k, out[k].data(), tmsize_t(out[k].size())) >= 0);
            }
        }
    }

private:
    bool compress(uint32_t strip, std::vector<uint8_t>& raw, std::vector<uint8_t>& out) const {
        const uint32_t y0 = strip * rowsPerStrip_;
        const uint32_t rows = std::min(rowsPerStrip_, img_.height - y0);
        const size_t rowBytes = img_.rowSamples() * size_t(img_.bits / 8);
        raw.resize(rowBytes * rows);
        const uint8_t* src = img_.bits == 8 ? img_.px8.data() : reinterpret_cast<const uint8_t*>(img_.px16.data());
        std::memcpy(raw.data(), src + rowBytes * y0, raw.size());
        for (uint32_t r = 0; r < rows; ++r) {
            if (img_.bits == 8) differenceRow(raw.data() + rowBytes * r, img_.width, img_.channels);
            else differenceRow(reinterpret_cast<uint16_t*>(raw.data() + rowBytes * r), img_.width, img_.channels);
        }
        z_stream z{};
        if (deflateInit2(&z, effort_.zlibLevel, Z_DEFLATED, 15, 8, effort_.zlibStrategy) != Z_OK) return false;
        out.resize(deflateBound(&z, uLong(raw.size())));
        z.next_in = raw.data();
        z.avail_in = uInt(raw.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int rc = deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return rc == Z_STREAM_END;
    }

    const Image& img_;
    uint32_t rowsPerStrip_;
    TiffEffort effort_;
    int threads_;
    std::string name_;
};

// Appends the EXIF and GPS directories after everything libtiff wrote and
// points the main directory's placeholders at them.
void appendExifDirectories(OutFile& out, const ExifParts& parts, bool hasExif, bool hasGps) {
    uint8_t header[8];
    out.seek(0, SEEK_SET);
    if (out.read(header, 8) != 8) throw ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": cannot read back the TIFF file"};
    const bool be = header[0] == 'M';
    std::vector<uint8_t> hv(header, header + 8);
    const Reader hr(hv, be);
    const uint32_t ifd0 = hr.u32(4);

    std::vector<uint8_t> count(2);
    out.seek(ifd0, SEEK_SET);
    out.read(count.data(), 2);
    const uint32_t n = Reader(count, be).u16(0);
    std::vector<uint8_t> entries(size_t(n) * 12);
    out.read(entries.data(), entries.size());
    const Reader er(entries, be);

    auto append = [&](const std::vector<TiffEntry>& ifd, uint16_t pointerTag) {
        int64_t end = out.size();
        if (end & 1) {
            out.seek(0, SEEK_END);
            const uint8_t pad = 0;
            out.write(&pad, 1);
            ++end;
        }
        if (end > 0xffffffffLL) return;
        const std::vector<uint8_t> blob = serialiseIfd(ifd, parts.bigEndian, be, uint32_t(end));
        out.seek(0, SEEK_END);
        out.write(blob.data(), blob.size());
        for (uint32_t i = 0; i < n; ++i) {
            if (er.u16(size_t(i) * 12) != pointerTag) continue;
            std::vector<uint8_t> v(4);
            put32(v, 0, uint32_t(end), be);
            out.seek(int64_t(ifd0) + 2 + int64_t(i) * 12 + 8, SEEK_SET);
            out.write(v.data(), 4);
        }
    };
    if (hasExif) append(parts.exif, kTagExifIfd);
    if (hasGps) append(parts.gps, kTagGpsIfd);
    out.seek(0, SEEK_END);
}

}  // namespace

ExifParts parseExif(const std::vector<uint8_t>& tiff) {
    ExifParts p;
    if (tiff.size() < 8) return p;
    if (tiff[0] == 'M' && tiff[1] == 'M') p.bigEndian = true;
    else if (!(tiff[0] == 'I' && tiff[1] == 'I')) return p;
    const Reader r(tiff, p.bigEndian);
    if (r.u16(2) != 42) return p;
    p.ifd0 = readIfd(r, r.u32(4));
    const uint32_t exifOff = pointerValue(find(p.ifd0, kTagExifIfd), p.bigEndian);
    const uint32_t gpsOff = pointerValue(find(p.ifd0, kTagGpsIfd), p.bigEndian);
    p.exif = readIfd(r, exifOff);
    p.gps = readIfd(r, gpsOff);
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
    put16(out, 0, uint16_t(entries.size()), be);
    for (size_t i = 0; i < entries.size(); ++i) {
        const TiffEntry& e = entries[i];
        std::vector<uint8_t> v = e.value;
        const uint32_t unit = swapUnit(e.type);
        if (srcBigEndian != be && unit > 1)
            for (size_t k = 0; k + unit <= v.size(); k += unit) std::reverse(v.begin() + ptrdiff_t(k), v.begin() + ptrdiff_t(k + unit));
        const size_t at = 2 + i * 12;
        put16(out, at, e.tag, be);
        put16(out, at + 2, e.type, be);
        put32(out, at + 4, e.count, be);
        if (v.size() <= 4) {
            std::copy(v.begin(), v.end(), out.begin() + ptrdiff_t(at + 8));
        } else {
            if (out.size() & 1) out.push_back(0);  // values start on a word boundary
            put32(out, at + 8, base + uint32_t(out.size()), be);
            out.insert(out.end(), v.begin(), v.end());
        }
    }
    return out;
}

// -quality chooses the Deflate effort. Measured on a 12 MP photograph after
// the predictor (CPU time of one core, file size):
//   level 1, run-length strategy   0.34 s  14.8 MB
//   level 4, filtered strategy     0.90 s  14.1 MB
//   level 6, default strategy      2.7 s   13.3 MB
//   level 9                        ~20 s   12.6 MB (not offered)
// 85 (the default and what the window passes) and everything below 95: the
// first. 95-99: the second. 100: the third. Strips are compressed on every
// core, so the wall time is about half of that on two.
TiffEffort tiffEffort(int quality, bool qualityGiven) {
    if (!qualityGiven || quality < 95) return {1, Z_RLE};
    if (quality < 100) return {4, Z_FILTERED};
    return {6, Z_DEFAULT_STRATEGY};
}

void saveTiff(const Image& img, const SaveOptions& opt, OutFile& out) {
    const ExifParts exif = parseExif(img.exif);
    const bool hasExif = !exif.exif.empty();
    const bool hasGps = !exif.gps.empty();

    TiffSink sink{&out, std::nullopt, {}};
    TiffHandle tif(sink);
    TIFF* t = tif.get();
    const uint32_t rowBytes = uint32_t(img.rowSamples() * size_t(img.bits / 8));
    // About 256 KB per strip: plenty for Deflate's 32 KB window, small enough
    // to spread over the threads and to keep readers' memory low.
    const uint32_t rowsPerStrip = std::clamp<uint32_t>((256u << 10) / std::max<uint32_t>(rowBytes, 1), 1, std::max<uint32_t>(img.height, 1));
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, img.width) && TIFFSetField(t, TIFFTAG_IMAGELENGTH, img.height) &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, uint16_t(img.bits)) &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, uint16_t(img.channels)) &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
              TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) &&
              TIFFSetField(t, TIFFTAG_XRESOLUTION, 72.0) && TIFFSetField(t, TIFFTAG_YRESOLUTION, 72.0) &&
              TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (ok && img.channels == 4) {
        const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
        ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    if (ok && !img.icc.empty()) ok = TIFFSetField(t, TIFFTAG_ICCPROFILE, uint32_t(img.icc.size()), img.icc.data());
    if (ok && !img.xmp.empty()) ok = TIFFSetField(t, TIFFTAG_XMLPACKET, uint32_t(img.xmp.size()), img.xmp.data());
    const std::pair<uint16_t, uint32_t> asciiTags[] = {
        {270, TIFFTAG_IMAGEDESCRIPTION}, {271, TIFFTAG_MAKE}, {272, TIFFTAG_MODEL}, {305, TIFFTAG_SOFTWARE},
        {306, TIFFTAG_DATETIME}, {315, TIFFTAG_ARTIST}, {33432, TIFFTAG_COPYRIGHT}};
    for (const auto& [tag, field] : asciiTags) {
        const TiffEntry* e = find(exif.ifd0, tag);
        if (!ok || !e || e->type != 2) continue;
        const std::string s = asciiValue(*e);
        if (!s.empty()) ok = TIFFSetField(t, field, s.c_str());
    }
    // Placeholders, pointed at the directories appended after libtiff is done.
    if (ok && hasExif) ok = TIFFSetField(t, TIFFTAG_EXIFIFD, uint64_t(0));
    if (ok && hasGps) ok = TIFFSetField(t, TIFFTAG_GPSIFD, uint64_t(0));
    tif.check(ok);

    StripCompressor(img, rowsPerStrip, tiffEffort(opt.quality, opt.qualityGiven), opt.threads,
                    toUtf8(out.finalPath()))
        .write(tif);
    tif.check(TIFFWriteDirectory(t));
    tif.close();
    if (hasExif || hasGps) appendExifDirectories(out, exif, hasExif, hasGps);
}

}  // namespace conv
