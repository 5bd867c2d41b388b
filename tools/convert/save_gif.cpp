#include "tools/convert/save_gif.h"

#include <gif_lib.h>
#include <libimagequant.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <chrono>
#include <thread>

#include "tools/convert/owned.h"
#include "tools/convert/palette_map.h"
#include "tools/convert/srgb8.h"

namespace conv {

namespace {

// giflib is C: a write error cannot pass through it as an exception, so the
// callback keeps it and reports failure, and the saver throws it afterwards.
struct Sink {
    OutFile* out;
    std::optional<ConvertError> error;
};

int writeToSink(GifFileType* gif, const GifByteType* data, int len) {
    auto* sink = static_cast<Sink*>(gif->UserData);
    if (sink->error) return 0;
    try {
        sink->out->write(data, size_t(len));
        return len;
    } catch (const ConvertError& e) {
        sink->error = e;
        return 0;
    }
}

// Closes the GIF writer exactly once, on success and on every way out.
class GifWriter {
public:
    GifWriter(Sink& sink, const OutFile& out) : sink_(sink), out_(out) {
        int err = 0;
        gif_ = EGifOpen(&sink_, writeToSink, &err);
        if (!gif_) fail(err);
    }
    ~GifWriter() {
        if (gif_) {
            int err = 0;
            EGifCloseFile(gif_, &err);
        }
    }
    GifFileType* get() { return gif_; }
    void check(int rc) {
        if (rc != GIF_OK) fail(gif_ ? gif_->Error : 0);
    }
    void close() {
        int err = 0;
        const int rc = EGifCloseFile(gif_, &err);
        gif_ = nullptr;
        if (rc != GIF_OK || sink_.error) fail(err);
    }

private:
    [[noreturn]] void fail(int err) {
        if (sink_.error) throw *sink_.error;
        const char* what = GifErrorString(err);
        throw ConvertError{kExitOutput, toUtf8(out_.finalPath()) + ": cannot write the GIF file (" +
                                            (what ? what : "unknown error") + ")"};
    }
    Sink& sink_;
    const OutFile& out_;
    GifFileType* gif_ = nullptr;
};

// XMP in GIF: an application extension whose data is the raw packet followed
// by a 258-byte "magic trailer" (1, 255, 254, ..., 1, 0, then the block
// terminator), so that readers walking the sub-blocks land on the terminator.
void putXmp(GifWriter& w, Sink& sink, const std::vector<uint8_t>& xmp) {
    if (xmp.empty() || std::find(xmp.begin(), xmp.end(), uint8_t(0)) != xmp.end()) return;
    w.check(EGifPutExtensionLeader(w.get(), APPLICATION_EXT_FUNC_CODE));
    w.check(EGifPutExtensionBlock(w.get(), 11, "XMP DataXMP"));
    uint8_t trailer[257];
    trailer[0] = 1;
    for (int i = 0; i < 256; ++i) trailer[1 + i] = uint8_t(255 - i);
    if (writeToSink(w.get(), xmp.data(), int(xmp.size())) != int(xmp.size()) ||
        writeToSink(w.get(), trailer, int(sizeof trailer)) != int(sizeof trailer))
        throw *sink.error;
    w.check(EGifPutExtensionTrailer(w.get()));
}

// Pictures of 256 colours or fewer (drawings, screenshots, the output of an
// earlier GIF) keep them exactly: no quantiser, no dithering. Photographs
// leave within their first few hundred pixels.
bool exactPalette(const std::vector<uint8_t>& rgba, std::vector<uint32_t>& palette, std::vector<uint8_t>& indexes) {
    constexpr size_t kSlots = 1024;  // open addressing, never more than a quarter full
    std::vector<uint32_t> keys(kSlots);
    std::vector<int16_t> slotIndex(kSlots, -1);
    palette.clear();
    const size_t n = rgba.size() / 4;
    uint32_t lastKey = 0;
    int lastIndex = -1;
    for (size_t i = 0; i < n; ++i) {
        uint32_t key;
        std::memcpy(&key, rgba.data() + i * 4, 4);
        if (key != lastKey || lastIndex < 0) {
            size_t h = (key * 2654435761u) >> 22;
            while (slotIndex[h] >= 0 && keys[h] != key) h = (h + 1) & (kSlots - 1);
            if (slotIndex[h] < 0) {
                if (palette.size() == 256) {
                    palette.clear();
                    return false;
                }
                keys[h] = key;
                slotIndex[h] = int16_t(palette.size());
                const uint8_t* c = rgba.data() + i * 4;
                palette.push_back(uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 | uint32_t(c[3]) << 24);
            }
            lastKey = key;
            lastIndex = slotIndex[h];
        }
        indexes[i] = uint8_t(lastIndex);
    }
    return true;
}

// Work done on a thread of its own that finishes rows in order: the rows done
// so far, and the wait for more. The thread is always joined, and what it
// threw is thrown again by finish().
class RowsInFlight {
public:
    explicit RowsInFlight(uint32_t rows) : rows_(rows) {}
    ~RowsInFlight() {
        if (thread_.joinable()) thread_.join();
    }
    template <typename Fn>
    void start(Fn fn) {
        auto run = [this, fn] {
            try {
                fn();
            } catch (...) {
                error_ = std::current_exception();
            }
            done.store(rows_, std::memory_order_release);  // however it ended
            done.notify_all();
        };
        try {
            thread_ = std::thread(run);
        } catch (const std::system_error&) {
            run();
        }
    }
    void waitFor(uint32_t rows) const {
        for (uint32_t seen = done.load(std::memory_order_acquire); seen < rows;
             seen = done.load(std::memory_order_acquire))
            // Short sleeps, not std::atomic::wait: under Wine, with mingw-w64's
            // GCC 12 runtime, a conversion to GIF once never ended in it.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (error_) std::rethrow_exception(error_);
    }
    void finish() {
        if (thread_.joinable()) thread_.join();
        if (error_) std::rethrow_exception(error_);
    }
    std::atomic<uint32_t> done{0};

private:
    uint32_t rows_;
    std::thread thread_;
    std::exception_ptr error_;
};

// Pictures of at least this many pixels get their palette from a sample.
constexpr size_t kSampleFrom = 4'000'000;

ConvertError quantiserFailed(const std::string& name, const char* what) {
    return ConvertError{kExitOutput, name + ": cannot reduce the picture to 256 colours (" + what + ")"};
}
// Memory that runs out is over the limit like any other allocation, not a fault of the output.
ConvertError quantiserOutOfMemory(const std::string& name) {
    return ConvertError{kExitLimit, name + ": out of memory reducing the picture to 256 colours"};
}

// RGBA for the quantiser; alpha made all or nothing, and every transparent
// pixel the same colour so that they share one palette entry.
std::vector<uint8_t> quantiserInput(const Image& img, bool& anyTransparent) {
    const size_t n = size_t(img.width) * img.height;
    std::vector<uint8_t> rgba(n * 4);
    anyTransparent = false;
    Image scratch;
    const Image& src = srgb8(img, scratch);
    const uint8_t* in = src.px8.data();
    uint8_t* o = rgba.data();
    if (src.channels == 4) {
        for (size_t i = 0; i < n; ++i, in += 4, o += 4) {
            if (in[3] < 128) {
                std::memset(o, 0, 4);
                anyTransparent = true;
            } else {
                o[0] = in[0]; o[1] = in[1]; o[2] = in[2]; o[3] = 255;
            }
        }
    } else {
        for (size_t i = 0; i < n; ++i, in += 3, o += 4) {
            o[0] = in[0]; o[1] = in[1]; o[2] = in[2]; o[3] = 255;
        }
    }
    return rgba;
}

// The palette chosen from every other pixel of every other row of a large
// picture: a quarter of the time for the histogram, and on a 12 MP photograph
// no loss (33.62 dB against 33.56 from every pixel). Empty for a small one.
std::vector<uint8_t> quantiserSample(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height, int& sw,
                                     int& sh) {
    sw = int(width);
    sh = int(height);
    std::vector<uint8_t> sample;
    if (size_t(width) * height < kSampleFrom) return sample;
    sw = int(width / 2);
    sh = int(height / 2);
    sample.resize(size_t(sw) * size_t(sh) * 4);
    for (size_t y = 0; y < size_t(sh); ++y)
        for (size_t x = 0; x < size_t(sw); ++x)
            std::memcpy(&sample[(y * size_t(sw) + x) * 4], &rgba[(2 * y * width + 2 * x) * 4], 4);
    return sample;
}

// libimagequant's palette for the picture (RGBA, red in the low byte), with a
// transparent entry added when the picture needs one and has none.
std::vector<uint32_t> quantisedPalette(const std::vector<uint8_t>& rgba, uint32_t width, uint32_t height,
                                       bool anyTransparent, int speed, const std::string& name) {
    Owned<liq_attr_destroy> attr(liq_attr_create());
    if (!attr) throw quantiserOutOfMemory(name);
    // A place is kept for the transparent entry: the quantiser may leave
    // out a colour as rare as a few transparent pixels.
    liq_set_max_colors(attr.get(), anyTransparent ? 255 : 256);
    liq_set_speed(attr.get(), speed);
    int sw = 0, sh = 0;
    const std::vector<uint8_t> sample = quantiserSample(rgba, width, height, sw, sh);
    const uint8_t* chosenFrom = sample.empty() ? rgba.data() : sample.data();
    Owned<liq_image_destroy> li(liq_image_create_rgba(attr.get(), chosenFrom, sw, sh, 0));
    if (!li) throw quantiserOutOfMemory(name);
    liq_result* rawResult = nullptr;
    const liq_error e = liq_image_quantize(li.get(), attr.get(), &rawResult);
    if (e == LIQ_OUT_OF_MEMORY) throw quantiserOutOfMemory(name);
    if (e != LIQ_OK) throw quantiserFailed(name, "quantisation failed");
    Owned<liq_result_destroy> result(rawResult);
    const liq_palette* pal = liq_get_palette(result.get());
    if (!pal || pal->count == 0) throw quantiserFailed(name, "no palette");
    std::vector<uint32_t> palette;
    for (unsigned i = 0; i < pal->count; ++i) {
        const liq_color& c = pal->entries[i];
        palette.push_back(uint32_t(c.r) | uint32_t(c.g) << 8 | uint32_t(c.b) << 16 | uint32_t(c.a) << 24);
    }
    if (anyTransparent && std::none_of(palette.begin(), palette.end(), [](uint32_t c) { return c >> 24 < 128; }))
        palette.push_back(0);
    return palette;
}

// The transparent entry: the least opaque colour of the palette; every
// transparent pixel uses it. -1 when no pixel is transparent.
int transparentEntry(const std::vector<uint32_t>& palette, bool anyTransparent) {
    if (!anyTransparent) return -1;
    int transparent = 0;
    for (size_t i = 1; i < palette.size(); ++i)
        if ((palette[i] >> 24) < (palette[size_t(transparent)] >> 24)) transparent = int(i);
    return transparent;
}

// giflib wants a power-of-two table.
Owned<GifFreeMapObject> colourMap(const std::vector<uint32_t>& palette, const std::string& name) {
    int tableSize = 2;
    while (tableSize < int(palette.size())) tableSize *= 2;
    std::vector<GifColorType> colours(size_t(tableSize), GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        colours[i] = GifColorType{uint8_t(palette[i]), uint8_t(palette[i] >> 8), uint8_t(palette[i] >> 16)};
    Owned<GifFreeMapObject> map(GifMakeMapObject(tableSize, colours.data()));
    if (!map) throw quantiserFailed(name, "out of memory");
    return map;
}

void putTransparency(GifWriter& w, int transparent) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.UserInputFlag = false;
    gcb.DelayTime = 0;
    gcb.TransparentColor = transparent;
    GifByteType ext[4];
    const size_t len = EGifGCBToExtension(&gcb, ext);
    w.check(EGifPutExtension(w.get(), GRAPHICS_EXT_FUNC_CODE, int(len), ext));
}

// The rows go out as the dithering finishes them, transparent pixels set to
// the transparent entry.
void putRows(GifWriter& w, const RowsInFlight& rows, std::vector<uint8_t>& indexes, const std::vector<uint8_t>& rgba,
             uint32_t width, uint32_t height, int transparent) {
    w.check(EGifPutImageDesc(w.get(), 0, 0, int(width), int(height), false, nullptr));
    for (uint32_t y = 0; y < height; ++y) {
        rows.waitFor(y + 1);
        uint8_t* line = indexes.data() + size_t(y) * width;
        if (transparent >= 0) {
            const uint8_t* a = rgba.data() + size_t(y) * width * 4 + 3;
            for (uint32_t x = 0; x < width; ++x)
                if (a[size_t(x) * 4] == 0) line[x] = uint8_t(transparent);
        }
        w.check(EGifPutLine(w.get(), line, int(width)));
    }
}

}  // namespace

// -quality chooses how hard libimagequant works; the result is always dithered
// at full strength. Measured on a 12 MP photograph: speed 8 builds its palette
// in a fraction of the time of the library's default (4) and loses about half a
// dB (still ~2 dB above ImageMagick's GIF); dithering costs the same at every
// speed. So: 85 (the default, what the window passes) and every value from 50
// to 94: speed 8. 95-100: speed 4, the library's careful default. Below 50:
// speed 10.
int gifQuantiserSpeed(int quality, bool qualityGiven) {
    if (!qualityGiven) return 8;
    if (quality >= 95) return 4;
    if (quality >= 50) return 8;
    return 10;
}

void saveGif(const Image& img, const SaveOptions& opt, OutFile& out) {
    const std::string name = toUtf8(out.finalPath());
    if (img.width > 65535 || img.height > 65535)
        throw ConvertError{kExitInput, name + ": the picture is too large for a GIF file (65535 pixels a side at most)"};
    const uint32_t width = img.width, height = img.height;

    bool anyTransparent = false;
    const std::vector<uint8_t> rgba = quantiserInput(img, anyTransparent);
    std::vector<uint8_t> indexes(size_t(width) * height);
    std::vector<uint32_t> palette;  // RGBA, red in the low byte
    const bool dither = !exactPalette(rgba, palette, indexes);
    if (dither)
        palette = quantisedPalette(rgba, width, height, anyTransparent,
                                   gifQuantiserSpeed(opt.quality, opt.qualityGiven), name);
    const int transparent = transparentEntry(palette, anyTransparent);

    // libimagequant's own remapping diffuses the error on one core; ours runs
    // in bands on all of them, on its own thread, while this one compresses
    // the rows it has finished.
    RowsInFlight rows(height);
    if (dither)
        rows.start([&] { ditherToPalette(rgba.data(), width, height, palette, opt.threads, indexes.data(), &rows.done); });
    else
        rows.done.store(height);
    const Owned<GifFreeMapObject> map = colourMap(palette, name);

    Sink sink{&out, std::nullopt};
    GifWriter w(sink, out);
    EGifSetGifVersion(w.get(), true);
    w.check(EGifPutScreenDesc(w.get(), int(width), int(height), 8, 0, map.get()));
    putXmp(w, sink, img.xmp);
    if (transparent >= 0) putTransparency(w, transparent);
    putRows(w, rows, indexes, rgba, width, height, transparent);
    rows.finish();
    w.close();
}

}  // namespace conv
