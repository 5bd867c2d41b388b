// Pixel and metadata operations: orientation, EXIF, resampling, colour.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <utility>

#include "tools/convert/bytes.h"
#include "tools/convert/colour.h"
#include "tools/convert/exif.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/hdr_transfer.h"
#include "tools/convert/orient.h"
#include "tools/convert/resize.h"

using namespace conv;

namespace {

// A 3x2 picture whose pixels hold their own index: 0 1 2 / 3 4 5.
Image numbered(int bits) {
    Image img;
    img.allocate(3, 2, 3, bits);
    for (int i = 0; i < 6; ++i)
        for (int c = 0; c < 3; ++c) {
            if (bits == 8) img.px8[i * 3 + c] = uint8_t(i * 10 + c);
            else img.px16[i * 3 + c] = uint16_t(i * 1000 + c);
        }
    return img;
}

std::vector<int> order(const Image& img) {
    std::vector<int> r;
    for (size_t i = 0; i < size_t(img.width) * img.height; ++i)
        r.push_back(img.bits == 8 ? img.px8[i * 3] / 10 : img.px16[i * 3] / 1000);
    return r;
}

struct Turn {
    int orientation;
    uint32_t w, h;
    std::vector<int> pixels;
};

void PrintTo(const Turn& t, std::ostream* os) { *os << "orientation " << t.orientation; }

class Orientation : public ::testing::TestWithParam<Turn> {};

TEST_P(Orientation, MovesEveryPixelWhereExifSays) {
    for (int bits : {8, 16}) {
        Image img = numbered(bits);
        applyOrientation(img, GetParam().orientation);
        EXPECT_EQ(img.width, GetParam().w);
        EXPECT_EQ(img.height, GetParam().h);
        EXPECT_EQ(order(img), GetParam().pixels) << "bits " << bits;
        // The channels of a pixel travel together.
        EXPECT_EQ(bits == 8 ? img.px8[1] - img.px8[0] : img.px16[1] - img.px16[0], 1);
    }
}

INSTANTIATE_TEST_SUITE_P(AllEight, Orientation,
                         ::testing::Values(Turn{1, 3, 2, {0, 1, 2, 3, 4, 5}}, Turn{2, 3, 2, {2, 1, 0, 5, 4, 3}},
                                           Turn{3, 3, 2, {5, 4, 3, 2, 1, 0}}, Turn{4, 3, 2, {3, 4, 5, 0, 1, 2}},
                                           Turn{5, 2, 3, {0, 3, 1, 4, 2, 5}}, Turn{6, 2, 3, {3, 0, 4, 1, 5, 2}},
                                           Turn{7, 2, 3, {5, 2, 4, 1, 3, 0}}, Turn{8, 2, 3, {2, 5, 1, 4, 0, 3}},
                                           Turn{0, 3, 2, {0, 1, 2, 3, 4, 5}}, Turn{9, 3, 2, {0, 1, 2, 3, 4, 5}}));

TEST(Exif, BuiltBlockReadsBackAndOrientationCanBeRewritten) {
    ShotInfo s;
    s.make = "Canon";
    s.model = "EOS 30D";
    s.dateTime = "2009:07:21 13:03:20";
    s.exposureTime = 1 / 400.0;
    s.hasGps = true;
    std::vector<uint8_t> t = buildExif(s);
    ASSERT_TRUE(normaliseExif(t));
    EXPECT_EQ(exifOrientation(t), 1);
    EXPECT_TRUE(setExifOrientation(t, 6));
    EXPECT_EQ(exifOrientation(t), 6);
}

TEST(Exif, BigEndianBlocksAndTheJpegPrefix) {
    // "Exif\0\0", MM header, IFD0 at 8 with one entry: Orientation = 8.
    std::vector<uint8_t> b = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1,
                              0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(normaliseExif(b));
    EXPECT_EQ(b[0], 'M');
    EXPECT_EQ(exifOrientation(b), 8);
    EXPECT_TRUE(setExifOrientation(b, 1));
    EXPECT_EQ(exifOrientation(b), 1);
    EXPECT_EQ(b[16], 0);
    EXPECT_EQ(b[17], 1);
}

// A little-endian TIFF structure: IFD0 with Make and the EXIF pointer, then an
// EXIF directory with ExposureProgram and the given maker note.
std::vector<uint8_t> tiffWithMakerNote(const std::vector<uint8_t>& note) {
    std::vector<TiffEntry> ifd0 = {{271, 2, 6, {'N', 'I', 'K', 'O', 'N', 0}}, {kTagExifIfd, 4, 1, {0, 0, 0, 0}}};
    const uint32_t exifAt = uint32_t(8 + ((serialiseIfd(ifd0, false, false, 8).size() + 1) & ~size_t(1)));
    write32(ifd0[1].value.data(), exifAt, false);
    const std::vector<TiffEntry> exif = {{0x8822, 3, 1, {1, 0}}, {0x927C, 7, uint32_t(note.size()), note}};
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const std::vector<uint8_t> a = serialiseIfd(ifd0, false, false, 8), b = serialiseIfd(exif, false, false, exifAt);
    out.insert(out.end(), a.begin(), a.end());
    out.resize(exifAt, 0);
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

TEST(Exif, MakerNotesMoveOnlyWhenSelfContainedAndTheBlockStillFitsAJpeg) {
    std::vector<uint8_t> nikon = {'N', 'i', 'k', 'o', 'n', 0, 2, 0x10, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8};
    nikon.resize(200, 0);
    const std::vector<uint8_t> canon(200, 7);  // an IFD whose offsets count from the raw file's start
    std::vector<uint8_t> hugeNikon = nikon;
    hugeNikon.resize(kMaxJpegExif, 0);
    for (const auto& [source, kept] : {std::pair{nikon, true}, std::pair{canon, false}, std::pair{hugeNikon, false}}) {
        const std::vector<uint8_t> block = exifFromTiffFile(tiffWithMakerNote(source), MakerNotes::SelfContainedOnly);
        const ExifParts parts = parseExif(block);
        ASSERT_NE(findEntry(parts.exif, 0x8822), nullptr) << "the rest of the EXIF stays";
        const TiffEntry* note = findEntry(parts.exif, 0x927C);
        EXPECT_EQ(note != nullptr, kept);
        if (kept && note) {
            EXPECT_EQ(note->value, source);
        }
        EXPECT_LE(block.size(), kMaxJpegExif);
    }
    const ExifParts asFound = parseExif(exifFromTiffFile(tiffWithMakerNote(canon)));
    EXPECT_NE(findEntry(asFound.exif, 0x927C), nullptr) << "TIFF input keeps notes as found";
}

TEST(Exif, MalformedBlocksAreLeftAloneWithoutReadingPastTheEnd) {
    std::vector<uint8_t> notTiff = {'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0};
    EXPECT_FALSE(normaliseExif(notTiff));
    EXPECT_EQ(exifOrientation(notTiff), 0);
    // IFD offset far beyond the end; entry count larger than the block.
    std::vector<uint8_t> far = {'I', 'I', 42, 0, 0xff, 0xff, 0, 0};
    EXPECT_EQ(exifOrientation(far), 0);
    EXPECT_FALSE(setExifOrientation(far, 1));
    std::vector<uint8_t> many = {'I', 'I', 42, 0, 8, 0, 0, 0, 0xff, 0xff, 0x12, 0x01};
    EXPECT_EQ(exifOrientation(many), 0);
}

TEST(Resize, FlatPictureStaysFlatAtEveryDepthAndChannelCount) {
    for (int bits : {8, 16})
        for (int ch : {3, 4}) {
            Image img;
            img.allocate(101, 67, ch, bits);
            const uint16_t v = bits == 8 ? 200 : 51234;
            for (size_t i = 0; i < img.sampleCount(); ++i)
                if (bits == 8) img.px8[i] = uint8_t(v); else img.px16[i] = v;
            for (auto [w, h] : {std::pair{40u, 27u}, std::pair{250u, 166u}, std::pair{1u, 1u}}) {
                Image r = img;
                resizeImage(r, w, h, 2);
                ASSERT_EQ(r.width, w);
                ASSERT_EQ(r.height, h);
                ASSERT_EQ(r.sampleCount(), size_t(w) * h * ch);
                for (size_t i = 0; i < r.sampleCount(); ++i)
                    ASSERT_EQ(bits == 8 ? r.px8[i] : r.px16[i], v) << bits << "/" << ch << " at " << i;
            }
        }
}

TEST(Resize, TransparentPixelsDoNotBleedTheirColour) {
    // Left half opaque red, right half fully transparent green.
    Image img;
    img.allocate(64, 8, 4, 8);
    for (uint32_t y = 0; y < 8; ++y)
        for (uint32_t x = 0; x < 64; ++x) {
            uint8_t* p = &img.px8[(y * 64 + x) * 4];
            if (x < 32) { p[0] = 255; p[1] = 0; p[2] = 0; p[3] = 255; }
            else { p[0] = 0; p[1] = 255; p[2] = 0; p[3] = 0; }
        }
    resizeImage(img, 16, 2, 1);
    for (uint32_t x = 0; x < 16; ++x) {
        const uint8_t* p = &img.px8[x * 4];
        if (p[3] > 0) {
            EXPECT_LT(p[1], 8) << "green leaked at x=" << x;
        }
    }
}

TEST(Resize, SplittingWorkOverThreadsGivesTheSameResult) {
    Image img;
    img.allocate(300, 257, 3, 8);
    for (size_t i = 0; i < img.sampleCount(); ++i) img.px8[i] = uint8_t((i * 7919) % 251);
    Image one = img, two = img;
    resizeImage(one, 123, 97, 1);
    resizeImage(two, 123, 97, 2);
    EXPECT_EQ(one.px8, two.px8);
}

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

TEST(Colour, DisplayP3ToSrgbMatchesBetweenIccFileAndCicpProfile) {
    const std::vector<uint8_t> p3file = readFile(DISPLAY_P3_ICC);
    if (p3file.empty()) GTEST_SKIP() << "DisplayP3.icm not installed (argyll-ref)";
    const std::vector<uint8_t> p3cicp = iccFromCicp(12, 13);
    ASSERT_FALSE(p3cicp.empty());
    Image a;
    a.allocate(4, 1, 3, 8);
    const uint8_t colours[12] = {255, 0, 0, 0, 255, 0, 128, 128, 128, 200, 150, 100};
    std::copy(colours, colours + 12, a.px8.begin());
    Image b = a;
    a.icc = p3file;
    b.icc = p3cicp;
    toSRGB(a);
    toSRGB(b);
    EXPECT_TRUE(a.icc.empty());
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(a.px8[i], b.px8[i], 3) << i;
    // P3's red lies outside sRGB: it comes out as sRGB's most saturated red.
    EXPECT_EQ(a.px8[0], 255);
    EXPECT_LT(a.px8[1], 20);
    // Grey stays grey.
    EXPECT_NEAR(a.px8[6], 128, 2);
    EXPECT_EQ(a.px8[6], a.px8[7]);
}

TEST(Colour, SrgbDescriptionsNeedNoProfile) {
    EXPECT_TRUE(iccFromCicp(1, 13).empty());
    EXPECT_TRUE(iccFromCicp(2, 2).empty());
    EXPECT_TRUE(iccFromCicp(9, 16).empty());  // PQ has no ICC curve here
    EXPECT_FALSE(iccFromCicp(9, 14).empty());  // BT.2020 primaries do
}

TEST(Colour, FlattenOnWhiteAndEightBitRounding) {
    Image img;
    img.allocate(2, 1, 4, 16);
    const uint16_t px[8] = {0, 0, 0, 0, 65535, 0, 0, 32768};
    std::copy(px, px + 8, img.px16.begin());
    flattenOnWhite(img);
    ASSERT_EQ(img.channels, 3);
    EXPECT_EQ(img.px16[0], 65535);  // transparent black is white
    EXPECT_EQ(img.px16[3], 65535);
    EXPECT_NEAR(img.px16[4], 32767, 1);  // half-transparent red: pink
    to8Bit(img);
    EXPECT_EQ(img.bits, 8);
    EXPECT_EQ(img.px8[0], 255);
    EXPECT_EQ(img.px8[4], 127);  // 32767 of 65535 is 127.498 of 255
}

}  // namespace

namespace {

TEST(Colour, YccPlanesOfOddSizeExpandToTheirRgb) {
    // 5x3 picture: chroma planes are 3x2. A flat orange must come back as
    // itself, everywhere, including the last odd column and row.
    const double R = 200, G = 100, B = 50;
    const double Y = 0.299 * R + 0.587 * G + 0.114 * B;
    const double Cb = 128 - 0.168736 * R - 0.331264 * G + 0.5 * B;
    const double Cr = 128 + 0.5 * R - 0.418688 * G - 0.081312 * B;
    Image img;
    img.width = 5;
    img.height = 3;
    img.ycc420.assign(15, uint8_t(Y + 0.5));
    img.ycc420.insert(img.ycc420.end(), 6, uint8_t(Cb + 0.5));
    img.ycc420.insert(img.ycc420.end(), 6, uint8_t(Cr + 0.5));
    expandYcc420(img);
    EXPECT_FALSE(img.isYcc420());
    ASSERT_EQ(img.px8.size(), 45u);
    for (size_t i = 0; i < 15; ++i) {
        EXPECT_NEAR(img.px8[i * 3], R, 2) << i;
        EXPECT_NEAR(img.px8[i * 3 + 1], G, 2) << i;
        EXPECT_NEAR(img.px8[i * 3 + 2], B, 2) << i;
    }
}

TEST(Resize, YccPicturesAreResizedPlaneByPlane) {
    // 5x3 luma with 3x2 chroma to 3x3 luma with 2x2 chroma; each plane flat.
    Image img;
    img.width = 5;
    img.height = 3;
    img.ycc420.assign(15, 100);
    img.ycc420.insert(img.ycc420.end(), 6, 90);
    img.ycc420.insert(img.ycc420.end(), 6, 170);
    resizeImage(img, 3, 3, 2);
    ASSERT_TRUE(img.isYcc420());
    EXPECT_EQ(img.width, 3u);
    EXPECT_EQ(img.height, 3u);
    const std::vector<uint8_t> want = {100, 100, 100, 100, 100, 100, 100, 100, 100, 90, 90, 90, 90, 170, 170, 170, 170};
    EXPECT_EQ(img.ycc420, want);
}

}  // namespace

// The transfers' reference points as BT.2408 gives them: SDR white, 203 cd/m², is
// 58 % PQ, and 75 % HLG on a display of 1000 cd/m² (the OOTF's gamma 1.2).
TEST(Hdr, TransfersMeetTheirReferenceWhite) {
    EXPECT_NEAR(nitsToPq(203), 0.58, 0.001);
    EXPECT_NEAR(pqToNits(nitsToPq(203)), 203, 0.01);
    EXPECT_NEAR(pqToNits(1), 10000, 0.01);
    EXPECT_NEAR(1000 * std::pow(hlgToScene(0.75), 1.2), 203, 1.0);
    // HLG's square-root and logarithmic parts meet at 50 %.
    EXPECT_NEAR(hlgToScene(0.5 - 1e-7), hlgToScene(0.5 + 1e-7), 1e-6);
    EXPECT_NEAR(hlgToScene(1), 1, 1e-6);
}

TEST(Hdr, ToneCurveKeepsSdrLightAndRollsHighlightsSmoothlyIntoWhite) {
    for (const float peak : {0.9f, 1.2f, 4.9f, 49.0f}) {
        SCOPED_TRACE(peak);
        const float step = 1e-3f;
        float before = 0, slope = 1;
        int faults = 0;
        for (float x = step; x <= peak * 1.5f; x += step) {
            const float y = sdrToneCurve(x, peak), s = (y - before) / step;
            faults += x <= 0.8f && y != x;                  // SDR light as it is
            faults += y > std::min(x, 1.0f) + 1e-6f;         // never brighter, never past white
            faults += y < before;                            // rising
            faults += x <= peak && std::fabs(s - slope) > 0.05f;  // no kink
            before = y;
            slope = s;
        }
        EXPECT_EQ(faults, 0);
        EXPECT_NEAR(sdrToneCurve(peak, peak), std::min(peak, 1.0f), 1e-5);
    }
}

// A PQ picture in BT.2020 (16-bit coded values, as decoded): a warm colour of
// 150 cd/m², a white spot of 2000 cd/m² in the corner, and optionally BT.2020's
// own green, which no sRGB screen shows, on the right.
Image pqPicture(bool withGreen) {
    Image img;
    img.allocate(64, 32, 3, 16);
    auto code = [](double nits) { return uint16_t(std::lround(nitsToPq(nits) * 65535)); };
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) {
            uint16_t* p = &img.px16[(size_t(y) * img.width + x) * 3];
            const double warm[3] = {170, 136, 102};
            for (int c = 0; c < 3; ++c)
                p[c] = x < 4 && y < 4 ? code(2000) : withGreen && x >= 32 ? code(c == 1 ? 100 : 0) : code(warm[c]);
        }
    return img;
}

TEST(Hdr, HighlightsKeepTheirHueAndWideColoursTheirProfile) {
    Image plain = pqPicture(false);
    hdrToSdr(plain, HdrCoding{}, true, 2);
    EXPECT_TRUE(plain.icc.empty());  // all of it within sRGB
    const uint16_t* warm = &plain.px16[(size_t(8) * 64 + 8) * 3];
    EXPECT_GT(warm[0], warm[1] + 2000);
    EXPECT_GT(warm[1], warm[2] + 2000);
    EXPECT_EQ(plain.px16[0], 65535);  // the spot is white
    // The map reaches as high as the picture holds light: the spot, as far as a
    // picture without a mastering peak is taken to go (1000 cd/m²).
    ASSERT_TRUE(plain.gainMap);
    EXPECT_NEAR(plain.gainMap->maxLog2[0], std::log2(1000 / 203.0), 0.02);

    Image wide = pqPicture(true);
    hdrToSdr(wide, HdrCoding{}, false, 2);
    EXPECT_FALSE(wide.icc.empty());
    EXPECT_FALSE(wide.gainMap);
    const uint16_t* green = &wide.px16[(size_t(8) * 64 + 40) * 3];
    EXPECT_GT(green[1], green[0] + 20000);
    EXPECT_GT(green[1], green[2] + 20000);
}
