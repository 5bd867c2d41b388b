#include "tools/convert/resize.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/convert/parallel.h"

namespace conv {

namespace {

constexpr double kPi = 3.14159265358979323846;

double sinc(double x) {
    if (x == 0) return 1;
    x *= kPi;
    return std::sin(x) / x;
}

double lanczos3(double x) {
    x = std::fabs(x);
    return x < 3 ? sinc(x) * sinc(x / 3) : 0;
}

// For each output index: the first input index and the normalised weights.
struct Taps {
    std::vector<int> start;
    std::vector<int> count;
    std::vector<float> weights;  // count[i] weights from offset[i]
    std::vector<size_t> offset;
};

Taps makeTaps(uint32_t inSize, uint32_t outSize) {
    Taps t;
    const double scale = double(inSize) / outSize;
    const double stretch = std::max(1.0, scale);  // widen the kernel when shrinking
    const double support = 3 * stretch;
    t.start.resize(outSize);
    t.count.resize(outSize);
    t.offset.resize(outSize);
    for (uint32_t o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5) * scale;
        int lo = int(std::floor(centre - support));
        int hi = int(std::ceil(centre + support));
        lo = std::max(lo, 0);
        hi = std::min(hi, int(inSize));
        double sum = 0;
        const size_t off = t.weights.size();
        for (int i = lo; i < hi; ++i) {
            double w = lanczos3((i + 0.5 - centre) / stretch);
            t.weights.push_back(float(w));
            sum += w;
        }
        if (sum == 0) sum = 1;
        for (size_t k = off; k < t.weights.size(); ++k) t.weights[k] = float(t.weights[k] / sum);
        t.start[o] = lo;
        t.count[o] = hi - lo;
        t.offset[o] = off;
    }
    return t;
}

template <typename T>
struct Sampler {
    static constexpr float kMax = sizeof(T) == 1 ? 255.f : 65535.f;
};

// One input row as floats, colour premultiplied by alpha when there is alpha.
template <typename T>
void rowAsFloats(const T* s, uint32_t sw, int ch, float* line) {
    const float maxv = Sampler<T>::kMax;
    if (ch == 4) {
        for (uint32_t x = 0; x < sw; ++x) {
            const float a = s[x * 4 + 3] / maxv;
            line[x * 4 + 0] = s[x * 4 + 0] * a;
            line[x * 4 + 1] = s[x * 4 + 1] * a;
            line[x * 4 + 2] = s[x * 4 + 2] * a;
            line[x * 4 + 3] = s[x * 4 + 3];
        }
    } else {
        for (size_t i = 0; i < size_t(sw) * ch; ++i) line[i] = s[i];
    }
}

// A row resampled across: dw pixels from the input row `line`.
void resampleAcross(const Taps& hx, const float* line, uint32_t dw, int ch, float* m) {
    for (uint32_t x = 0; x < dw; ++x) {
        const float* w = hx.weights.data() + hx.offset[x];
        const float* p = line + size_t(hx.start[x]) * ch;
        float acc[4] = {0, 0, 0, 0};
        for (int k = 0; k < hx.count[x]; ++k, p += ch)
            for (int c = 0; c < ch; ++c) acc[c] += w[k] * p[c];
        for (int c = 0; c < ch; ++c) m[size_t(x) * ch + c] = acc[c];
    }
}

// One output row from the resampled floats, alpha undone and rounded.
template <typename T>
void floatsAsRow(const std::vector<float>& acc, uint32_t dw, int ch, T* d) {
    const float maxv = Sampler<T>::kMax;
    const bool alpha = ch == 4;
    for (uint32_t x = 0; x < dw; ++x) {
        float a = 1;
        if (alpha) {
            float av = std::clamp(acc[x * 4 + 3], 0.f, maxv);
            d[x * 4 + 3] = T(av + 0.5f);
            a = av / maxv;
        }
        const int colour = alpha ? 3 : ch;
        for (int c = 0; c < colour; ++c) {
            float v = acc[size_t(x) * ch + c];
            if (alpha) v = a > 0 ? v / a : 0;
            d[size_t(x) * ch + c] = T(std::clamp(v, 0.f, maxv) + 0.5f);
        }
    }
}

// Separable: each band of output rows resamples the input rows it needs across
// (into `mid`), then down.
template <typename T>
void resizeTyped(const std::vector<T>& src, uint32_t sw, uint32_t sh, int ch, std::vector<T>& dst, uint32_t dw,
                 uint32_t dh, int threads) {
    const Taps hx = makeTaps(sw, dw);
    const Taps vy = makeTaps(sh, dh);
    dst.assign(size_t(dw) * dh * ch, 0);
    constexpr uint32_t kBand = 32;
    const uint32_t bands = (dh + kBand - 1) / kBand;

    parallelFor(bands, threads, [&](size_t band) {
        std::vector<float> mid;                    // the band's input rows, resampled across
        std::vector<float> line(size_t(sw) * ch);  // one input row as (premultiplied) floats
        const uint32_t y0 = uint32_t(band) * kBand, y1 = std::min(dh, y0 + kBand);
        int lo = vy.start[y0], hi = 0;
        for (uint32_t y = y0; y < y1; ++y) {
            lo = std::min(lo, vy.start[y]);
            hi = std::max(hi, vy.start[y] + vy.count[y]);
        }
        mid.assign(size_t(hi - lo) * dw * ch, 0.f);
        for (int sy = lo; sy < hi; ++sy) {
            rowAsFloats(src.data() + size_t(sy) * sw * ch, sw, ch, line.data());
            resampleAcross(hx, line.data(), dw, ch, mid.data() + size_t(sy - lo) * dw * ch);
        }
        std::vector<float> acc(size_t(dw) * ch);
        for (uint32_t y = y0; y < y1; ++y) {
            std::fill(acc.begin(), acc.end(), 0.f);
            const float* w = vy.weights.data() + vy.offset[y];
            for (int k = 0; k < vy.count[y]; ++k) {
                const float* m = mid.data() + size_t(vy.start[y] + k - lo) * dw * ch;
                const float wk = w[k];
                for (size_t i = 0; i < acc.size(); ++i) acc[i] += wk * m[i];
            }
            floatsAsRow(acc, dw, ch, dst.data() + size_t(y) * dw * ch);
        }
    });
}

}  // namespace

void resizeImage(Image& img, uint32_t w, uint32_t h, int threads) {
    if (w == 0 || h == 0 || (w == img.width && h == img.height)) return;
    if (img.isYcc420()) {
        // YCbCr is an affine function of R'G'B', so resampling each plane gives
        // what resampling the RGB would, and the result stays ready for JPEG.
        const uint32_t cw = (img.width + 1) / 2, ch = (img.height + 1) / 2;
        const uint32_t ncw = (w + 1) / 2, nch = (h + 1) / 2;
        const size_t ySize = size_t(img.width) * img.height, cSize = size_t(cw) * ch;
        std::vector<uint8_t> planes[3], out[3];
        planes[0].assign(img.ycc420.begin(), img.ycc420.begin() + ySize);
        planes[1].assign(img.ycc420.begin() + ySize, img.ycc420.begin() + ySize + cSize);
        planes[2].assign(img.ycc420.begin() + ySize + cSize, img.ycc420.end());
        std::vector<uint8_t>().swap(img.ycc420);
        resizeTyped(planes[0], img.width, img.height, 1, out[0], w, h, threads);
        for (int k = 1; k < 3; ++k) resizeTyped(planes[k], cw, ch, 1, out[k], ncw, nch, threads);
        img.ycc420 = std::move(out[0]);
        img.ycc420.insert(img.ycc420.end(), out[1].begin(), out[1].end());
        img.ycc420.insert(img.ycc420.end(), out[2].begin(), out[2].end());
    } else if (img.bits == 8) {
        std::vector<uint8_t> out;
        resizeTyped(img.px8, img.width, img.height, img.channels, out, w, h, threads);
        img.px8.swap(out);
    } else {
        std::vector<uint16_t> out;
        resizeTyped(img.px16, img.width, img.height, img.channels, out, w, h, threads);
        img.px16.swap(out);
    }
    img.width = w;
    img.height = h;
}

}  // namespace conv
