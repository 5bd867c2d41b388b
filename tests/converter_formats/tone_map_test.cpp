// Tone mapping of Radiance pictures: exposure, roll-off, colour, and loadHdr
// on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "tests/converter_formats/hdr_writer.h"
#include "tools/convert/colour.h"
#include "tools/convert/hdr_reader.h"
#include "tools/convert/hdr_tone_map.h"

using namespace hdrtest;

namespace {

conv::Image load(const std::vector<uint8_t>& bytes, int threads = 2) {
    conv::InputFile in{"tone.hdr", bytes};
    conv::LoadOptions opt;
    opt.threads = threads;
    return conv::loadHdr(in, opt);
}

conv::Image loadPicture(const Picture& p, const Options& o = {}) { return load(write(p, o)); }

Picture uniform(uint32_t w, uint32_t h, Px px) { return Picture{w, h, std::vector<Px>(size_t(w) * h, px)}; }

double srgbEncode(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

uint16_t sample(const conv::Image& img, uint32_t x, uint32_t y, int c) {
    return img.px16[(size_t(y) * img.width + x) * 3 + size_t(c)];
}

}  // namespace

TEST(ToneMap, OutputIsSixteenBitSrgbWithoutProfile) {
    const conv::Image img = loadPicture(uniform(9, 4, grey(0.5)));
    EXPECT_EQ(img.width, 9u);
    EXPECT_EQ(img.height, 4u);
    EXPECT_EQ(img.channels, 3);
    EXPECT_EQ(img.bits, 16);
    EXPECT_EQ(img.px16.size(), 9u * 4 * 3);
    EXPECT_TRUE(img.icc.empty());
}

TEST(ToneMap, EvenlyLitSceneLandsOnMidGreyWhateverItsAbsoluteLevel) {
    // Display mid-grey: 18 % linear, sRGB 118 of 255.
    const double expected = srgbEncode(0.18) * 65535;
    for (double level : {1e-4, 0.05, 1.0, 30.0, 5e4}) {
        const conv::Image img = loadPicture(uniform(32, 8, grey(level)));
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(sample(img, 5, 3, c), expected, 0.01 * 65535) << level;
    }
}

TEST(ToneMap, SmallBrightLightsDoNotDarkenTheScene) {
    // A grey room with a few lamp pixels 5000 times brighter (0.2 % of the
    // picture): the room keeps its exposure, the lamps go white.
    Picture room = uniform(100, 50, grey(0.3));
    const Picture plain = room;
    for (int i = 0; i < 10; ++i) room.px[size_t(i) * 491 + 7] = grey(1500.0);
    const conv::Image lit = loadPicture(room), bare = loadPicture(plain);
    EXPECT_NEAR(sample(lit, 50, 25, 1), sample(bare, 50, 25, 1), 0.03 * 65535);
    EXPECT_GE(sample(lit, 7, 0, 1), 65000);
}

TEST(ToneMap, SmoothGradientIsMonotonicAndKeepsItsHighlights) {
    // Eight stops from left to right, finer than the RGBE quantisation steps.
    const uint32_t w = 2000;
    Picture ramp{w, 2, {}};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < w; ++x) ramp.px.push_back(grey(0.01 * std::exp2(8.0 * x / (w - 1))));
    const conv::Image img = loadPicture(ramp);
    size_t distinct = 1;
    for (uint32_t x = 1; x < w; ++x) {
        ASSERT_GE(sample(img, x, 0, 1), sample(img, x - 1, 0, 1)) << x;
        distinct += sample(img, x, 0, 1) != sample(img, x - 1, 0, 1);
    }
    // Only the brightest half per cent or so reaches white; the rest of the
    // range is rolled off, not clipped, and stays resolved.
    size_t white = 0;
    for (uint32_t x = 0; x < w; ++x) white += sample(img, x, 0, 1) >= 65535;
    EXPECT_LE(white, w / 100);
    EXPECT_LT(sample(img, w * 98 / 100, 0, 1), 65535);
    EXPECT_GT(sample(img, w * 98 / 100, 0, 1), 0.9 * 65535);
    EXPECT_LT(sample(img, 0, 0, 1), 0.2 * 65535);  // the dark end stays dark
    EXPECT_GT(distinct, 600u);  // 8-bit RGBE has ~ 8 * 128 levels over 8 stops
}

TEST(ToneMap, CurveRisesSmoothlyToWhite) {
    for (float white : {1.5f, 4.0f, 100.0f}) {
        EXPECT_FLOAT_EQ(conv::toneCurve(0.0f, white), 0.0f);
        EXPECT_FLOAT_EQ(conv::toneCurve(white, white), 1.0f);
        EXPECT_FLOAT_EQ(conv::toneCurve(white * 10, white), 1.0f);
        EXPECT_NEAR(conv::toneCurve(1e-4f, white) / 1e-4f, 1.0f, 1e-3);  // linear in the shadows
        float prev = 0;
        for (int i = 1; i <= 1000; ++i) {
            const float x = white * float(i) / 1000;
            const float y = conv::toneCurve(x, white);
            ASSERT_GT(y, prev);
            ASSERT_LE((y - prev) / (white / 1000), 1.0001f);  // never steeper than the identity
            prev = y;
        }
    }
}

TEST(ToneMap, ChosenExposureMatchesTheRule) {
    // Half the picture at L, half at 16 L: key = 4 L, r = 4 at its bright end,
    // below the minimum range, so white is held at 1.5 and the key maps to 0.18.
    Picture p{64, 4, {}};
    for (int i = 0; i < 256; ++i) p.px.push_back(grey(i % 2 ? 2.0 : 0.125));
    conv::RadiancePicture r;
    {
        const auto bytes = write(p);
        conv::LoadOptions opt;
        r = conv::decodeRadiance(bytes.data(), bytes.size(), "rule.hdr", opt);
    }
    const conv::ToneMapping tm = conv::chooseToneMapping(r);
    EXPECT_NEAR(tm.white, 1.5f, 1e-4);
    const double key = std::sqrt(0.125 * 2.0) * (1 + 0.5 / 128);  // RGBE stores mantissa + 0.5
    EXPECT_NEAR(conv::toneCurve(float(tm.gain * key), tm.white), 0.18, 0.005);

    // A wide range: the 99.5th percentile lands exactly on white.
    Picture wide{100, 10, {}};
    for (int i = 0; i < 1000; ++i) wide.px.push_back(grey(i < 990 ? 0.1 : 400.0));
    const auto bytes = write(wide);
    conv::LoadOptions opt;
    const auto rw = conv::decodeRadiance(bytes.data(), bytes.size(), "rule.hdr", opt);
    const auto tw = conv::chooseToneMapping(rw);
    EXPECT_GT(tw.white, 10.0f);
    EXPECT_NEAR(tw.gain * 400.0 * (1 + 0.5 / 200), tw.white, 0.02 * tw.white);
}

TEST(ToneMap, ColourIsKeptAndBrightColoursFadeTowardsWhite) {
    // A mid-grey scene with an orange patch and a bright red one whose red
    // channel alone would go far past white.
    Picture p = uniform(100, 50, grey(0.2));
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x) {
            p.px[size_t(y) * 100 + x] = rgb(0.3, 0.15, 0.03);
            p.px[size_t(y + 10) * 100 + x + 20] = rgb(3.0, 0.3, 0.3);
        }
    const conv::Image img = loadPicture(p);
    // Orange stays orange: channel order and rough ratios kept.
    const double r = sample(img, 1, 1, 0), g = sample(img, 1, 1, 1), b = sample(img, 1, 1, 2);
    EXPECT_GT(r, g);
    EXPECT_GT(g, b);
    EXPECT_GT(b, 0);
    // The bright red: its hue survives (red strongest), no channel wraps, and
    // it is lighter than plain red (pulled towards white, not clipped to 255,0,0).
    const uint16_t rr = sample(img, 21, 11, 0), rg = sample(img, 21, 11, 1), rb = sample(img, 21, 11, 2);
    EXPECT_EQ(rr, 65535);
    EXPECT_GT(rr, rg);
    EXPECT_GT(rg, 0.3 * 65535);
    EXPECT_NEAR(rg, rb, 0.01 * 65535);
}

TEST(ToneMap, ExposureAndColourCorrectionLinesAreUndone) {
    // The same scene written once plainly and once with every pixel multiplied
    // as EXPOSURE= 4 and COLORCORR= 1 2 0.5 record: identical output.
    Picture plain{30, 3, {}}, recorded{30, 3, {}};
    for (int i = 0; i < 90; ++i) {
        const double r = 0.02 + 0.01 * (i % 30), g = 0.3 - 0.008 * (i % 30), b = 0.1;
        plain.px.push_back(rgb(r, g, b));
        recorded.px.push_back(rgb(r * 4, g * 8, b * 2));
    }
    Options o;
    o.headerLines = {"EXPOSURE=4", "COLORCORR=1 2 0.5"};
    const conv::Image a = loadPicture(plain), b = load(write(recorded, o));
    ASSERT_EQ(a.px16.size(), b.px16.size());
    int worst = 0;
    for (size_t i = 0; i < a.px16.size(); ++i) worst = std::max(worst, std::abs(int(a.px16[i]) - int(b.px16[i])));
    EXPECT_LE(worst, int(0.01 * 65535));  // RGBE rounding only
    // Colour correction matters: without it the greens would differ by far more.
    const conv::Image c = loadPicture(recorded);
    int diff = 0;
    for (size_t i = 1; i < a.px16.size(); i += 3) diff = std::max(diff, std::abs(int(a.px16[i]) - int(c.px16[i])));
    EXPECT_GT(diff, int(0.03 * 65535));
}

TEST(ToneMap, XyzPicturesBecomeSrgb) {
    // Equal-energy white in XYZ is neutral; a colour with much more X than Z is
    // warm.
    Picture p = uniform(16, 2, rgb(1.0, 1.0, 1.0));
    for (uint32_t x = 8; x < 16; ++x) p.px[x] = rgb(0.6, 0.4, 0.1);
    Options o;
    o.format = "32-bit_rle_xyze";
    const conv::Image img = load(write(p, o));
    EXPECT_NEAR(sample(img, 2, 1, 0), sample(img, 2, 1, 1), 300);
    EXPECT_NEAR(sample(img, 2, 1, 2), sample(img, 2, 1, 1), 300);
    EXPECT_GT(sample(img, 10, 0, 0), sample(img, 10, 0, 1));
    EXPECT_GT(sample(img, 10, 0, 1), sample(img, 10, 0, 2));
}

TEST(ToneMap, SameResultOnAnyThreadCountAndWidth) {
    // Widths that are not multiples of the 4-pixel vector path exercise the
    // one-pixel path next to it: an even scene must come out even.
    for (uint32_t w : {1u, 5u, 7u, 259u}) {
        Picture p{w, 70, {}};
        p.px.assign(size_t(w) * 70, rgb(0.5, 0.2, 0.05));
        const conv::Image one = load(write(p), 1), two = load(write(p), 2);
        EXPECT_EQ(one.px16, two.px16);
        for (size_t i = 3; i < one.px16.size(); ++i) ASSERT_EQ(one.px16[i], one.px16[i % 3]) << "width " << w;
    }
    // A varied picture: identical on 1 and 3 threads.
    Picture v{123, 77, {}};
    for (uint32_t i = 0; i < 123 * 77; ++i) v.px.push_back(rgb(0.001 * (i % 97), 0.002 * (i % 31), 0.05 * (i % 7)));
    EXPECT_EQ(load(write(v), 1).px16, load(write(v), 3).px16);
}

TEST(ToneMap, BlackPictureStaysBlack) {
    const conv::Image img = loadPicture(uniform(12, 3, Px{}));
    EXPECT_TRUE(std::all_of(img.px16.begin(), img.px16.end(), [](uint16_t v) { return v == 0; }));
}

TEST(ToneMap, RealFilesComeOutWellExposed) {
    const auto files = realHdrFiles();
    if (files.empty()) GTEST_SKIP() << kNoRealHdrFiles;
    for (const std::string& path : files) {
        conv::InputFile in{path, conv::readWholeFile(path)};
        const conv::Image img = conv::loadHdr(in, conv::LoadOptions{});
        // Mean brightness in the middle of the range, few pixels clipped to
        // white or crushed to black.
        double sum = 0;
        size_t white = 0, black = 0;
        for (uint16_t v : img.px16) {
            sum += v;
            white += v >= 65535;
            black += v == 0;
        }
        const double mean = sum / double(img.px16.size()) / 65535;
        EXPECT_GT(mean, 0.25) << path;
        EXPECT_LT(mean, 0.75) << path;
        EXPECT_LT(double(white) / double(img.px16.size()), 0.03) << path;
        EXPECT_LT(double(black) / double(img.px16.size()), 0.01) << path;
    }
}

TEST(ToneMap, StreamedAndWholeDecodingAgree) {
    // Run-length files with rows left to right are decoded row by row straight
    // into the output; flat, old-style, right-to-left and column-ordered files
    // are decoded whole first (on several threads when run-length). The same
    // scene must come out the same in every one of the eight orders.
    Picture v{300, 90, {}};
    for (uint32_t i = 0; i < 300 * 90; ++i)
        v.px.push_back(rgb(0.002 * (i % 89) + 0.001, 0.003 * (i % 37) + 0.001, 0.04 * (i % 5) + 0.01));
    const conv::Image streamed = load(write(v));
    for (const char* res : {"-Y +X", "-Y -X", "+Y +X", "+Y -X", "+X -Y", "+X +Y", "-X -Y", "-X +Y"}) {
        Options o;
        o.resolution = res;
        const conv::Image got = load(write(v, o));
        EXPECT_EQ(got.width, 300u) << res;
        EXPECT_EQ(got.px16, streamed.px16) << res;
    }
    for (Encoding enc : {Encoding::Flat, Encoding::OldRle}) {
        Options o;
        o.encoding = enc;
        EXPECT_EQ(load(write(v, o)).px16, streamed.px16) << int(enc);
    }
    EXPECT_EQ(load(write(v), 1).px16, streamed.px16);
}

TEST(ToneMap, JpegPlanesMatchTheRgbResult) {
    // When the caller takes YCbCr 4:2:0 (a JPEG on its way), the planes turned
    // back into RGB match the 16-bit result within the rounding of 8 bits and
    // the chroma halving (small on a smooth scene). Odd sizes: a lone last row
    // and column.
    for (uint32_t w : {64u, 65u}) {
        const uint32_t h = w == 64 ? 40 : 41;
        Picture p{w, h, {}};
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) p.px.push_back(rgb(0.05 + 0.01 * x, 0.02 + 0.012 * y, 0.3 - 0.002 * (x + y)));
        const auto bytes = write(p);
        conv::InputFile in{"planes.hdr", bytes};
        conv::LoadOptions opt;
        opt.threads = 2;
        const conv::Image deep = conv::loadHdr(in, opt);
        opt.allowYcc420 = true;
        conv::Image planes = conv::loadHdr(in, opt);
        ASSERT_TRUE(planes.isYcc420());
        EXPECT_EQ(planes.bits, 8);
        EXPECT_EQ(planes.ycc420.size(), size_t(w) * h + 2 * size_t((w + 1) / 2) * ((h + 1) / 2));
        conv::expandYcc420(planes);
        ASSERT_EQ(planes.px8.size(), deep.px16.size());
        double sum = 0;
        int worst = 0;
        for (size_t i = 0; i < deep.px16.size(); ++i) {
            const int d = std::abs(int(planes.px8[i]) - int((deep.px16[i] * 255u + 32767) / 65535));
            sum += d;
            worst = std::max(worst, d);
        }
        EXPECT_LT(sum / double(deep.px16.size()), 1.5) << w;
        EXPECT_LE(worst, 6) << w;
    }
}
