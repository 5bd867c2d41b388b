// Command-line parsing, geometry arithmetic and content sniffing.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/convert/cli.h"
#include "tools/convert/image.h"
#include "tools/convert/formats.h"

using namespace conv;

namespace {

Options parse(std::vector<std::string> a) {
    std::vector<Path> args;
    for (auto& s : a) args.push_back(fromUtf8(s));
    return parseCommandLine(args);
}

int usageCode(std::vector<std::string> a) {
    try {
        parse(std::move(a));
    } catch (const ConvertError& e) {
        EXPECT_EQ(e.message.find('\n'), std::string::npos);
        return e.code;
    }
    return 0;
}

TEST(CommandLine, TheWindowsOwnLineParses) {
    Options o = parse({"-quality", "85%", "C:\\Photos\\IMG_0001.HEIC", "-resize", "1600", "C:\\output\\IMG_0001.JPG"});
    EXPECT_EQ(o.quality, 85);
    EXPECT_TRUE(o.qualityGiven);
    EXPECT_EQ(toUtf8(o.input), "C:\\Photos\\IMG_0001.HEIC");
    EXPECT_EQ(toUtf8(o.output), "C:\\output\\IMG_0001.JPG");
    EXPECT_TRUE(o.resize.set);
    EXPECT_EQ(o.resize.width, 1600);
    EXPECT_FALSE(o.resize.onlyShrink);
}

TEST(CommandLine, QualityWithoutPercentAndDefaults) {
    Options o = parse({"a.heic", "b.png", "-quality", "40"});
    EXPECT_EQ(o.quality, 40);
    Options d = parse({"a.heic", "b.png"});
    EXPECT_EQ(d.quality, 85);
    EXPECT_FALSE(d.qualityGiven);
    EXPECT_FALSE(d.resize.set);
}

TEST(CommandLine, HelpAndVersionNeedNoFiles) {
    EXPECT_EQ(parse({"-help"}).action, Options::Action::Help);
    EXPECT_EQ(parse({"--version"}).action, Options::Action::Version);
}

TEST(CommandLine, WhatItDoesNotUnderstandIsAUsageError) {
    EXPECT_EQ(usageCode({}), kExitUsage);
    EXPECT_EQ(usageCode({"a.heic"}), kExitUsage);
    EXPECT_EQ(usageCode({"a.heic", "b.jpg", "c.jpg"}), kExitUsage);
    EXPECT_EQ(usageCode({"-quality", "a.heic", "b.jpg"}), kExitUsage);  // "a.heic" is no quality
    EXPECT_EQ(usageCode({"-quality", "", "a.heic", "b.jpg"}), kExitUsage);  // empty quality box in the window
    EXPECT_EQ(usageCode({"-quality", "8 5", "a.heic", "b.jpg"}), kExitUsage);
    EXPECT_EQ(usageCode({"-monochrome", "a.heic", "b.jpg"}), kExitUsage);
    EXPECT_EQ(usageCode({"a.heic", "-resize", "1600px", "b.jpg"}), kExitUsage);  // letters in the width box
    EXPECT_EQ(usageCode({"a.heic", "-resize", "", "b.jpg"}), kExitUsage);
    EXPECT_EQ(usageCode({"a.heic", "-resize", "0", "b.jpg"}), kExitUsage);
}

TEST(CommandLine, ImageMagicksStripAutoOrientAndDefine) {
    const Options o = parse({"-strip", "-auto-orient", "a.heic", "b.jpg"});
    EXPECT_TRUE(o.strip);
    EXPECT_EQ(toUtf8(o.output), "b.jpg");
    EXPECT_TRUE(o.gainMap);
    EXPECT_FALSE(parse({"-define", "jpeg:gain-map=false", "a.heic", "b.jpg"}).gainMap);
    EXPECT_FALSE(parse({"a.heic", "-define", "JPEG:Gain-Map=Off", "b.jpg"}).gainMap);
    EXPECT_TRUE(parse({"-define", "jpeg:gain-map=false", "+define", "jpeg:gain-map", "a", "b.jpg"}).gainMap);
    // Keys of other coders are ignored, as ImageMagick ignores them.
    EXPECT_TRUE(parse({"-define", "png:compression-level=9", "-define", "weird", "a", "b.jpg"}).gainMap);
    EXPECT_EQ(usageCode({"-define", "jpeg:gain-map=maybe", "a", "b.jpg"}), kExitUsage);
    EXPECT_EQ(usageCode({"a", "b.jpg", "-define"}), kExitUsage);
}

struct Fit {
    const char* geometry;
    uint32_t w, h;       // source
    uint32_t ow, oh;     // expected
};

void PrintTo(const Fit& f, std::ostream* os) { *os << f.geometry << " on " << f.w << "x" << f.h; }

class GeometryRules : public ::testing::TestWithParam<Fit> {};

TEST_P(GeometryRules, TargetSize) {
    Geometry g;
    ASSERT_TRUE(parseGeometry(GetParam().geometry, g));
    uint32_t w = 0, h = 0;
    targetSize(g, GetParam().w, GetParam().h, w, h);
    EXPECT_EQ(w, GetParam().ow);
    EXPECT_EQ(h, GetParam().oh);
}

INSTANTIATE_TEST_SUITE_P(
    ImageMagickConventions, GeometryRules,
    ::testing::Values(Fit{"1600", 4032, 3024, 1600, 1200}, Fit{"1600", 3024, 4032, 1600, 2133},
                      Fit{"1600", 800, 600, 1600, 1200},      // W alone enlarges too
                      Fit{"1600>", 800, 600, 800, 600}, Fit{"1600>", 4032, 3024, 1600, 1200},
                      Fit{"1600x1600", 3024, 4032, 1200, 1600}, Fit{"1600x1600>", 1000, 900, 1000, 900},
                      Fit{"1000x1000<", 400, 300, 1000, 750}, Fit{"1000x1000<", 4000, 3000, 4000, 3000},
                      Fit{"50%", 4032, 3024, 2016, 1512}, Fit{"12.5%", 4032, 3024, 504, 378},
                      Fit{"50%x25%", 100, 100, 50, 25}, Fit{"x300", 4000, 3000, 400, 300},
                      Fit{"300x200!", 4000, 3000, 300, 200}, Fit{"1", 4000, 3, 1, 1},  // never below 1 pixel
                      Fit{"3", 2, 3000, 3, 4500}));

TEST(GeometryParse, RejectsMalformed) {
    Geometry g;
    for (const char* bad : {"", "x", "%", "abc", "10y10", "10x", "-5", "10x10x10", "1.2.3", "10><", "10x10^"})
        EXPECT_FALSE(parseGeometry(bad, g)) << bad;
}

// Each kind is named by the loader its signature picks.
TEST(Sniff, FindsKindsFromContentNotName) {
    using Loader = Image (*)(const InputFile&, const LoadOptions&);
    auto kind = [](const std::string& bytes) -> Loader {
        const InputFormat* f = findInputFormat(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        return f ? f->load : nullptr;
    };
    EXPECT_EQ(kind(std::string("\0\0\0\x18" "ftypheic\0\0\0\0mif1heic", 24)), loadHeif);
    EXPECT_EQ(kind(std::string("\0\0\0\x1c" "ftypmif1\0\0\0\0mif1miafheic", 28)), loadHeif);
    EXPECT_EQ(kind(std::string("\0\0\0\x18" "ftypcrx \0\0\0\0crx isom", 24)), loadRaw);
    EXPECT_EQ(kind(std::string("\0\0\0\x18" "ftypmp42\0\0\0\0isommp42", 24)), nullptr);
    EXPECT_EQ(kind("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n"), loadHdr);
    EXPECT_EQ(kind("#?RGBE\n"), loadHdr);
    EXPECT_EQ(kind("\xFF\xD8\xFF\xE1"), loadJpeg);
    EXPECT_EQ(kind("\x89PNG\r\n\x1a\n"), loadPng);
    EXPECT_EQ(kind("GIF89a"), loadGif);
    EXPECT_EQ(kind(std::string("II*\0\x08\0\0\0", 8)), loadTiff);
    EXPECT_EQ(kind(std::string("IIRO\x08\0\0\0", 8)), loadRaw);
    EXPECT_EQ(kind(std::string("BM\0\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0", 18)), loadBmp);
    EXPECT_EQ(kind("BMW is a car, not a bitmap"), nullptr);
    EXPECT_EQ(kind("This is a text file."), nullptr);
    EXPECT_EQ(kind(""), nullptr);
    // Where two signatures meet, the one at the start of the file wins: a
    // JPEG whose first bytes also read as an ISO box header stays a JPEG.
    EXPECT_EQ(kind(std::string("\xFF\xD8\xFF\xE0" "ftypheic\0\0\0\0", 16)), loadJpeg);
    EXPECT_EQ(kind(std::string("II*\0" "ftypheic\0\0\0\0", 16)), loadTiff);
}

TEST(OutputFormat, FromExtensionInAnyCase) {
    using Saver = void (*)(const Image&, const SaveOptions&, OutFile&);
    auto saver = [](const char* name) -> Saver {
        const OutputFormat* f = findOutputFormat(fromUtf8(name));
        return f ? f->save : nullptr;
    };
    const std::pair<const char*, Saver> cases[] = {
        {"a/b.JPG", saveJpeg}, {"b.jpeg", saveJpeg}, {"b.jpe", saveJpeg}, {"b.Png", savePng},
        {"b.TIF", saveTiff},   {"b.tiff", saveTiff}, {"b.gif", saveGif},  {"b.BMP", saveBmp},
        {"b.heic", nullptr},   {"b.jp", nullptr},    {"folder.jpg/b", nullptr}, {"b", nullptr},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(saver(name), expected) << name;
}

}  // namespace
