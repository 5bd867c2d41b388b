#include "tools/convert/colour.h"

#include <lcms2.h>

#include <algorithm>

#include "tools/convert/owned.h"

namespace conv {

namespace {

using ProfilePtr = Owned<cmsCloseProfile>;
using TransformPtr = Owned<cmsDeleteTransform>;

cmsUInt32Number pixelType(const Image& img) {
    if (img.bits == 8) return img.channels == 4 ? TYPE_RGBA_8 : TYPE_RGB_8;
    return img.channels == 4 ? TYPE_RGBA_16 : TYPE_RGB_16;
}

}  // namespace

void toSRGB(Image& img) {
    if (img.icc.empty()) return;
    ProfilePtr src(cmsOpenProfileFromMem(img.icc.data(), cmsUInt32Number(img.icc.size())));
    img.icc.clear();
    if (!src || cmsGetColorSpace(src.get()) != cmsSigRgbData) return;
    ProfilePtr dst(cmsCreate_sRGBProfile());
    const cmsUInt32Number type = pixelType(img);
    const cmsUInt32Number flags = (img.channels == 4 ? cmsFLAGS_COPY_ALPHA : 0) | cmsFLAGS_NOCACHE;
    TransformPtr xf(cmsCreateTransform(src.get(), type, dst.get(), type, INTENT_PERCEPTUAL, flags));
    if (!xf) return;
    void* data = img.bits == 8 ? static_cast<void*>(img.px8.data()) : static_cast<void*>(img.px16.data());
    const size_t bytesPerRow = img.rowSamples() * (img.bits / 8);
    cmsDoTransformLineStride(xf.get(), data, data, img.width, img.height,
                             cmsUInt32Number(bytesPerRow), cmsUInt32Number(bytesPerRow), 0, 0);
}

void expandYcc420(Image& img) {
    if (!img.isYcc420()) return;
    const uint32_t w = img.width, h = img.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint8_t* Y = img.ycc420.data();
    const uint8_t* Cb = Y + size_t(w) * h;
    const uint8_t* Cr = Cb + size_t(cw) * ch;
    img.px8.resize(size_t(w) * h * 3);
    img.channels = 3;
    img.bits = 8;
    auto clamp8 = [](float v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v + 0.5f); };
    for (uint32_t y = 0; y < h; ++y) {
        // Chroma sample j sits at luma position 2j + 0.5; interpolate linearly.
        const float fy = std::max(0.f, (y - 0.5f) / 2);
        const uint32_t y0 = std::min(uint32_t(fy), ch - 1), y1 = std::min(y0 + 1, ch - 1);
        const float ay = fy - y0;
        for (uint32_t x = 0; x < w; ++x) {
            const float fx = std::max(0.f, (x - 0.5f) / 2);
            const uint32_t x0 = std::min(uint32_t(fx), cw - 1), x1 = std::min(x0 + 1, cw - 1);
            const float ax = fx - x0;
            auto sample = [&](const uint8_t* p) {
                const float top = p[size_t(y0) * cw + x0] * (1 - ax) + p[size_t(y0) * cw + x1] * ax;
                const float bottom = p[size_t(y1) * cw + x0] * (1 - ax) + p[size_t(y1) * cw + x1] * ax;
                return top * (1 - ay) + bottom * ay - 128.f;
            };
            const float yy = Y[size_t(y) * w + x], cb = sample(Cb), cr = sample(Cr);
            uint8_t* d = &img.px8[(size_t(y) * w + x) * 3];
            d[0] = clamp8(yy + 1.402f * cr);
            d[1] = clamp8(yy - 0.344136f * cb - 0.714136f * cr);
            d[2] = clamp8(yy + 1.772f * cb);
        }
    }
    img.ycc420.clear();
    img.ycc420.shrink_to_fit();
}

void to8Bit(Image& img) {
    if (img.bits == 8) return;
    img.px8.resize(img.px16.size());
    for (size_t i = 0; i < img.px16.size(); ++i)
        img.px8[i] = uint8_t((uint32_t(img.px16[i]) * 255 + 32767) / 65535);
    img.px16.clear();
    img.px16.shrink_to_fit();
    img.bits = 8;
}

namespace {

template <typename T>
void flatten(std::vector<T>& px, size_t n, uint64_t maxv) {
    T* p = px.data();
    for (size_t i = 0; i < n; ++i) {
        const uint64_t a = p[i * 4 + 3];
        for (int c = 0; c < 3; ++c) p[i * 3 + c] = T((p[i * 4 + c] * a + maxv * (maxv - a) + maxv / 2) / maxv);
    }
    px.resize(n * 3);
}

}  // namespace

void flattenOnWhite(Image& img) {
    if (img.channels != 4) return;
    const size_t n = size_t(img.width) * img.height;
    if (img.bits == 8) flatten(img.px8, n, 255);
    else flatten(img.px16, n, 65535);
    img.channels = 3;
}

std::optional<Chromaticities> cicpChromaticities(int primaries) {
    constexpr double d65[2] = {0.3127, 0.3290};
    Chromaticities c{};
    auto set = [&](double rx, double ry, double gx, double gy, double bx, double by, const double* w) {
        c = {{rx, ry}, {gx, gy}, {bx, by}, {w[0], w[1]}};
    };
    switch (primaries) {
        case 1: case 2: set(0.640, 0.330, 0.300, 0.600, 0.150, 0.060, d65); break;
        case 5: set(0.640, 0.330, 0.290, 0.600, 0.150, 0.060, d65); break;
        case 6: case 7: set(0.630, 0.340, 0.310, 0.595, 0.155, 0.070, d65); break;
        case 9: set(0.708, 0.292, 0.170, 0.797, 0.131, 0.046, d65); break;
        case 11: {  // DCI-P3 with the DCI white
            constexpr double dci[2] = {0.314, 0.351};
            set(0.680, 0.320, 0.265, 0.690, 0.150, 0.060, dci);
            break;
        }
        case 12: set(0.680, 0.320, 0.265, 0.690, 0.150, 0.060, d65); break;
        default: return std::nullopt;
    }
    return c;
}

std::vector<uint8_t> iccFromCicp(int primaries, int transfer) {
    const std::optional<Chromaticities> c = cicpChromaticities(primaries);
    if (!c) return {};
    const cmsCIExyYTRIPLE prim = {{c->red[0], c->red[1], 1}, {c->green[0], c->green[1], 1}, {c->blue[0], c->blue[1], 1}};
    const cmsCIExyY white = {c->white[0], c->white[1], 1.0};
    // Transfer: sRGB's piecewise curve, the BT.709 camera curve, linear or a pure gamma.
    Owned<cmsFreeToneCurve> curve;
    switch (transfer) {
        case 2: case 13: {
            const cmsFloat64Number p[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
            curve.reset(cmsBuildParametricToneCurve(nullptr, 4, p));
            break;
        }
        case 1: case 6: case 14: case 15: {
            const cmsFloat64Number p[5] = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
            curve.reset(cmsBuildParametricToneCurve(nullptr, 4, p));
            break;
        }
        case 4: curve.reset(cmsBuildGamma(nullptr, 2.2)); break;
        case 5: curve.reset(cmsBuildGamma(nullptr, 2.8)); break;
        case 8: curve.reset(cmsBuildGamma(nullptr, 1.0)); break;
        default: return {};  // PQ, HLG and the rest: no ICC v2 curve says them well
    }
    if ((primaries == 1 || primaries == 2) && (transfer == 2 || transfer == 13)) return {};  // sRGB
    cmsToneCurve* curves[3] = {curve.get(), curve.get(), curve.get()};
    ProfilePtr prof(cmsCreateRGBProfile(&white, &prim, curves));
    if (!prof) return {};
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(prof.get(), nullptr, &size) || size == 0) return {};
    std::vector<uint8_t> out(size);
    if (!cmsSaveProfileToMem(prof.get(), out.data(), &size)) return {};
    return out;
}

}  // namespace conv
