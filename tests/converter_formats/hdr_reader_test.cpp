// The Radiance reader: encodings, orientations, header lines, and damaged files.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "tests/converter_formats/hdr_writer.h"
#include "tools/convert/hdr_reader.h"

using namespace hdrtest;

namespace {

const conv::Path kName = "/photos/test picture.hdr";

conv::RadiancePicture decode(const std::vector<uint8_t>& bytes, uint64_t maxPixels = conv::kDefaultMaxPixels) {
    conv::LoadOptions opt;
    opt.maxPixels = maxPixels;
    return conv::decodeRadiance(bytes.data(), bytes.size(), kName, opt);
}

Picture decodedAsPicture(const conv::RadiancePicture& r) {
    Picture p{r.width, r.height, {}};
    for (size_t i = 0; i < r.rgbe.size(); i += 4) p.px.push_back({r.rgbe[i], r.rgbe[i + 1], r.rgbe[i + 2], r.rgbe[i + 3]});
    return p;
}

// A picture with runs (for the run-length paths) and distinct pixels (so that
// a misplaced pixel shows). No pixel starts with 1,1,1 (an old-style marker).
Picture samplePicture(uint32_t w, uint32_t h, unsigned seed = 7) {
    std::mt19937 rng(seed);
    Picture p{w, h, {}};
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            if (x > 0 && x % 9 < 4) {
                p.px.push_back(p.px.back());  // runs of repeated pixels
                continue;
            }
            Px px{uint8_t(2 + rng() % 250), uint8_t(rng() % 256), uint8_t(x * 7 + y), uint8_t(120 + rng() % 16)};
            p.px.push_back(px);
        }
    }
    return p;
}

int errorCode(const std::vector<uint8_t>& bytes, std::string* message = nullptr) {
    try {
        decode(bytes);
    } catch (const conv::ConvertError& e) {
        if (message) *message = e.message;
        return e.code;
    }
    return 0;
}

}  // namespace

TEST(HdrReader, EveryScanlineEncodingDecodesToTheSamePixels) {
    // 300 pixels wide: new run-length needs 8..32767; 5 wide: too short for it,
    // written flat or old-style.
    for (uint32_t w : {300u, 5u, 8u}) {
        const Picture pic = samplePicture(w, 6);
        for (Encoding enc : {Encoding::Flat, Encoding::NewRle, Encoding::OldRle}) {
            if (enc == Encoding::NewRle && w < 8) continue;
            Options o;
            o.encoding = enc;
            const auto got = decode(write(pic, o));
            ASSERT_EQ(got.width, w);
            ASSERT_EQ(got.height, 6u);
            EXPECT_EQ(decodedAsPicture(got).px, pic.px) << "width " << w << " encoding " << int(enc);
        }
    }
}

TEST(HdrReader, OldRunLengthRunsLongerThan255AndAcrossScanlines) {
    // One colour for a whole 700-pixel row: a run of 699 needs two markers
    // (699 = 187 + 2 * 256). The second row starts with a marker that repeats
    // the last pixel of the first row.
    Picture pic{700, 2, {}};
    pic.px.assign(1400, Px{90, 80, 70, 130});
    std::vector<uint8_t> bytes;
    const std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 2 +X 700\n";
    bytes.assign(head.begin(), head.end());
    encodeOldRle(bytes, std::vector<Px>(pic.px.begin(), pic.px.begin() + 700));
    bytes.insert(bytes.end(), {1, 1, 1, 188, 1, 1, 1, 2});  // 188 + 2 * 256 = 700
    EXPECT_EQ(decodedAsPicture(decode(bytes)).px, pic.px);
}

TEST(HdrReader, AllEightOrientationsGiveTheSamePicture) {
    const Picture pic = samplePicture(11, 7, 3);
    for (const char* res : {"-Y +X", "-Y -X", "+Y +X", "+Y -X", "+X -Y", "+X +Y", "-X -Y", "-X +Y"}) {
        for (Encoding enc : {Encoding::Flat, Encoding::OldRle}) {
            Options o;
            o.resolution = res;
            o.encoding = enc;
            const auto got = decode(write(pic, o));
            EXPECT_EQ(got.width, 11u) << res;
            EXPECT_EQ(got.height, 7u) << res;
            EXPECT_EQ(decodedAsPicture(got).px, pic.px) << res;
        }
    }
}

TEST(HdrReader, OrientationMeaningWorkedByHand) {
    // Stored scanlines a b c / d e f (flat, 3 pixels each, 2 scanlines).
    const Px a{10, 0, 0, 128}, b{20, 0, 0, 128}, c{30, 0, 0, 128}, d{40, 0, 0, 128}, e{50, 0, 0, 128}, f{60, 0, 0, 128};
    auto file = [&](const std::string& res) {
        std::string head = "#?RGBE\n\n" + res + "\n";
        std::vector<uint8_t> out(head.begin(), head.end());
        encodeFlat(out, {a, b, c, d, e, f});
        return decodedAsPicture(decode(out));
    };
    // Y grows upwards: "+Y" stores the bottom row first.
    EXPECT_EQ(file("+Y 2 +X 3").px, (std::vector<Px>{d, e, f, a, b, c}));
    EXPECT_EQ(file("-Y 2 -X 3").px, (std::vector<Px>{c, b, a, f, e, d}));
    // X first: each scanline is a column; "-Y" within it runs top to bottom.
    const Picture cols = file("+X 2 -Y 3");
    EXPECT_EQ(cols.width, 2u);
    EXPECT_EQ(cols.height, 3u);
    EXPECT_EQ(cols.px, (std::vector<Px>{a, d, b, e, c, f}));
    EXPECT_EQ(file("-X 2 +Y 3").px, (std::vector<Px>{f, c, e, b, d, a}));
    // What Radiance's protate writes for a picture a b c / d e f without -c:
    // its columns left to right, each from the bottom row up, under "+X 3 +Y 2"
    // (the order that keeps the picture as it looked). Stored: d a / e b / f c.
    std::string head = "#?RGBE\n\n+X 3 +Y 2\n";
    std::vector<uint8_t> rotated(head.begin(), head.end());
    encodeFlat(rotated, {d, a, e, b, f, c});
    const Picture same = decodedAsPicture(decode(rotated));
    EXPECT_EQ(same.width, 3u);
    EXPECT_EQ(same.px, (std::vector<Px>{a, b, c, d, e, f}));
}

TEST(HdrReader, HeaderLines) {
    const Picture pic = samplePicture(16, 2);
    Options o;
    o.headerLines = {"# made by a test", "EXPOSURE=2", "EXPOSURE= 1.5", "COLORCORR= 1 0.5 2", "PIXASPECT=1",
                     "SOFTWARE=unit test", "VIEW= -vtv -vp 0 0 0"};
    const auto got = decode(write(pic, o));
    EXPECT_FLOAT_EQ(got.exposure, 3.0f);
    EXPECT_FLOAT_EQ(got.colorCorr[0], 1.0f);
    EXPECT_FLOAT_EQ(got.colorCorr[1], 0.5f);
    EXPECT_FLOAT_EQ(got.colorCorr[2], 2.0f);
    EXPECT_FALSE(got.xyz);
    EXPECT_EQ(decodedAsPicture(got).px, pic.px);

    o = {};
    o.format = "32-bit_rle_xyze";
    EXPECT_TRUE(decode(write(pic, o)).xyz);
    o.format = "";  // old files leave FORMAT out: RGBE
    EXPECT_FALSE(decode(write(pic, o)).xyz);
    o.magic = "#?RGBE";
    EXPECT_EQ(decodedAsPicture(decode(write(pic, o))).px, pic.px);
}

TEST(HdrReader, UnusableHeadersAreInputErrorsNamingTheFile) {
    const Picture pic = samplePicture(16, 2);
    auto withHeader = [&](auto edit) {
        Options o;
        edit(o);
        return write(pic, o);
    };
    std::string msg;
    EXPECT_EQ(errorCode(withHeader([](Options& o) { o.format = "32-bit_rle_rgbf"; }), &msg), conv::kExitInput);
    EXPECT_NE(msg.find("test picture.hdr"), std::string::npos) << msg;
    EXPECT_NE(msg.find("pixel format"), std::string::npos) << msg;
    EXPECT_EQ(msg.find('\n'), std::string::npos);
    EXPECT_EQ(errorCode(withHeader([](Options& o) { o.headerLines = {"EXPOSURE=abc"}; })), conv::kExitInput);
    EXPECT_EQ(errorCode(withHeader([](Options& o) { o.headerLines = {"EXPOSURE=-1"}; })), conv::kExitInput);
    EXPECT_EQ(errorCode(withHeader([](Options& o) { o.headerLines = {"COLORCORR=1 1"}; })), conv::kExitInput);
    EXPECT_EQ(errorCode(withHeader([](Options& o) { o.magic = "P6"; })), conv::kExitInput);

    auto withResolution = [&](const std::string& res) {
        std::string s = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" + res + "\n";
        std::vector<uint8_t> b(s.begin(), s.end());
        b.resize(b.size() + 4096, 100);
        return b;
    };
    for (const char* bad : {"-Y 2 +Y 3", "-Y 0 +X 3", "Y 2 X 3", "-Y 2", "-Y 2 +X 3 junk", "-Y -2 +X 3", "-Z 2 +X 3",
                            "-Y 99999999999 +X 2", ""})
        EXPECT_EQ(errorCode(withResolution(bad)), conv::kExitInput) << bad;
}

TEST(HdrReader, HugeDeclaredSizeIsRefusedBeforeDecoding) {
    auto declared = [](const std::string& res) {
        std::string s = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" + res + "\n";
        std::vector<uint8_t> b(s.begin(), s.end());
        b.resize(b.size() + 64, 2);
        return b;
    };
    std::string msg;
    EXPECT_EQ(errorCode(declared("-Y 65535 +X 65535"), &msg), conv::kExitLimit);
    EXPECT_NE(msg.find("test picture.hdr"), std::string::npos) << msg;
    EXPECT_EQ(errorCode(declared("+X 2000000000 -Y 2000000000")), conv::kExitLimit);
    // A custom limit applies as well.
    const auto small = write(samplePicture(20, 20));
    conv::LoadOptions opt;
    opt.maxPixels = 399;
    try {
        conv::decodeRadiance(small.data(), small.size(), kName, opt);
        ADD_FAILURE() << "over the limit but accepted";
    } catch (const conv::ConvertError& e) {
        EXPECT_EQ(e.code, conv::kExitLimit);
    }
    // Under the limit but far too short for its size: refused as cut short
    // without reserving 400 MB first (the test would crawl if it did).
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(errorCode(declared("-Y 10000 +X 10000"), &msg), conv::kExitInput);
    EXPECT_NE(msg.find("cut short"), std::string::npos) << msg;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
}

TEST(HdrReader, TruncatedFilesAreInputErrorsAtEveryCut) {
    for (Encoding enc : {Encoding::Flat, Encoding::NewRle, Encoding::OldRle}) {
        Options o;
        o.encoding = enc;
        const auto full = write(samplePicture(40, 5), o);
        ASSERT_EQ(errorCode(full), 0);
        for (size_t cut = 0; cut < full.size(); cut += (cut < 80 ? 1 : 7)) {
            std::vector<uint8_t> part(full.begin(), full.begin() + ptrdiff_t(cut));
            std::string msg;
            EXPECT_EQ(errorCode(part, &msg), conv::kExitInput) << "cut at " << cut << " encoding " << int(enc);
            EXPECT_NE(msg.find("test picture.hdr"), std::string::npos);
        }
    }
}

TEST(HdrReader, DamagedRunLengthDataIsAnInputError) {
    const std::string head = "#?RADIANCE\n\n-Y 1 +X 10\n";
    auto file = [&](std::vector<uint8_t> data) {
        std::vector<uint8_t> b(head.begin(), head.end());
        b.insert(b.end(), data.begin(), data.end());
        b.resize(b.size() + 64, 0);  // plenty of bytes: only the damage can fail it
        return b;
    };
    std::string msg;
    // New run-length header whose length disagrees with the scanline.
    EXPECT_EQ(errorCode(file({2, 2, 0, 11}), &msg), conv::kExitInput);
    EXPECT_NE(msg.find("damaged"), std::string::npos) << msg;
    // A run past the end of the scanline.
    EXPECT_EQ(errorCode(file({2, 2, 0, 10, 128 + 11, 5})), conv::kExitInput);
    // Literal bytes past the end, and a zero count (no progress).
    EXPECT_EQ(errorCode(file({2, 2, 0, 10, 11})), conv::kExitInput);
    EXPECT_EQ(errorCode(file({2, 2, 0, 10, 0})), conv::kExitInput);
    // Old style: a repeat marker with nothing before it, and one too long.
    EXPECT_EQ(errorCode(file({1, 1, 1, 3})), conv::kExitInput);
    EXPECT_EQ(errorCode(file({9, 9, 9, 130, 1, 1, 1, 10})), conv::kExitInput);
    // The marker run shifting past 32 bits.
    EXPECT_EQ(errorCode(file({9, 9, 9, 130, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1})),
              conv::kExitInput);
}

TEST(HdrReader, RandomDamageNeverCrashes) {
    // Bit flips and garbage in a valid file: either a picture or an input error.
    std::mt19937 rng(12345);
    for (Encoding enc : {Encoding::NewRle, Encoding::OldRle}) {
        Options o;
        o.encoding = enc;
        const auto good = write(samplePicture(64, 9), o);
        for (int round = 0; round < 300; ++round) {
            auto bad = good;
            const int flips = 1 + int(rng() % 8);
            for (int k = 0; k < flips; ++k) bad[rng() % bad.size()] ^= uint8_t(1u << (rng() % 8));
            if (round % 10 == 0) {
                const size_t at = 30 + rng() % (bad.size() - 30);
                for (size_t i = at; i < bad.size() && i < at + 40; ++i) bad[i] = uint8_t(rng());
            }
            const int code = errorCode(bad);
            EXPECT_TRUE(code == 0 || code == conv::kExitInput) << "round " << round << " code " << code;
        }
    }
}

TEST(HdrReader, RealFilesFromDebian) {
    const auto files = realHdrFiles();
    if (files.empty()) GTEST_SKIP() << kNoRealHdrFiles;
    for (const std::string& path : files) {
        const auto pic = decode(conv::readWholeFile(path));
        EXPECT_EQ(pic.width, 256u) << path;
        EXPECT_EQ(pic.height, 128u) << path;
        // Every pixel of these was written: no stretch of black from a misread.
        size_t black = 0;
        for (size_t i = 3; i < pic.rgbe.size(); i += 4) black += pic.rgbe[i] == 0;
        EXPECT_LT(black, pic.rgbe.size() / 4 / 100) << path;
    }
}
