// HEIC/HEIF in, JPG and PNG out: pixels against libheif's own decode, the
// container's turns, colour profile and EXIF carried over with Orientation 1.
#include <gtest/gtest.h>

#include "run_helpers.h"

using namespace convtest;

namespace {

class HeifToPng : public ::testing::TestWithParam<const char*> {};

TEST_P(HeifToPng, IsExactlyWhatLibheifDecodes) {
    TempDir tmp;
    const std::string in = fixture(GetParam()), out = tmp.path("out.png");
    RunResult r = runConvert({"-quality", "85%", in, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels ref = decodeHeifFile(in);
    const Pixels got = decodePngFile(out);
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    ASSERT_EQ(got.channels, ref.channels);
    if (ref.bits == 8) {
        ASSERT_EQ(got.bits, 8);
        EXPECT_EQ(got.v, ref.v);
    } else {
        // 10-bit samples are widened to 16 bits by repeating their top bits.
        ASSERT_EQ(got.bits, 16);
        size_t mismatches = 0;
        for (size_t i = 0; i < ref.v.size(); ++i) {
            const uint32_t v = ref.v[i];
            if (got.v[i] != uint16_t(v << 6 | v >> 4)) ++mismatches;
        }
        EXPECT_EQ(mismatches, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, HeifToPng,
                         ::testing::Values("single.heic", "photo.heic", "grid.heic", "irot1.heic", "imir1.heic",
                                           "grid_irot1_imir0.heic", "alpha.heic", "deep10.heic",
                                           "single_p3_exif6.heic"),
                         [](const auto& info) { return testName(info.param); });

TEST(HeifToJpeg, Quality85IsAsCloseToLibheifsDecodeAsTheEncoderAllows) {
    for (const char* name : {"photo.heic", "single.heic", "grid.heic"}) {
        SCOPED_TRACE(name);
        TempDir tmp;
        const std::string out = tmp.path("out.jpg");
        RunResult r = runConvert({"-quality", "85%", fixture(name), out});
        ASSERT_EQ(r.code, 0) << r.err;
        const Pixels ref = decodeHeifFile(fixture(name));
        const double ours = psnr(decodeJpegFile(out), ref);
        EXPECT_GE(ours, libraryPsnrAt85(ref) - 0.01);
        // A crop at camera resolution has a real photo's detail: 45 dB there.
        if (std::string(name) == "photo.heic") {
            EXPECT_GE(ours, 45.0);
        }
    }
}

TEST(HeifToJpeg, HigherQualityGivesCloserPicturesAndLargerFiles) {
    TempDir tmp;
    const std::string in = fixture("single.heic");
    ASSERT_EQ(runConvert({"-quality", "50", in, tmp.path("q50.jpg")}).code, 0);
    ASSERT_EQ(runConvert({"-quality", "95%", in, tmp.path("q95.jpg")}).code, 0);
    const Pixels ref = decodeHeifFile(in);
    EXPECT_LT(psnr(decodeJpegFile(tmp.path("q50.jpg")), ref), psnr(decodeJpegFile(tmp.path("q95.jpg")), ref));
    EXPECT_LT(fs::file_size(tmp.path("q50.jpg")), fs::file_size(tmp.path("q95.jpg")));
}

// Every orientation fixture is stored turned or mirrored so that applying the
// container's transformations gives back the upright source picture.
TEST(HeifOrientation, ContainerTurnsAndMirrorsAreApplied) {
    const Pixels upright = decodePngFile(fixture("src.png"));
    for (const char* name : {"irot1.heic", "iden_irot1.heic", "imir1.heic", "grid_irot1_imir0.heic"}) {
        SCOPED_TRACE(name);
        TempDir tmp;
        ASSERT_EQ(runConvert({fixture(name), tmp.path("out.jpg")}).code, 0);
        const Pixels got = decodeJpegFile(tmp.path("out.jpg"));
        ASSERT_EQ(got.width, 600u);
        ASSERT_EQ(got.height, 450u);
        EXPECT_GE(psnr(got, upright), 30.0);
    }
}

TEST(HeifCodecs, JpegCodedPictureIsTheJpegItHolds) {
    TempDir tmp;
    const std::string out = tmp.path("out.png");
    ASSERT_EQ(runConvert({fixture("jpeg_item.heic"), out}).code, 0);
    // libheif's JPEG decoder and TurboJPEG upsample the chroma each their own way (a
    // difference at sharp colour edges); at the chroma's own resolution the two agree.
    const Pixels got = decodePngFile(out), want = decodeJpegFile(fixture("plain.jpg"));
    ASSERT_EQ(got.width, want.width);
    ASSERT_EQ(got.height, want.height);
    EXPECT_GE(psnr(boxShrink(got, 2), boxShrink(want, 2)), 38.0);
}

TEST(HeifOrientation, ExifOrientationAloneDoesNotTurnTheHeifPicture) {
    TempDir tmp;
    const std::string out = tmp.path("out.jpg");
    ASSERT_EQ(exifTag(fixture("single_p3_exif6.heic"), "Orientation"), "6");
    ASSERT_EQ(runConvert({fixture("single_p3_exif6.heic"), out}).code, 0);
    const Pixels got = decodeJpegFile(out);
    EXPECT_EQ(got.width, 600u);
    EXPECT_EQ(got.height, 450u);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
}

TEST(HeifMetadata, ProfileAndExifAreKeptWithOrientationOne) {
    for (const char* ext : {"jpg", "png"}) {
        SCOPED_TRACE(ext);
        TempDir tmp;
        const std::string out = tmp.path(std::string("out.") + ext);
        ASSERT_EQ(runConvert({fixture("grid.heic"), out}).code, 0);
        EXPECT_EQ(exifTag(out, "Orientation"), "1");
        EXPECT_EQ(exifTag(out, "Make"), "FixtureCam");
        EXPECT_EQ(exifTag(out, "DateTimeOriginal"), "2021:06:01 12:34:56");
        EXPECT_EQ(exifTag(out, "GPSLatitude"), "48.5");
        EXPECT_NE(exifTag(out, "ProfileDescription").find("DisplayP3"), std::string::npos);
    }
}

TEST(HeifAlpha, KeptInPngAndFlattenedOnWhiteInJpeg) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("alpha.heic"), tmp.path("a.png")}).code, 0);
    ASSERT_EQ(runConvert({fixture("alpha.heic"), tmp.path("a.jpg")}).code, 0);
    const Pixels png = decodePngFile(tmp.path("a.png"));
    ASSERT_EQ(png.channels, 4);
    // The fixture fades from opaque (left) to transparent (right).
    EXPECT_GT(png.at(5, 200, 3), 240);
    EXPECT_LT(png.at(594, 200, 3), 15);
    const Pixels jpg = decodeJpegFile(tmp.path("a.jpg"));
    ASSERT_EQ(jpg.channels, 3);
    for (int c = 0; c < 3; ++c) EXPECT_GT(jpg.at(597, 200, c), 235) << "channel " << c;
    // On the opaque side the JPEG keeps the picture itself.
    double diff = 0;
    for (int c = 0; c < 3; ++c) diff += std::abs(jpg.at(10, 200, c) - png.at(10, 200, c));
    EXPECT_LT(diff / 3, 12);
}

// 10-bit 4:2:0 and 4:2:2: 16 bits kept where the format holds them; a JPEG
// below quality 90 comes from the planes rounded to 8 bits, and loses no more
// than the encoder itself does on libheif's 16-bit RGB.
TEST(HeifDepth, TenBitGivesSixteenBitPngAndTifAndEightBitJpeg) {
    for (const char* name : {"deep10.heic", "deep10_422.heic"}) {
        SCOPED_TRACE(name);
        TempDir tmp;
        ASSERT_EQ(runConvert({fixture(name), tmp.path("d.png")}).code, 0);
        const Pixels png = decodePngFile(tmp.path("d.png"));
        EXPECT_EQ(png.bits, 16);
        ASSERT_EQ(runConvert({fixture(name), tmp.path("d.tif")}).code, 0);
        EXPECT_EQ(exifTag(tmp.path("d.tif"), "BitsPerSample"), "16 16 16");
        for (const char* q : {"85%", "95%"}) {
            ASSERT_EQ(runConvert({"-quality", q, fixture(name), tmp.path("d.jpg")}).code, 0);
            EXPECT_EQ(exifTag(tmp.path("d.jpg"), "BitsPerSample"), "8");
            EXPECT_GE(psnr(decodeJpegFile(tmp.path("d.jpg")), png), libraryPsnrAt85(png) - 0.3) << q;
        }
    }
}

}  // namespace

namespace {

TEST(HeifResize, JpegMadeFromResizedPlanesMatchesTheRgbPath) {
    // To JPEG the planes are resized as they come from the decoder; to PNG the
    // RGB is. The planes' JPEG must be as close to the resized RGB as a JPEG
    // made from that RGB itself.
    TempDir tmp;
    ASSERT_EQ(runConvert({"-quality", "85%", fixture("grid.heic"), "-resize", "300", tmp.path("h.jpg")}).code, 0);
    ASSERT_EQ(runConvert({fixture("grid.heic"), "-resize", "300", tmp.path("h.png")}).code, 0);
    ASSERT_EQ(runConvert({"-quality", "85%", tmp.path("h.png"), tmp.path("viaRgb.jpg")}).code, 0);
    const Pixels jpg = decodeJpegFile(tmp.path("h.jpg")), png = decodePngFile(tmp.path("h.png"));
    ASSERT_EQ(jpg.width, 300u);
    ASSERT_EQ(jpg.height, 225u);
    EXPECT_GE(psnr(jpg, png), psnr(decodeJpegFile(tmp.path("viaRgb.jpg")), png) - 0.5);
    EXPECT_GE(psnr(jpg, boxShrink(decodeHeifFile(fixture("grid.heic")), 2)), 30.0);
    EXPECT_EQ(exifTag(tmp.path("h.jpg"), "Orientation"), "1");
}

}  // namespace
