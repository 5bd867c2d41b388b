// GIF writer, read back with giflib.
#include <gif_lib.h>

#include <cmath>
#include <cstring>
#include <string>

#include "tests/converter_formats/saver_support.h"
#include "tools/convert/save_gif.h"

using namespace savetest;

namespace {

struct Gif {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel
    std::vector<bool> transparent;
    std::string xmp;  // the XMP application extension's data, as giflib sees its blocks
};

Gif readGif(const fs::path& p) {
    Gif g;
    int err = 0;
    GifFileType* f = DGifOpenFileName(p.string().c_str(), &err);
    EXPECT_NE(f, nullptr) << GifErrorString(err);
    if (!f) return g;
    EXPECT_EQ(DGifSlurp(f), GIF_OK) << GifErrorString(f->Error);
    EXPECT_EQ(f->ImageCount, 1);
    g.width = f->SWidth;
    g.height = f->SHeight;
    const SavedImage& im = f->SavedImages[0];
    EXPECT_EQ(im.ImageDesc.Width, g.width);
    EXPECT_EQ(im.ImageDesc.Height, g.height);
    const ColorMapObject* map = im.ImageDesc.ColorMap ? im.ImageDesc.ColorMap : f->SColorMap;
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(f, 0, &gcb);
    for (int i = 0; i < g.width * g.height; ++i) {
        const int idx = im.RasterBits[i];
        EXPECT_LT(idx, map->ColorCount);
        const GifColorType c = map->Colors[idx];
        g.rgb.insert(g.rgb.end(), {c.Red, c.Green, c.Blue});
        g.transparent.push_back(idx == gcb.TransparentColor);
    }
    // giflib files extension blocks before the image with it.
    for (int e = 0; e + 1 < im.ExtensionBlockCount; ++e) {
        const ExtensionBlock& b = im.ExtensionBlocks[e];
        if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 &&
            std::memcmp(b.Bytes, "XMP DataXMP", 11) == 0) {
            for (int k = e + 1; k < im.ExtensionBlockCount && im.ExtensionBlocks[k].Function == CONTINUE_EXT_FUNC_CODE; ++k) {
                g.xmp.push_back(char(im.ExtensionBlocks[k].ByteCount));  // the length byte is XMP too
                g.xmp.append(reinterpret_cast<const char*>(im.ExtensionBlocks[k].Bytes), size_t(im.ExtensionBlocks[k].ByteCount));
            }
        }
    }
    DGifCloseFile(f, &err);
    return g;
}

double meanAbsError(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i) s += std::abs(int(a[i]) - int(b[i]));
    return s / double(a.size());
}

std::vector<uint8_t> rgbOf(const conv::Image& img) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < size_t(img.width) * img.height; ++i)
        for (int c = 0; c < 3; ++c)
            out.push_back(img.bits == 8 ? img.px8[i * size_t(img.channels) + size_t(c)]
                                        : uint8_t((img.px16[i * size_t(img.channels) + size_t(c)] * 255u + 32767) / 65535));
    return out;
}

// Mean over 4x4 blocks: what the eye sees of a dithered picture.
std::vector<double> blockMeans(const std::vector<uint8_t>& rgb, int w, int h) {
    std::vector<double> m;
    for (int by = 0; by + 4 <= h; by += 4)
        for (int bx = 0; bx + 4 <= w; bx += 4)
            for (int c = 0; c < 3; ++c) {
                double s = 0;
                for (int y = by; y < by + 4; ++y)
                    for (int x = bx; x < bx + 4; ++x) s += rgb[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)];
                m.push_back(s / 16);
            }
    return m;
}

}  // namespace

TEST(SaveGif, ManyColoursComeBackCloseAndDithered) {
    TempDir dir;
    const conv::Image img = testPicture(160, 120, 3, 8, false);  // far more than 256 colours
    for (int quality : {10, 85, 100}) {
        const Gif g = readGif(save(conv::saveGif, img, dir / "out.gif", quality, true));
        ASSERT_EQ(g.width, 160);
        ASSERT_EQ(g.height, 120);
        const auto src = rgbOf(img);
        EXPECT_LT(meanAbsError(g.rgb, src), 8.0) << "quality " << quality;
        // Averaged over small blocks, dithering gets much closer still.
        const auto a = blockMeans(g.rgb, 160, 120), b = blockMeans(src, 160, 120);
        double worst = 0;
        for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
        EXPECT_LT(worst, 24.0) << "quality " << quality;
        EXPECT_TRUE(std::none_of(g.transparent.begin(), g.transparent.end(), [](bool t) { return t; }));
    }
}

TEST(SaveGif, FewColoursAreExact) {
    TempDir dir;
    conv::Image img;
    img.allocate(33, 17, 3, 8);
    for (size_t i = 0; i < img.px8.size(); ++i) img.px8[i] = uint8_t((i / 3 % 5) * 60 + (i % 3) * 3);
    const Gif g = readGif(save(conv::saveGif, img, dir / "few.gif"));
    EXPECT_EQ(g.rgb, img.px8);
}

TEST(SaveGif, AlphaBecomesTheTransparentIndex) {
    TempDir dir;
    for (int bits : {8, 16}) {
        const conv::Image img = testPicture(64, 48, 4, bits, false);
        const Gif g = readGif(save(conv::saveGif, img, dir / "alpha.gif"));
        const int maxv = bits == 8 ? 255 : 65535;
        size_t transparent = 0, opaque = 0;
        for (size_t i = 0; i < size_t(64 * 48); ++i) {
            const int a = bits == 8 ? img.px8[i * 4 + 3] : img.px16[i * 4 + 3];
            // Less than half opaque: transparent; half and more: opaque.
            ASSERT_EQ(g.transparent[i], a * 2 < maxv) << "pixel " << i << " bits " << bits;
            transparent += g.transparent[i];
            opaque += !g.transparent[i];
        }
        EXPECT_GE(transparent, size_t(32 * 24));  // the quarter, and the half-transparent rows
        EXPECT_GT(opaque, size_t(64 * 48 / 2));
    }
}

// A large picture's palette is chosen from a sample of its pixels; pixels the
// sample passes over (here every transparent one) still get the transparent
// entry, and no opaque pixel does.
TEST(SaveGif, LargePicturesTransparentWhereTheSampleDoesNotLook) {
    TempDir dir;
    conv::Image img = testPicture(2050, 2000, 4, 8, false);
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x) img.px8[(size_t(y) * img.width + x) * 4 + 3] = y % 2 && x % 2 ? 0 : 255;
    const Gif g = readGif(save(conv::saveGif, img, dir / "large.gif"));
    ASSERT_EQ(g.width, 2050);
    for (uint32_t y = 0; y < img.height; ++y)
        for (uint32_t x = 0; x < img.width; ++x)
            ASSERT_EQ(g.transparent[size_t(y) * img.width + x], y % 2 && x % 2) << x << "," << y;
    // Opaque pixels keep the picture: block means within a few levels.
    std::vector<uint8_t> src = rgbOf(img), got = g.rgb;
    for (size_t i = 0; i < g.transparent.size(); ++i)
        if (g.transparent[i])
            for (int c = 0; c < 3; ++c) got[i * 3 + size_t(c)] = src[i * 3 + size_t(c)];
    EXPECT_LT(meanAbsError(got, src), 4.0);
}

TEST(SaveGif, SixteenBitPicturesAreReducedToEight) {
    TempDir dir;
    const conv::Image img = testPicture(96, 64, 3, 16, false);
    const Gif g = readGif(save(conv::saveGif, img, dir / "deep.gif"));
    EXPECT_LT(meanAbsError(g.rgb, rgbOf(img)), 8.0);
}

TEST(SaveGif, DisplayP3PixelsAreConvertedToSrgb) {
    const auto icc = displayP3();
    if (icc.empty()) GTEST_SKIP() << DISPLAY_P3_ICC << " is missing (argyll-ref, installed by scripts/deps)";
    TempDir dir;
    const conv::Image img = p3Picture(icc);
    const Gif g = readGif(save(conv::saveGif, img, dir / "p3.gif"));
    const auto expected = p3ToSrgb8(icc, img.px8);
    // Four colours only: the palette holds them exactly.
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(g.rgb[i], expected[i], 1) << i;
}

TEST(SaveGif, XmpTravelsInItsApplicationExtension) {
    TempDir dir;
    conv::Image img = testPicture(20, 10, 3, 8);
    const std::string xmp =
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
        "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'/></x:xmpmeta><?xpacket end='w'?>";
    img.xmp.assign(xmp.begin(), xmp.end());
    const fs::path p = save(conv::saveGif, img, dir / "xmp.gif");
    const Gif g = readGif(p);  // the trailer keeps the block structure readable
    ASSERT_EQ(g.width, 20);
    EXPECT_EQ(g.xmp.substr(0, xmp.size()), xmp);
    // Then the 258-byte trailer: 1, 255, 254, ..., 0 and the terminator.
    const auto bytes = readBytes(p);
    const std::string file(bytes.begin(), bytes.end());
    const size_t at = file.find(xmp);
    ASSERT_NE(at, std::string::npos);
    const size_t t = at + xmp.size();
    ASSERT_LT(t + 258, bytes.size());
    EXPECT_EQ(bytes[t], 1);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(bytes[t + 1 + size_t(i)], 255 - i);
    EXPECT_EQ(bytes[t + 257], 0);
}

TEST(SaveGif, TooLargeForTheFormat) {
    TempDir dir;
    conv::Image img;
    img.allocate(70000, 1, 3, 8);
    try {
        save(conv::saveGif, img, dir / "wide.gif");
        ADD_FAILURE() << "a GIF wider than 65535 was written";
    } catch (const conv::ConvertError& e) {
        EXPECT_EQ(e.code, conv::kExitInput);
        EXPECT_NE(e.message.find("wide.gif"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "wide.gif"));
}

TEST(SaveGif, QualityChoosesTheQuantiserSpeed) {
    EXPECT_EQ(conv::gifQuantiserSpeed(85, false), conv::gifQuantiserSpeed(85, true));
    EXPECT_LT(conv::gifQuantiserSpeed(100, true), conv::gifQuantiserSpeed(85, true));
    EXPECT_GT(conv::gifQuantiserSpeed(10, true), conv::gifQuantiserSpeed(85, true));
    for (int q = 1; q <= 100; ++q) {
        EXPECT_GE(conv::gifQuantiserSpeed(q, true), 1);
        EXPECT_LE(conv::gifQuantiserSpeed(q, true), 10);
    }
}
