// JPEG, PNG, TIFF, BMP, GIF and camera raw inputs; the -resize rules; the
// output's modification time.
#include <gtest/gtest.h>

#include <libraw/libraw.h>

#include <memory>

#include "run_helpers.h"

using namespace convtest;

namespace {

struct LosslessCase {
    const char* input;
    const char* reference;  // PNG holding the expected pixels
};

void PrintTo(const LosslessCase& c, std::ostream* os) { *os << c.input; }

class LosslessInput : public ::testing::TestWithParam<LosslessCase> {};

TEST_P(LosslessInput, PngOutputHasTheSamePixels) {
    TempDir tmp;
    RunResult r = runConvert({fixture(GetParam().input), tmp.path("out.png")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(tmp.path("out.png"));
    const Pixels ref = decodePngFile(fixture(GetParam().reference));
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    ASSERT_EQ(got.channels, ref.channels);
    ASSERT_EQ(got.bits, ref.bits);
    EXPECT_EQ(got.v, ref.v);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LosslessInput,
                         ::testing::Values(LosslessCase{"src.png", "src.png"}, LosslessCase{"rgba.png", "srca.png"},
                                           LosslessCase{"deep16.png", "src16.png"},
                                           LosslessCase{"deep16.tif", "src16.png"},
                                           LosslessCase{"plain.bmp", "src.png"}, LosslessCase{"alpha.bmp", "srca.png"}),
                         [](const auto& info) { return testName(info.param.input); });

TEST(JpegInput, DecodesExactlyAsTurboJpegDoes) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("plain.jpg"), tmp.path("out.png")}).code, 0);
    EXPECT_EQ(decodePngFile(tmp.path("out.png")).v, decodeJpegFile(fixture("plain.jpg")).v);
}

TEST(JpegInput, ExifOrientationIsAppliedOnceAndReset) {
    TempDir tmp;
    const std::string out = tmp.path("out.jpg");
    ASSERT_EQ(runConvert({fixture("exif6.jpg"), out}).code, 0);
    const Pixels got = decodeJpegFile(out);
    ASSERT_EQ(got.width, 600u);
    ASSERT_EQ(got.height, 450u);
    EXPECT_GE(psnr(got, decodePngFile(fixture("src.png"))), 30.0);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_EQ(exifTag(out, "Model"), "Fixture 1");
    EXPECT_NE(exifTag(out, "ProfileDescription").find("DisplayP3"), std::string::npos);
}

TEST(TiffInput, OrientationTagIsApplied) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("orient8.tif"), tmp.path("out.png")}).code, 0);
    const Pixels got = decodePngFile(tmp.path("out.png"));
    ASSERT_EQ(got.width, 600u);
    ASSERT_EQ(got.height, 450u);
    EXPECT_EQ(psnr(got, decodePngFile(fixture("src.png"))), std::numeric_limits<double>::infinity());
}

// EXIF that exiftool copied into a TIFF stored turned (Orientation 6), in
// either byte order: the picture is turned once, and the camera, the date
// taken and the GPS position reach every output that carries EXIF.
class TiffExif : public ::testing::TestWithParam<const char*> {};

TEST_P(TiffExif, CameraDateAndGpsSurviveWithOrientationOne) {
    TempDir tmp;
    for (const char* name : {"out.jpg", "out.tif", "out.png"}) {
        SCOPED_TRACE(name);
        const std::string out = tmp.path(name);
        const RunResult r = runConvert({fixture(GetParam()), out});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(exifTag(out, "Orientation"), "1");
        EXPECT_EQ(exifTag(out, "Make"), "FixtureCam");
        EXPECT_EQ(exifTag(out, "Model"), "Fixture 1");
        EXPECT_EQ(exifTag(out, "DateTimeOriginal"), "2021:06:01 12:34:56");
        EXPECT_EQ(exifTag(out, "GPSLatitudeRef"), "N");
        EXPECT_EQ(exifTag(out, "GPSLatitude"), "48.5");
        EXPECT_EQ(exifTag(out, "GPSLongitude"), "9.25");
    }
    // The TIFF's own structure (strips, compression, ...) is no part of the EXIF.
    EXPECT_EQ(exifTag(tmp.path("out.jpg"), "StripOffsets"), "");
    const Pixels got = decodeJpegFile(tmp.path("out.jpg"));
    ASSERT_EQ(got.width, 600u);
    ASSERT_EQ(got.height, 450u);
    EXPECT_GE(psnr(got, decodePngFile(fixture("src.png"))), 30.0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TiffExif, ::testing::Values("exif6.tif", "exif6_be.tif"),
                         [](const auto& info) { return testName(info.param); });

TEST(GifInput, PaletteColoursAndTransparencyArrive) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("plain.gif"), tmp.path("p.png")}).code, 0);
    EXPECT_GE(psnr(decodePngFile(tmp.path("p.png")), decodePngFile(fixture("src.png"))), 25.0);
    ASSERT_EQ(runConvert({fixture("alpha.gif"), tmp.path("a.png")}).code, 0);
    const Pixels a = decodePngFile(tmp.path("a.png"));
    ASSERT_EQ(a.channels, 4);
    EXPECT_EQ(a.at(5, 100, 3), 255);
    EXPECT_EQ(a.at(595, 100, 3), 0);
}

TEST(RawInput, Cr2DevelopsLikeLibRawAtTheCamerasCropWithCameraDataInExif) {
    TempDir tmp;
    const std::string out = tmp.path("raw.png");
    RunResult r = runConvert({CAMERA_RAW_CR2, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(out);
    EXPECT_EQ(got.bits, 16);
    // The frame the camera gives its own JPEG (3504x2336), not the sensor's whole
    // visible area (3522x2348).
    EXPECT_EQ(got.width, 3504u);
    EXPECT_EQ(got.height, 2335u);

    // LibRaw's own development with the same settings, at the file's default crop.
    auto raw = std::make_unique<LibRaw>();
    ASSERT_EQ(raw->open_file(CAMERA_RAW_CR2), LIBRAW_SUCCESS);
    raw->imgdata.params.use_camera_wb = 1;
    raw->imgdata.params.use_camera_matrix = 1;
    raw->imgdata.params.output_bps = 16;
    raw->imgdata.params.gamm[0] = 1 / 2.4;
    raw->imgdata.params.gamm[1] = 12.92;
    ASSERT_EQ(raw->unpack(), LIBRAW_SUCCESS);
    ASSERT_EQ(raw->adjust_to_raw_inset_crop(1), 1);
    ASSERT_EQ(raw->dcraw_process(), LIBRAW_SUCCESS);
    int err = 0;
    libraw_processed_image_t* mem = raw->dcraw_make_mem_image(&err);
    ASSERT_NE(mem, nullptr);
    Pixels ref;
    ref.width = mem->width;
    ref.height = mem->height;
    ref.channels = 3;
    ref.bits = 16;
    const auto* d = reinterpret_cast<const uint16_t*>(mem->data);
    ref.v.assign(d, d + size_t(mem->width) * mem->height * 3);
    LibRaw::dcraw_clear_mem(mem);
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    EXPECT_EQ(got.v, ref.v);

    EXPECT_EQ(exifTag(out, "Make"), "Canon");
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_FALSE(exifTag(out, "DateTimeOriginal").empty());
    EXPECT_FALSE(exifTag(out, "ExposureTime").empty());
    // The file's own EXIF directory, not a few fields re-made.
    EXPECT_EQ(exifTag(out, "ExposureProgram"), "1");
    EXPECT_EQ(exifTag(out, "Flash"), "16");
    EXPECT_EQ(exifTag(out, "FocalPlaneXResolution").empty(), false);
}

struct GeometryCase {
    const char* geometry;
    uint32_t width, height;
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.geometry; }

class ResizeGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(ResizeGeometry, GivesTheSizeImageMagickGives) {
    TempDir tmp;
    const std::string out = tmp.path("out.jpg");
    RunResult r = runConvert({"-quality", "85%", fixture("src.png"), "-resize", GetParam().geometry, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodeJpegFile(out);
    EXPECT_EQ(got.width, GetParam().width);
    EXPECT_EQ(got.height, GetParam().height);
}

// The source is 600x450.
INSTANTIATE_TEST_SUITE_P(Rules, ResizeGeometry,
                         ::testing::Values(GeometryCase{"300", 300, 225}, GeometryCase{"1200", 1200, 900},
                                           GeometryCase{"300x300", 300, 225}, GeometryCase{"400x150", 200, 150},
                                           GeometryCase{"1600>", 600, 450}, GeometryCase{"300>", 300, 225},
                                           GeometryCase{"1000x1000>", 600, 450}, GeometryCase{"50%", 300, 225},
                                           GeometryCase{"x90", 120, 90}, GeometryCase{"601", 601, 451}));

TEST(Resize, HalfSizeLooksLikeTheAveragedSource) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("src.png"), "-resize", "300", tmp.path("half.png")}).code, 0);
    const Pixels got = decodePngFile(tmp.path("half.png"));
    EXPECT_GE(psnr(got, boxShrink(decodePngFile(fixture("src.png")), 2)), 30.0);
}

TEST(Resize, OptionsMayStandAnywhere) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("src.png"), tmp.path("a.jpg"), "-resize", "150", "-quality", "70"}).code, 0);
    ASSERT_EQ(runConvert({"-resize", "150", "-quality", "70", fixture("src.png"), tmp.path("b.jpg")}).code, 0);
    EXPECT_EQ(decodeJpegFile(tmp.path("a.jpg")).width, 150u);
    EXPECT_EQ(decodeJpegFile(tmp.path("a.jpg")).v, decodeJpegFile(tmp.path("b.jpg")).v);
}

TEST(Output, ExtensionInAnyCaseChoosesTheFormat) {
    TempDir tmp;
    ASSERT_EQ(runConvert({fixture("src.png"), tmp.path("a.JPEG")}).code, 0);
    ASSERT_EQ(runConvert({fixture("plain.jpg"), tmp.path("b.Png")}).code, 0);
    EXPECT_NO_THROW(decodeJpegFile(tmp.path("a.JPEG")));
    EXPECT_NO_THROW(decodePngFile(tmp.path("b.Png")));
}

TEST(Output, GetsTheInputsModificationTime) {
    TempDir tmp;
    const std::string in = tmp.path("in.png");
    fs::copy_file(fixture("src.png"), in);
    const auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);
    fs::last_write_time(in, when);
    ASSERT_EQ(runConvert({in, tmp.path("out.jpg")}).code, 0);
    EXPECT_EQ(fs::last_write_time(tmp.path("out.jpg")), when);
}

}  // namespace

namespace {

TEST(PngOutput, EveryEffortIsLosslessAndMoreEffortIsNotLarger) {
    TempDir tmp;
    const Pixels src = decodePngFile(fixture("src16.png"));
    uintmax_t previous = UINTMAX_MAX;
    for (const char* q : {"10", "85", "95", "100"}) {
        SCOPED_TRACE(q);
        const std::string out = tmp.path(std::string("q") + q + ".png");
        ASSERT_EQ(runConvert({"-quality", q, fixture("src16.png"), out}).code, 0);
        EXPECT_EQ(decodePngFile(out).v, src.v);
        EXPECT_LE(fs::file_size(out), previous);
        previous = fs::file_size(out);
    }
}

TEST(PngOutput, TallNarrowAndWidePicturesSurviveTheSlicing) {
    // Slices are cut by rows; pictures of one row and of one column are the edges.
    TempDir tmp;
    for (const char* g : {"600x1!", "1x450!", "3000x2!"}) {
        SCOPED_TRACE(g);
        const std::string out = tmp.path("edge.png");
        ASSERT_EQ(runConvert({fixture("src.png"), "-resize", g, out}).code, 0);
        const Pixels p = decodePngFile(out);
        EXPECT_EQ(p.width * p.height, p.v.size() / 3);
    }
}

}  // namespace
