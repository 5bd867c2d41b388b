#include "tools/convert/palette_map.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

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

// What the bands of one dithering run share.
struct DitherRun {
    const uint8_t* rgba;
    uint32_t width;
    const NearestEntry& nearest;
    int64_t limit;
    uint8_t* indexes;
};

// Row y into dst, taking the errors handed down from the row above from `in`
// and handing its own down into `out` (width slots of 3 ints each, in 1/256 of
// a level, with one slot of margin on the left, which the first pixel writes
// and nothing reads). Every slot of `out` is written.
void ditherRow(const DitherRun& r, uint32_t y, const int* in, int* out, uint8_t* dst) {
    const uint32_t width = r.width;
    const uint8_t* row = r.rgba + size_t(y) * width * 4;
    // In 1/256 of a level: what goes right, and what the row below has
    // gathered so far under this pixel's left neighbour and under it.
    int right[3] = {0, 0, 0}, underLeft[3] = {0, 0, 0}, under[3] = {0, 0, 0};
    size_t last = 0;
    for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* p = row + size_t(x) * 4;
        const int* e = in + size_t(x) * 3;
        int* o = out + size_t(x) * 3;
        int err[3] = {0, 0, 0};
        if (p[3] != 0) {
            int arriving[3], v[3];
            for (int c = 0; c < 3; ++c) arriving[c] = e[c] + right[c];
            const int64_t size = int64_t(arriving[0]) * arriving[0] + int64_t(arriving[1]) * arriving[1] +
                                 int64_t(arriving[2]) * arriving[2];
            if (size > r.limit)
                for (int c = 0; c < 3; ++c) arriving[c] = arriving[c] * 13 / 16;
            for (int c = 0; c < 3; ++c) v[c] = clamp255(p[c] + ((arriving[c] + 128) >> 8));
            const size_t k = last = r.nearest.find(v[0], v[1], v[2], last);
            dst[x] = r.nearest.paletteIndex(k);
            const int* chosen = r.nearest.channels(k);
            for (int c = 0; c < 3; ++c) err[c] = v[c] - chosen[c];
        }
        // Floyd and Steinberg's weights, 7 right and 3, 5 and 1 below (in
        // 1/16), each times 15/16.
        for (int c = 0; c < 3; ++c) {
            const int e15 = 15 * err[c];
            right[c] = 7 * e15;
            o[c - 3] = underLeft[c] + 3 * e15;  // complete now
            underLeft[c] = under[c] + 5 * e15;
            under[c] = e15;
        }
    }
    for (int c = 0; c < 3; ++c) out[size_t(width - 1) * 3 + c] = underLeft[c];
}

// The picture is dithered in bands of kBandRows rows, each on one thread, so
// that threads never wait for each other. A band does not start from nothing:
// it first dithers the kLeadRows rows above it, without keeping their indexes,
// so that the errors arriving at its first row are all but those of one pass
// over the whole picture (the errors fade by 15/16 a row, and at edges by
// more). The bands do not depend on the number of threads, and neither does
// the result.
constexpr uint32_t kBandRows = 512, kLeadRows = 16;

template <typename RowDone>
void ditherBand(const DitherRun& r, uint32_t from, uint32_t to, RowDone&& rowDone) {
    const size_t stride = (size_t(r.width) + 1) * 3;
    std::vector<int> handedDown(2 * stride, 0);
    std::vector<uint8_t> scratch(r.width);
    int* in = handedDown.data() + 3;
    int* out = in + stride;
    for (uint32_t y = from >= kLeadRows ? from - kLeadRows : 0; y < to; ++y) {
        ditherRow(r, y, in, out, y < from ? scratch.data() : r.indexes + size_t(y) * r.width);
        std::swap(in, out);
        if (y >= from) rowDone();
    }
}

// Rows finished, counted from the top: the bands are under way at once, and
// the rows of the lowest unfinished band are what the count has reached.
class RowsFinished {
public:
    RowsFinished(uint32_t height, std::atomic<uint32_t>* rowsDone)
        : height_(height), rowsDone_(rowsDone), inBand_((height + kBandRows - 1) / kBandRows, 0) {}
    void rowOf(size_t band) {
        if (!rowsDone_) return;
        std::lock_guard<std::mutex> lock(mutex_);
        ++inBand_[band];
        while (first_ < inBand_.size() && inBand_[first_] == bandRows(first_)) ++first_;
        const uint32_t rows = first_ < inBand_.size() ? uint32_t(first_) * kBandRows + inBand_[first_] : height_;
        rowsDone_->store(rows, std::memory_order_release);
        rowsDone_->notify_all();
    }

private:
    uint32_t bandRows(size_t band) const { return std::min(kBandRows, height_ - uint32_t(band) * kBandRows); }
    uint32_t height_;
    std::atomic<uint32_t>* rowsDone_;
    std::vector<uint32_t> inBand_;
    size_t first_ = 0;
    std::mutex mutex_;
};

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
    // However it ends, the count says every row is done.
    struct AllAtTheEnd {
        std::atomic<uint32_t>* rowsDone;
        uint32_t height;
        ~AllAtTheEnd() {
            if (!rowsDone) return;
            rowsDone->store(height, std::memory_order_release);
            rowsDone->notify_all();
        }
    } atTheEnd{rowsDone, height};
    const NearestEntry nearest(palette, threads);
    if (nearest.empty() || width == 0 || height == 0) return;
    const DitherRun run{rgba, width, nearest, largeErrorLimit(rgba, width, height, nearest), indexes};
    RowsFinished finished(height, rowsDone);
    const size_t bands = (height + kBandRows - 1) / kBandRows;
    std::atomic<size_t> next{0};
    runWorkers(std::clamp(threads, 1, int(std::min<size_t>(bands, 64))), [&] {
        for (size_t b = next++; b < bands; b = next++) {
            const uint32_t from = uint32_t(b) * kBandRows;
            ditherBand(run, from, std::min(height, from + kBandRows), [&] { finished.rowOf(b); });
        }
    });
}

}  // namespace conv
