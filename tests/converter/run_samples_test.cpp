// Real phone photos (HEVC grids with Display P3 and EXIF), when the shared
// samples folder is there; compared with the phone's own JPEG.
#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <fstream>
#include <sstream>

#include "run_helpers.h"

using namespace convtest;

namespace {

const std::string kSamples = CONVERTER_SAMPLES;

bool haveSamples() { return fs::exists(kSamples + "/iphone13pm_portrait_grid_p3_rot90.heic"); }

// Decodes a JPEG scaled down by 1/8 in the decoder (cheap for 12 MP).
Pixels decodeEighth(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string d = ss.str();
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, s = 0, c = 0;
    const auto* buf = reinterpret_cast<const unsigned char*>(d.data());
    tjDecompressHeader3(tj, buf, d.size(), &w, &h, &s, &c);
    Pixels p;
    p.width = uint32_t((w + 7) / 8);
    p.height = uint32_t((h + 7) / 8);
    p.channels = 3;
    std::vector<unsigned char> px(size_t(p.width) * p.height * 3);
    if (tjDecompress2(tj, buf, d.size(), px.data(), int(p.width), 0, int(p.height), TJPF_RGB, 0) == 0)
        p.v.assign(px.begin(), px.end());
    tjDestroy(tj);
    return p;
}

TEST(PhoneSamples, PortraitGridMatchesThePhonesJpeg) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << kSamples << " (the shared folder is absent)";
    TempDir tmp;
    const std::string out = tmp.path("portrait.jpg");
    RunResult r = runConvert({"-quality", "85%", kSamples + "/iphone13pm_portrait_grid_p3_rot90.heic", out});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string ref = kSamples + "/iphone13pm_portrait_grid_p3_rot90.reference.jpg";
    const Pixels got = decodeEighth(out), want = decodeEighth(ref);
    ASSERT_EQ(got.width, 378u);  // 3024 / 8: upright, as the phone shows it
    ASSERT_EQ(got.height, 504u);
    ASSERT_EQ(want.width, got.width);
    // Same profile (Display P3) on both sides, so the pixels compare directly;
    // the phone's own rendering differs a little (it applies its gain map).
    EXPECT_GE(psnr(got, want), 25.0);
    Pixels upsideDown = got;
    for (uint32_t y = 0; y < got.height; ++y)
        for (uint32_t x = 0; x < got.width; ++x)
            for (int c = 0; c < 3; ++c)
                upsideDown.v[(size_t(y) * got.width + x) * 3 + c] =
                    got.v[(size_t(got.height - 1 - y) * got.width + (got.width - 1 - x)) * 3 + c];
    EXPECT_LT(psnr(upsideDown, want), psnr(got, want) - 5);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_EQ(exifTag(out, "Make"), "Apple");
    EXPECT_EQ(exifTag(out, "ProfileDescription"), exifTag(ref, "ProfileDescription"));
}

TEST(PhoneSamples, LandscapeGridKeepsSizeProfileAndExif) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << kSamples << " (the shared folder is absent)";
    TempDir tmp;
    const std::string out = tmp.path("landscape.png");
    RunResult r = runConvert({kSamples + "/iphone13pm_landscape_grid_p3.heic", "-resize", "1600", out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(out);
    EXPECT_EQ(got.width, 1600u);
    EXPECT_EQ(got.height, 1200u);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_NE(exifTag(out, "ProfileDescription").find("P3"), std::string::npos);
    EXPECT_FALSE(exifTag(out, "DateTimeOriginal").empty());
}

}  // namespace
