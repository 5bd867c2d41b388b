#include "tools/convert/palette_map.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "tools/convert/parallel.h"

namespace conv {

namespace {

// Runs worker() on `threads` threads, the calling one among them; fewer when
// the system gives no more. Every worker takes its share from a common
// counter, so any number of them finishes the job.
template <typename Fn>
void runWorkers(int threads, const Fn& worker) {
    parallelFor(size_t(std::max(1, threads)), threads, [&](size_t) { worker(); });
}

// The nearest palette entry for any colour: RGB space cut into cells of 8
// levels a side, each listing the entries that can be the nearest to some
// colour inside it (those no farther from the cell than the farthest corner of
// the entry whose farthest corner is nearest). Ties go to the lower index, as
// a search of the whole palette would decide them.
class NearestEntry {
public:
    NearestEntry(const std::vector<uint32_t>& palette, int threads) {
        for (size_t i = 0; i < palette.size() && i < 256; ++i) {
            if ((palette[i] >> 24) < 128) continue;
            entries_.push_back(uint8_t(i));
            colours_.push_back({int(palette[i] & 255), int(palette[i] >> 8 & 255), int(palette[i] >> 16 & 255), 0});
        }
        if (entries_.empty()) return;
        std::vector<std::vector<uint32_t>> lists(kCells);
        std::atomic<size_t> next{0};
        runWorkers(threads, [&] {
            constexpr size_t kRun = 256;
            for (size_t from = next.fetch_add(kRun); from < kCells; from = next.fetch_add(kRun))
                for (size_t cell = from; cell < std::min(kCells, from + kRun); ++cell) lists[cell] = candidates(cell);
        });
        start_.resize(kCells + 1);
        for (size_t cell = 0; cell < kCells; ++cell) {
            start_[cell] = uint32_t(list_.size());
            list_.insert(list_.end(), lists[cell].begin(), lists[cell].end());
        }
        start_[kCells] = uint32_t(list_.size());
    }

    bool empty() const { return entries_.empty(); }
    const int* channels(size_t k) const { return colours_[k].rgb; }
    uint8_t paletteIndex(size_t k) const { return entries_[k]; }

    // The position in entries_ of the nearest entry to (r, g, b), each 0..255.
    // `guess` (the answer for a neighbouring pixel, usually close) only makes
    // the search shorter.
    size_t find(int r, int g, int b, size_t guess = 0) const {
        const size_t cell = size_t(r >> 3) << 10 | size_t(g >> 3) << 5 | size_t(b >> 3);
        const uint32_t* p = list_.data() + start_[cell];
        const uint32_t* const end = list_.data() + start_[cell + 1];
        size_t best = *p & 255;
        int bestDist = distance(best, r, g, b);
        if (guess < entries_.size()) {
            const int d = distance(guess, r, g, b);
            if (d < bestDist || (d == bestDist && guess < best)) {
                best = guess;
                bestDist = d;
            }
        }
        // The list runs from the entry nearest to the cell outwards; once an
        // entry cannot come closer than the best so far, none after it can.
        for (++p; p < end && int(*p >> 8) <= bestDist; ++p) {
            const size_t k = *p & 255;
            const int d = distance(k, r, g, b);
            if (d < bestDist || (d == bestDist && k < best)) {
                bestDist = d;
                best = k;
            }
        }
        return best;
    }

private:
    static constexpr size_t kCells = 32 * 32 * 32;

    int distance(size_t k, int r, int g, int b) const {
        const int* c = colours_[k].rgb;
        const int dr = c[0] - r, dg = c[1] - g, db = c[2] - b;
        return dr * dr + dg * dg + db * db;
    }

    // The entries that can be the nearest somewhere in the cell, least
    // squared distance from a colour there first: that distance << 8 | the
    // entry (3 * 255^2 fits in 24 bits).
    std::vector<uint32_t> candidates(size_t cell) const {
        const int lo[3] = {int(cell >> 10) * 8, int(cell >> 5 & 31) * 8, int(cell & 31) * 8};
        const size_t n = entries_.size();
        std::vector<int> nearest(n);
        int bound = 1 << 30;
        for (size_t k = 0; k < n; ++k) {
            int near = 0, far = 0;
            for (int c = 0; c < 3; ++c) {
                const int v = colours_[k].rgb[c], a = lo[c], b = lo[c] + 7;
                const int in = v < a ? a - v : v > b ? v - b : 0;
                const int out = std::max(std::abs(v - a), std::abs(v - b));
                near += in * in;
                far += out * out;
            }
            nearest[k] = near;
            bound = std::min(bound, far);
        }
        std::vector<uint32_t> list;
        for (size_t k = 0; k < n; ++k)
            if (nearest[k] <= bound) list.push_back(uint32_t(nearest[k]) << 8 | uint32_t(k));
        std::sort(list.begin(), list.end());
        return list;
    }

    struct Colour {
        int rgb[4];  // the fourth pads an entry to 16 bytes
    };
    std::vector<uint8_t> entries_;  // palette index of each opaque entry
    std::vector<Colour> colours_;
    std::vector<uint32_t> start_;
    std::vector<uint32_t> list_;
};

int clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// Until `progress` reaches `need`: a short spin (the row above is usually a
// moment ahead), then short sleeps between looks.
void waitFor(const std::atomic<uint32_t>& progress, uint32_t need) {
    uint32_t seen = progress.load(std::memory_order_acquire);
    for (int spin = 0; spin < 200 && seen < need; ++spin) seen = progress.load(std::memory_order_acquire);
    while (seen < need) {
        // Not std::atomic::wait: under Wine, with mingw-w64's GCC 12 runtime, a
        // conversion to GIF once never ended in it.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        seen = progress.load(std::memory_order_acquire);
    }
}

// Errors are passed on at 15/16 of their size, so that they fade instead of
// piling up in flat areas; and where the error arriving at a pixel is large
// next to the palette's own (more than 2.4 times its mean square, on a sample
// of the picture), it is passed on at 13/16: at edges and in colours the
// palette covers thinly, full diffusion only scatters stray dots. (Rules of the
// kind libimagequant's own remapping has; on a 12 MP photograph they take PSNR
// from 31.0 dB, plain diffusion, to 33.6.) The limit is in (1/256 level)^2,
// the unit the errors are kept in.
int64_t largeErrorLimit(const uint8_t* rgba, uint32_t width, uint32_t height, const NearestEntry& nearest) {
    double squares = 0;
    size_t sampled = 0;
    for (size_t i = 0; i < size_t(width) * height; i += 61) {
        const uint8_t* p = rgba + i * 4;
        if (!p[3]) continue;
        const size_t k = nearest.find(p[0], p[1], p[2]);
        for (int c = 0; c < 3; ++c) squares += double(p[c] - nearest.channels(k)[c]) * (p[c] - nearest.channels(k)[c]);
        ++sampled;
    }
    return int64_t(std::min(1e15, 2.4 * (sampled ? squares / double(sampled) : 0.0) * 65536.0));
}

// What the rows of one dithering run share. Rows are taken in order, and a
// row cannot finish before the one above it, so at most `workers` consecutive
// rows are under way at any moment: workers + 2 rows of errors handed down are
// enough (`below`, `slots` rows of `stride` ints), in 1/256 of a level, one
// slot of margin on the left. Each row writes every slot of the row below it,
// and writes it once, when nothing more goes there.
struct DitherRun {
    const uint8_t* rgba;
    uint32_t width;
    const NearestEntry& nearest;
    int64_t limit;
    uint8_t* indexes;
    size_t slots, stride;
    std::vector<int>& below;
    std::vector<std::atomic<uint32_t>>& done;  // pixels finished in each row
};

constexpr uint32_t kChunk = 128;

// Row y, in chunks of pixels, each once the row above has finished the pixels
// it takes errors from; finished(rows) is told when the row is complete.
template <typename Finished>
void ditherRow(const DitherRun& r, uint32_t y, Finished&& finished) {
    const uint32_t width = r.width;
    const int64_t limit = r.limit;
    const NearestEntry& nearest = r.nearest;
    const int* in = r.below.data() + (y % r.slots) * r.stride + 3;  // handed down from row y - 1
    int* out = r.below.data() + ((y + 1) % r.slots) * r.stride + 3;
    const uint8_t* row = r.rgba + size_t(y) * width * 4;
    uint8_t* dst = r.indexes + size_t(y) * width;
    // In 1/256 of a level: what goes right, and what the row below has
    // gathered so far under this pixel's left neighbour and under it.
    int right[3] = {0, 0, 0}, underLeft[3] = {0, 0, 0}, under[3] = {0, 0, 0};
    size_t last = 0;
    for (uint32_t x0 = 0; x0 < width; x0 += kChunk) {
        const uint32_t x1 = std::min(width, x0 + kChunk);
        // Pixel x takes errors from x - 1 .. x + 1 of the row above.
        if (y > 0) waitFor(r.done[y - 1], std::min(width, x1 + 1));
        for (uint32_t x = x0; x < x1; ++x) {
            const uint8_t* p = row + size_t(x) * 4;
            const int* e = in + size_t(x) * 3;
            int* o = out + size_t(x) * 3;
            int err[3] = {0, 0, 0};
            if (p[3] != 0) {
                int arriving[3], v[3];
                for (int c = 0; c < 3; ++c) arriving[c] = e[c] + right[c];
                const int64_t size = int64_t(arriving[0]) * arriving[0] + int64_t(arriving[1]) * arriving[1] +
                                     int64_t(arriving[2]) * arriving[2];
                if (size > limit)
                    for (int c = 0; c < 3; ++c) arriving[c] = arriving[c] * 13 / 16;
                for (int c = 0; c < 3; ++c) v[c] = clamp255(p[c] + ((arriving[c] + 128) >> 8));
                const size_t k = last = nearest.find(v[0], v[1], v[2], last);
                dst[x] = nearest.paletteIndex(k);
                const int* chosen = nearest.channels(k);
                for (int c = 0; c < 3; ++c) err[c] = v[c] - chosen[c];
            }
            // Floyd and Steinberg's weights, 7 right and 3, 5 and 1
            // below (in 1/16), each times 15/16.
            for (int c = 0; c < 3; ++c) {
                const int e15 = 15 * err[c];
                right[c] = 7 * e15;
                o[c - 3] = underLeft[c] + 3 * e15;  // complete now
                underLeft[c] = under[c] + 5 * e15;
                under[c] = e15;
            }
        }
        if (x1 == width)
            for (int c = 0; c < 3; ++c) out[size_t(width - 1) * 3 + c] = underLeft[c];
        r.done[y].store(x1, std::memory_order_release);
        r.done[y].notify_all();
        if (x1 == width) finished(y + 1);
    }
}

}  // namespace

void nearestInPalette(const uint8_t* rgba, uint32_t width, uint32_t height, const std::vector<uint32_t>& palette,
                      int threads, uint8_t* indexes) {
    const NearestEntry nearest(palette, threads);
    if (nearest.empty()) return;
    std::atomic<uint32_t> next{0};
    runWorkers(std::clamp(threads, 1, int(std::max(1u, height))), [&] {
        for (uint32_t y = next++; y < height; y = next++) {
            const uint8_t* p = rgba + size_t(y) * width * 4;
            uint8_t* out = indexes + size_t(y) * width;
            for (uint32_t x = 0; x < width; ++x, p += 4)
                if (p[3]) out[x] = nearest.paletteIndex(nearest.find(p[0], p[1], p[2]));
        }
    });
}

void ditherToPalette(const uint8_t* rgba, uint32_t width, uint32_t height, const std::vector<uint32_t>& palette,
                     int threads, uint8_t* indexes, std::atomic<uint32_t>* rowsDone) {
    // Rows finish in order, though not always on one thread: the count only
    // ever moves up.
    auto finished = [rowsDone](uint32_t rows) {
        if (!rowsDone) return;
        uint32_t seen = rowsDone->load(std::memory_order_relaxed);
        while (seen < rows && !rowsDone->compare_exchange_weak(seen, rows, std::memory_order_release)) {
        }
        rowsDone->notify_all();
    };
    struct AllAtTheEnd {
        std::function<void()> fn;
        ~AllAtTheEnd() { fn(); }
    } atTheEnd{[&] { finished(height); }};
    const NearestEntry nearest(palette, threads);
    if (nearest.empty() || width == 0 || height == 0) return;
    const int workers = std::clamp(threads, 1, int(std::min<uint32_t>(height, 64)));
    const size_t slots = size_t(workers) + 2, stride = (size_t(width) + 2) * 3;
    std::vector<int> below(slots * stride);
    std::vector<std::atomic<uint32_t>> done(height);
    for (auto& d : done) d.store(0, std::memory_order_relaxed);
    const DitherRun run{rgba, width, nearest, largeErrorLimit(rgba, width, height, nearest), indexes, slots, stride,
                        below, done};
    std::atomic<uint32_t> next{0};
    runWorkers(workers, [&] {
        for (uint32_t y = next++; y < height; y = next++) ditherRow(run, y, finished);
    });
}

}  // namespace conv
