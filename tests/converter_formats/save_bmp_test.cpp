// BMP writer, read back by hand from the byte layout Windows defines.
#include <cstring>

#include "tests/converter_formats/saver_support.h"
#include "tools/convert/save_bmp.h"

using namespace savetest;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// The pixels of a bottom-up 24- or 32-bit BMP as top-down RGB(A).
struct Bmp {
    uint32_t width = 0, height = 0, infoSize = 0, compression = 0;
    uint16_t bpp = 0;
    std::vector<uint8_t> rgba;  // 3 or 4 bytes per pixel, top row first
};

Bmp parse(const std::vector<uint8_t>& f) {
    Bmp b;
    EXPECT_GE(f.size(), 54u);
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(le32(f, 2), f.size());
    const uint32_t dataOffset = le32(f, 10);
    b.infoSize = le32(f, 14);
    b.width = le32(f, 18);
    const int32_t h = int32_t(le32(f, 22));
    EXPECT_GT(h, 0) << "rows are stored bottom-up";
    b.height = uint32_t(h);
    EXPECT_EQ(le16(f, 26), 1);
    b.bpp = le16(f, 28);
    b.compression = le32(f, 30);
    const size_t bytesPP = b.bpp / 8;
    const size_t stride = (size_t(b.width) * bytesPP + 3) / 4 * 4;
    EXPECT_EQ(le32(f, 34), stride * b.height);
    EXPECT_EQ(dataOffset + stride * b.height, f.size());
    for (uint32_t y = 0; y < b.height; ++y) {
        const uint8_t* row = f.data() + dataOffset + stride * (b.height - 1 - y);
        for (uint32_t x = 0; x < b.width; ++x) {
            const uint8_t* p = row + x * bytesPP;
            b.rgba.insert(b.rgba.end(), {p[2], p[1], p[0]});
            if (bytesPP == 4) b.rgba.push_back(p[3]);
        }
        for (size_t pad = b.width * bytesPP; pad < stride; ++pad) EXPECT_EQ(row[pad], 0) << "padding";
    }
    return b;
}

}  // namespace

TEST(SaveBmp, TwentyFourBitRowsArePaddedAndExact) {
    TempDir dir;
    // Widths 1, 5, 6, 7 have 1, 3, 2 and 3 padding bytes; 8 none.
    for (uint32_t w : {1u, 5u, 6u, 7u, 8u}) {
        const conv::Image img = testPicture(w, 3, 3, 8);
        const auto f = readBytes(save(conv::saveBmp, img, dir / "out.bmp"));
        const Bmp b = parse(f);
        EXPECT_EQ(b.infoSize, 40u);
        EXPECT_EQ(b.bpp, 24);
        EXPECT_EQ(b.compression, 0u);
        EXPECT_EQ(b.width, w);
        EXPECT_EQ(b.height, 3u);
        EXPECT_EQ(b.rgba, img.px8) << "width " << w;
    }
}

TEST(SaveBmp, AlphaGoesIntoThirtyTwoBitsWithAV5Header) {
    TempDir dir;
    const conv::Image img = testPicture(13, 9, 4, 8);
    const auto f = readBytes(save(conv::saveBmp, img, dir / "out.bmp"));
    const Bmp b = parse(f);
    EXPECT_EQ(b.infoSize, 124u);
    EXPECT_EQ(b.bpp, 32);
    EXPECT_EQ(b.compression, 3u);  // BI_BITFIELDS
    EXPECT_EQ(le32(f, 54), 0x00ff0000u);
    EXPECT_EQ(le32(f, 58), 0x0000ff00u);
    EXPECT_EQ(le32(f, 62), 0x000000ffu);
    EXPECT_EQ(le32(f, 66), 0xff000000u);
    EXPECT_EQ(le32(f, 70), 0x73524742u);  // 'sRGB'
    EXPECT_EQ(b.rgba, img.px8);  // straight alpha, colours untouched
}

TEST(SaveBmp, SixteenBitsAreRoundedToEight) {
    TempDir dir;
    const conv::Image img = testPicture(10, 4, 3, 16);
    const Bmp b = parse(readBytes(save(conv::saveBmp, img, dir / "out.bmp")));
    ASSERT_EQ(b.rgba.size(), img.px16.size());
    for (size_t i = 0; i < b.rgba.size(); ++i)
        ASSERT_EQ(b.rgba[i], (uint32_t(img.px16[i]) * 255 + 32767) / 65535) << i;
}

TEST(SaveBmp, DisplayP3PixelsAreConvertedToSrgb) {
    const auto icc = displayP3();
    if (icc.empty()) GTEST_SKIP() << DISPLAY_P3_ICC << " is missing (argyll-ref, installed by scripts/deps)";
    TempDir dir;
    const conv::Image img = p3Picture(icc);
    const Bmp b = parse(readBytes(save(conv::saveBmp, img, dir / "out.bmp")));
    const auto expected = p3ToSrgb8(icc, img.px8);
    int moved = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(b.rgba[i], expected[i], 1) << i;
        moved = std::max(moved, std::abs(int(expected[i]) - int(img.px8[i])));
    }
    EXPECT_GT(moved, 10) << "the test colours must change in the conversion";
}

TEST(SaveBmp, TooLargeForTheFormat) {
    TempDir dir;
    conv::OutFile out((dir / "big.bmp").string());
    EXPECT_NO_THROW(conv::bmpHeaders(30000, 30000, true, out));  // 3.6 GB: still fits
    try {
        conv::bmpHeaders(40000, 30000, true, out);  // 4.8 GB
        ADD_FAILURE() << "accepted a BMP over 4 GB";
    } catch (const conv::ConvertError& e) {
        EXPECT_EQ(e.code, conv::kExitInput);
        EXPECT_NE(e.message.find("big.bmp"), std::string::npos);
    }
}
