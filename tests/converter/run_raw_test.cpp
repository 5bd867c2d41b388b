// Camera raw files LibRaw cannot develop truly come out as the camera's own
// preview, saying so; raw files are found by content whatever their name.
#include <gtest/gtest.h>

#include <libraw/libraw.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include "run_helpers.h"
#include "tools/convert/fileio.h"
#include "tools/convert/loaders.h"

using namespace convtest;

namespace {

// The CR2's large preview, as exiftool extracts it.
Pixels cr2Preview(const TempDir& tmp) {
    const std::string out = tmp.path("preview.jpg");
    const std::string cmd = "exiftool -b -PreviewImage '" + std::string(CAMERA_RAW_CR2) + "' > '" + out + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return decodeJpegFile(out);
}

bool oneLineSaying(const std::string& err, const std::string& what) {
    return err.find('\n') == err.size() - 1 && err.find(what) != std::string::npos;
}

TEST(RawPreview, UnknownCameraGivesThePreviewTurnedWithTheFilesExif) {
    TempDir tmp;
    const std::string out = tmp.path("unknown.jpg");
    const RunResult r = runConvert({"-quality", "85%", fixture("unknown_body.cr2"), out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(oneLineSaying(r.err, "embedded JPEG preview")) << r.err;
    EXPECT_NE(r.err.find("no colour data"), std::string::npos) << r.err;
    const Pixels got = decodeJpegFile(out);
    EXPECT_GE(psnr(got, turnedClockwise(cr2Preview(tmp))), 38.0);
    EXPECT_EQ(exifTag(out, "Orientation"), "1");
    EXPECT_EQ(exifTag(out, "Make"), "NIKON");
    EXPECT_EQ(exifTag(out, "ExposureProgram"), "1");
    EXPECT_EQ(exifTag(out, "DateTimeOriginal"), "2009:07:21 13:03:20");
}

TEST(RawPreview, UnreadableSensorDataGivesTheWholePreview) {
    TempDir tmp;
    const std::string out = tmp.path("damaged.png");
    const RunResult r = runConvert({fixture("damaged.nef"), out});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(oneLineSaying(r.err, "instead of the sensor data")) << r.err;
    const Pixels got = decodePngFile(out);
    EXPECT_GE(psnr(got, cr2Preview(tmp)), 50.0);  // the decoded preview itself, written losslessly
    EXPECT_EQ(exifTag(out, "Make"), "Canon");
}

TEST(RawPreview, NeitherSensorDataNorPreviewFailsInOneLine) {
    TempDir tmp;
    const RunResult r = runConvert({fixture("no_preview.orf"), tmp.path("none.jpg")});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(oneLineSaying(r.err, "no_preview.orf")) << r.err;
    EXPECT_TRUE(tmp.files().empty());
}

// The open dialog's seven raw extensions, each on the CR2's content, develop
// alike; a JPEG under a raw name is read as the JPEG it is.
TEST(RawInput, ExtensionsDoNotDecideTheLoader) {
    TempDir tmp;
    std::string first;
    for (const char* ext : {"cr2", "nrw", "nef", "orf", "rw2", "raf", "dng"}) {
        const std::string in = tmp.path(std::string("photo.") + ext);
        std::filesystem::copy_file(CAMERA_RAW_CR2, in);
        const std::string out = tmp.path(std::string("photo_") + ext + ".png");
        const RunResult r = runConvert({in, "-resize", "600", out});
        ASSERT_EQ(r.code, 0) << ext << ": " << r.err;
        EXPECT_TRUE(r.err.empty()) << ext << ": " << r.err;
        const std::string bytes = [&] {
            std::FILE* f = std::fopen(out.c_str(), "rb");
            std::string s;
            for (int c; f && (c = std::fgetc(f)) != EOF;) s.push_back(char(c));
            if (f) std::fclose(f);
            return s;
        }();
        if (first.empty()) first = bytes;
        else EXPECT_EQ(bytes, first) << ext;
    }
    std::filesystem::copy_file(tmp.path("photo_cr2.png"), tmp.path("picture.nef"));
    const RunResult r = runConvert({tmp.path("picture.nef"), tmp.path("again.png")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(psnr(decodePngFile(tmp.path("again.png")), decodePngFile(tmp.path("photo_cr2.png"))),
              std::numeric_limits<double>::infinity());
}

// Mean absolute difference between neighbouring samples: detail that blur takes away.
double detail(const Pixels& p) {
    double sum = 0;
    for (uint32_t y = 0; y + 1 < p.height; ++y)
        for (uint32_t x = 0; x + 1 < p.width; ++x)
            for (int c = 0; c < 3; ++c)
                sum += std::abs(p.at(x + 1, y, c) - p.at(x, y, c)) + std::abs(p.at(x, y + 1, c) - p.at(x, y, c));
    return sum / (double(p.width - 1) * (p.height - 1) * 3);
}

// Shrunk to half or less, the raw is developed at half size: the same picture,
// no softer than the full development shrunk.
TEST(RawInput, ShrunkRawIsAsSharpAsTheFullDevelopmentShrunk) {
    TempDir tmp;
    ASSERT_EQ(runConvert({CAMERA_RAW_CR2, tmp.path("full.png")}).code, 0);
    ASSERT_EQ(runConvert({tmp.path("full.png"), "-resize", "1200", tmp.path("ref.png")}).code, 0);
    const RunResult r = runConvert({CAMERA_RAW_CR2, "-resize", "1200", tmp.path("half.png")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Pixels got = decodePngFile(tmp.path("half.png")), ref = decodePngFile(tmp.path("ref.png"));
    ASSERT_EQ(got.width, ref.width);
    ASSERT_EQ(got.height, ref.height);
    EXPECT_GE(psnr(got, ref), 30.0);
    EXPECT_GE(detail(got), 0.95 * detail(ref));
}

// Demosaicing and the stages after it are shared among the threads: the
// picture is the same, bit for bit, on one thread or several.
TEST(RawInput, ThreadCountChangesNothingButSpeed) {
    const conv::Path path = conv::fromUtf8(CAMERA_RAW_CR2);
    const conv::InputFile in{path, conv::readWholeFile(path)};
    auto develop = [&](int threads, bool ycc) {
        conv::LoadOptions opt;
        opt.threads = threads;
        opt.allowYcc420 = ycc;
        return conv::loadRaw(in, opt);
    };
    for (bool ycc : {false, true}) {
        const conv::Image one = develop(1, ycc);
        for (int threads : {2, 5}) {
            const conv::Image many = develop(threads, ycc);
            ASSERT_EQ(many.width, one.width);
            EXPECT_TRUE(many.px16 == one.px16 && many.ycc420 == one.ycc420) << threads << " threads, ycc " << ycc;
        }
    }
}

// LibRaw reads a lossless JPEG scan straight from memory when it is handed the
// file's bytes, and byte by byte from a file. Both must find the same sensor
// data and the same faults, in the whole CR2 and in copies damaged in the scan:
// cut short, with bytes changed, and with a marker where data should be.
TEST(RawInput, SensorDataReadFromMemoryAsFromAFile) {
    const std::vector<uint8_t> whole = conv::readWholeFile(conv::fromUtf8(CAMERA_RAW_CR2));
    const std::string bytes(whole.begin(), whole.end());
    const size_t sof = bytes.rfind("\xff\xc3"), sos = bytes.find("\xff\xda", sof);
    ASSERT_NE(sos, std::string::npos);
    const size_t scan = sos + 2 + (size_t(whole[sos + 2]) << 8 | whole[sos + 3]), size = whole.size() - scan;

    std::vector<std::vector<uint8_t>> copies{whole};
    copies.emplace_back(whole.begin(), whole.begin() + long(scan + size / 2));
    copies.push_back(whole);
    for (size_t at = scan + size / 7; at < whole.size(); at += size / 7) copies.back()[at] ^= 0x5a;
    copies.push_back(whole);
    copies.back()[scan + size * 2 / 3] = 0xff;
    copies.back()[scan + size * 2 / 3 + 1] = 0xd3;

    struct Unpacked {
        int rc = 0, faults = 0;
        std::vector<uint16_t> sensor;
        bool operator==(const Unpacked& o) const { return rc == o.rc && faults == o.faults && sensor == o.sensor; }
    };
    auto unpack = [](auto open) {
        Unpacked u;
        LibRaw raw;
        raw.set_dataerror_handler([](void* faults, const char*, int) { ++*static_cast<int*>(faults); }, &u.faults);
        EXPECT_EQ(open(raw), LIBRAW_SUCCESS);
        u.rc = raw.unpack();
        if (const uint16_t* s = raw.imgdata.rawdata.raw_image)
            u.sensor.assign(s, s + size_t(raw.imgdata.sizes.raw_pitch / 2) * raw.imgdata.sizes.raw_height);
        return u;
    };
    TempDir tmp;
    for (size_t i = 0; i < copies.size(); ++i) {
        const std::string file = tmp.path("copy" + std::to_string(i) + ".cr2");
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(copies[i].data()), long(copies[i].size()));
        const Unpacked fromMemory = unpack([&](LibRaw& r) { return r.open_buffer(copies[i].data(), copies[i].size()); });
        const Unpacked fromFile = unpack([&](LibRaw& r) { return r.open_file(file.c_str()); });
        EXPECT_TRUE(fromMemory == fromFile) << "copy " << i << ": rc " << fromMemory.rc << " / " << fromFile.rc
                                            << ", faults " << fromMemory.faults << " / " << fromFile.faults;
        if (i == 0) EXPECT_TRUE(fromMemory.rc == LIBRAW_SUCCESS && fromMemory.faults == 0 && !fromMemory.sensor.empty());
        else EXPECT_TRUE(fromMemory.rc != LIBRAW_SUCCESS || fromMemory.faults > 0) << "copy " << i;
    }
}

}  // namespace
