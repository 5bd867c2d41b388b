// The committed picture files have the formats and sizes the window is built around.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& name) {
    std::ifstream in(std::string(TESS_RESOURCES_DIR) + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

unsigned U16le(const std::vector<std::uint8_t>& b, std::size_t at) { return b.at(at) | (b.at(at + 1) << 8); }
unsigned U16be(const std::vector<std::uint8_t>& b, std::size_t at) { return (b.at(at) << 8) | b.at(at + 1); }
std::uint32_t U32le(const std::vector<std::uint8_t>& b, std::size_t at) {
    return U16le(b, at) | (static_cast<std::uint32_t>(U16le(b, at + 2)) << 16);
}

struct JpegFrame {
    int marker = 0;  // 0xC0 baseline, 0xC2 progressive, ...
    unsigned width = 0, height = 0, components = 0;
};

// Walks the marker segments up to the first frame header.
JpegFrame FirstFrame(const std::vector<std::uint8_t>& b) {
    JpegFrame f;
    if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return f;
    std::size_t at = 2;
    while (at + 4 <= b.size() && b[at] == 0xFF) {
        const int marker = b[at + 1];
        const unsigned length = U16be(b, at + 2);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            f.marker = marker;
            f.height = U16be(b, at + 5);
            f.width = U16be(b, at + 7);
            f.components = b.at(at + 9);
            return f;
        }
        at += 2 + length;
    }
    return f;
}

TEST(Resources, BackgroundsAreBaselineJpegsOfTheirFixedSizes) {
    const struct {
        const char* name;
        std::size_t bytes;
    } files[] = {{"back_normal.jpg", 18583}, {"back_highlight.jpg", 19758}};
    for (const auto& file : files) {
        SCOPED_TRACE(file.name);
        const auto b = ReadFile(file.name);
        EXPECT_EQ(b.size(), file.bytes);
        const JpegFrame f = FirstFrame(b);
        EXPECT_EQ(f.marker, 0xC0);  // baseline
        EXPECT_EQ(f.width, 476u);
        EXPECT_EQ(f.height, 245u);
        EXPECT_EQ(f.components, 3u);
        ASSERT_GE(b.size(), 2u);
        EXPECT_EQ(b[b.size() - 2], 0xFF);
        EXPECT_EQ(b[b.size() - 1], 0xD9);  // ends with the end-of-image marker
    }
}

TEST(Resources, LinkCursorIsOneMonochrome32PixelImageWithItsHotSpot) {
    const auto b = ReadFile("link.cur");
    ASSERT_EQ(b.size(), 326u);
    EXPECT_EQ(U16le(b, 2), 2u);  // cursor
    EXPECT_EQ(U16le(b, 4), 1u);  // one image
    EXPECT_EQ(b[6], 32);
    EXPECT_EQ(b[7], 32);
    EXPECT_EQ(U16le(b, 10), 6u);  // hot spot column
    EXPECT_EQ(U16le(b, 12), 0u);  // hot spot row
    const std::uint32_t offset = U32le(b, 18);
    EXPECT_EQ(U32le(b, 14) + offset, b.size());
    EXPECT_EQ(U32le(b, offset + 4), 32u);       // width
    EXPECT_EQ(U32le(b, offset + 8), 64u);       // colour and mask planes
    EXPECT_EQ(U16le(b, offset + 14), 1u);       // 1 bit per pixel
}

TEST(Resources, IconHoldsTwelveUncompressedImages) {
    const auto b = ReadFile("tessaline.ico");
    ASSERT_EQ(b.size(), 1465638u);
    EXPECT_EQ(U16le(b, 2), 1u);  // icon
    ASSERT_EQ(U16le(b, 4), 12u);
    const struct {
        std::uint32_t side, bpp;
    } expected[] = {{16, 8},  {24, 8},  {32, 8},  {48, 8},   {128, 8},  {16, 32},
                    {24, 32}, {32, 32}, {48, 32}, {128, 32}, {256, 32}, {512, 32}};
    std::size_t end = 6 + 16 * 12;
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        const std::size_t entry = 6 + 16 * i;
        const std::uint32_t size = U32le(b, entry + 8), offset = U32le(b, entry + 12);
        EXPECT_EQ(offset, end);  // images follow one another without gaps
        end = offset + size;
        EXPECT_EQ(U32le(b, offset), 40u);  // BITMAPINFOHEADER, not PNG
        EXPECT_EQ(U32le(b, offset + 4), expected[i].side);
        EXPECT_EQ(U32le(b, offset + 8), 2 * expected[i].side);
        EXPECT_EQ(U16le(b, offset + 14), expected[i].bpp);
        EXPECT_EQ(U32le(b, offset + 16), 0u);  // BI_RGB
        const std::uint32_t side = expected[i].side;
        const std::uint32_t palette = expected[i].bpp == 8 ? 1024 : 0;
        const std::uint32_t mask = ((side + 31) / 32) * 4 * side;
        EXPECT_EQ(size, 40 + palette + side * side * expected[i].bpp / 8 + mask);
    }
    EXPECT_EQ(end, b.size());
}

}  // namespace
