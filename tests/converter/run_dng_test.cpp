// DNG input: DNGs that make_dng wrote from the CR2's sensor data develop like
// the CR2 itself (same demosaic, levels, matrix and white balance), turned as
// their Orientation says, with the camera in the EXIF.
#include <gtest/gtest.h>

#include <array>

#include "run_helpers.h"

using namespace convtest;

namespace {

// Per-channel means on the 8-bit scale.
std::array<double, 3> channelMeans(const Pixels& p) {
    const double scale = p.bits == 16 ? 257.0 : 1.0;
    std::array<double, 3> sum{};
    for (size_t i = 0; i < p.v.size(); i += p.channels)
        for (int c = 0; c < 3; ++c) sum[c] += p.v[i + c];
    for (double& s : sum) s /= double(p.width) * p.height * scale;
    return sum;
}

class DngInput : public ::testing::Test {
protected:
    // The CR2 developed once: what every DNG made from it must look like.
    static void SetUpTestSuite() {
        TempDir tmp;
        const RunResult r = runConvert({CAMERA_RAW_CR2, tmp.path("cr2.png")});
        ASSERT_EQ(r.code, 0) << r.err;
        cr2_ = new Pixels(decodePngFile(tmp.path("cr2.png")));
    }
    static void TearDownTestSuite() {
        delete cr2_;
        cr2_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(cr2_, nullptr) << "the CR2 did not convert"; }

    // Means within half a level of 255, and PSNR at full size and shrunk to an
    // eighth (where JPEG's losses and demosaic noise average out).
    static void expectCloseToCr2(const Pixels& got, const Pixels& cr2, double minPsnr, double minPsnrShrunk) {
        ASSERT_EQ(got.width, cr2.width);
        ASSERT_EQ(got.height, cr2.height);
        const auto a = channelMeans(got), b = channelMeans(cr2);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[c], b[c], 0.5) << "channel " << c;
        EXPECT_GE(psnr(boxShrink(got, 8), boxShrink(cr2, 8)), minPsnrShrunk);
        EXPECT_GE(psnr(got, cr2), minPsnr);
    }

    static Pixels* cr2_;
};

Pixels* DngInput::cr2_ = nullptr;

TEST_F(DngInput, PngIs16BitAndDevelopsLikeTheCr2) {
    TempDir tmp;
    const std::string out = tmp.path("dng.png");
    const RunResult r = runConvert({fixture("camera.dng"), out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(out);
    EXPECT_EQ(got.bits, 16);
    EXPECT_EQ(got.channels, 3);
    // The same sensor data through the same demosaic: all but identical.
    expectCloseToCr2(got, *cr2_, 70.0, 80.0);
    EXPECT_EQ(exifTag(out, "Make"), "Canon");
}

TEST_F(DngInput, JpgIsTheSensorPictureWithTheCameraInExif) {
    TempDir tmp;
    const std::string out = tmp.path("dng.jpg");
    const RunResult r = runConvert({"-quality", "85%", fixture("camera.dng"), out});
    ASSERT_EQ(r.code, 0) << r.err;
    // The full sensor picture, not the small preview in IFD0.
    const Pixels got = decodeJpegFile(out);
    expectCloseToCr2(got, *cr2_, 32.0, 45.0);
    EXPECT_EQ(exifTag(out, "Make"), "Canon");
    EXPECT_NE(exifTag(out, "Model").find("EOS 30D"), std::string::npos) << exifTag(out, "Model");
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_EQ(exifTag(out, "DateTimeOriginal"), "2009:07:21 13:03:20");
    EXPECT_EQ(exifTag(out, "ISO"), "640");
}

TEST_F(DngInput, OrientationTurnsTheSensorPictureOnce) {
    TempDir tmp;
    const std::string out = tmp.path("rot.png");
    const RunResult r = runConvert({fixture("camera_rot6.dng"), out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(out);
    EXPECT_EQ(got.width, cr2_->height);
    EXPECT_EQ(got.height, cr2_->width);
    expectCloseToCr2(got, turnedClockwise(*cr2_), 70.0, 80.0);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
}

}  // namespace
