// Real photos dropped on the real window, converted by the real data\convert.exe into
// C:\output: every output is checked for its name, size, orientation, profile and EXIF,
// and its pixels against what the native converter makes of the same photo.
#include <gtest/gtest.h>
#include <ole2.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "convert/batch_driver_win.h"
#include "convert/naming.h"
#include "tests/batch/support.h"
#include "tests/batch/wired_form.h"
#include "tests/dialogs/dialog_driver.h"
#include "tests/e2e/drop_run.h"
#include "tests/e2e/e2e_paths.h"
#include "tests/e2e/jpeg_check.h"

namespace tess {
namespace {

using testing::FilesIn;
using testing::IsFile;
using testing::ReadBytes;
using testing::Utf8;

// What one output must be.
struct Expected {
    std::wstring name;          // in the output folder
    int width = 0, height = 0;  // as shown
    std::string icc;            // the profile it must carry; empty: none (sRGB)
    bool exif = false;          // EXIF kept (and then with Orientation 1)
    std::wstring upright;       // a JPEG of the photo as it must look, or empty
    std::wstring reference;     // the native converter's JPEG of the same photo
};

void CheckOutput(const std::wstring& folder, const Expected& e) {
    SCOPED_TRACE(Utf8(e.name));
    const std::string bytes = ReadBytes(folder + L"\\" + e.name);
    ASSERT_FALSE(bytes.empty()) << "no output " << Utf8(e.name);
    const e2e::JpegMarkers m = e2e::ReadJpegMarkers(bytes);
    ASSERT_TRUE(m.valid);
    EXPECT_EQ(m.width, e.width);
    EXPECT_EQ(m.height, e.height);
    EXPECT_TRUE(m.icc == e.icc) << "profile of " << m.icc.size() << " bytes, expected " << e.icc.size();
    EXPECT_EQ(m.hasExif, e.exif);
    if (e.exif) {
        EXPECT_EQ(m.orientation, 1);
    }

    if (!e.upright.empty()) {
        // Small versions of both: a turned or mirrored output differs everywhere.
        const e2e::Pixels got = e2e::DecodeJpeg(bytes, 8), want = e2e::DecodeJpeg(ReadBytes(e.upright), 8);
        ASSERT_FALSE(want.rgb.empty()) << Utf8(e.upright);
        EXPECT_GE(e2e::Psnr(got, want), 30.0) << "not turned as the photo is shown";
    }

    const std::string reference = e.reference.empty() ? std::string() : ReadBytes(e.reference);
    if (reference.empty()) {
        std::printf("[   NOTE   ] %s: no native converter output to compare with (see e2e.references)\n",
                    Utf8(e.name).c_str());
        return;
    }
    if (bytes == reference) return;
    const double psnr = e2e::Psnr(e2e::DecodeJpeg(bytes), e2e::DecodeJpeg(reference));
    EXPECT_GE(psnr, 60.0) << "the Windows converter's pixels differ from the native one's";
}

// The options are the defaults: the test's settings folder starts empty.
class DroppedPhotos : public testing::WiredFormTest {
protected:
    void SetUp() override {
        WiredFormTest::SetUp();
        if (HasFatalFailure()) return;
        out_ = form_->strOutputPath;
        ASSERT_EQ(out_, L"C:\\output");
        for (const std::wstring& name : FilesIn(out_)) DeleteFileW((out_ + L"\\" + name).c_str());
        wiring_->batches()->SetFailureNotice(
            [this](HWND, const std::wstring& text) { notices_.push_back(text); });
    }

    // Drops the files and runs the window until the batch has opened the output folder.
    void DropAndConvert(const std::vector<std::wstring>& paths) {
        ASSERT_TRUE(e2e::DropAndRunBatch(*form_, *wiring_, shell_, paths, std::chrono::minutes(5)));
        EXPECT_EQ(shell_.executes.size(), 1u);
        EXPECT_EQ(form_->Label1.Text(), Form1::kPrompt);
    }

    std::string Notices() const {
        std::wstring all;
        for (const std::wstring& n : notices_) all += n + L"\n";
        return Utf8(all);
    }

    std::wstring out_;
    std::vector<std::wstring> notices_;
};

// One drop of every kind of photo: a phone-like grid turned in its container with a
// Display P3 profile, 10 bits, camera raw, Radiance HDR and a PQ-coded HDR camera picture.
TEST_F(DroppedPhotos, EveryKindComesOutRight) {
    DropAndConvert({e2e::Photo(L"grid_p3_rot.heic"), e2e::Photo(L"deep10.heic"), e2e::Photo(L"camera.cr2"),
                    e2e::Photo(L"scene.hdr"), e2e::Photo(L"hdr_pq.heic")});
    EXPECT_TRUE(notices_.empty()) << Notices();
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"camera.JPG", L"deep10.JPG", L"grid_p3_rot.JPG",
                                                        L"hdr_pq.JPG", L"scene.JPG"}));

    const std::string p3 = ReadBytes(e2e::DisplayP3Profile());
    ASSERT_FALSE(p3.empty());
    // Stored 3024x4032 and turned by the container; its EXIF Orientation 6 must not turn
    // it a second time.
    CheckOutput(out_, {L"grid_p3_rot.JPG", 4032, 3024, p3, true, e2e::Photo(L"grid_upright.jpg"),
                       e2e::Reference(L"grid_p3_rot")});
    CheckOutput(out_, {L"deep10.JPG", 2000, 1500, {}, false, {}, e2e::Reference(L"deep10")});
    // The camera's own crop of the Canon EOS 30D's sensor, with the file's own EXIF.
    CheckOutput(out_, {L"camera.JPG", 3504, 2335, {}, true, {}, e2e::Reference(L"camera")});
    CheckOutput(out_, {L"scene.JPG", 256, 128, {}, false, {}, e2e::Reference(L"scene")});
    // The SDR picture of an sRGB photo, and its highlights' light in a gain map.
    CheckOutput(out_, {L"hdr_pq.JPG", 800, 600, {}, false, {}, e2e::Reference(L"hdr_pq")});
    EXPECT_NE(ReadBytes(out_ + L"\\hdr_pq.JPG").find("urn:iso:std:iso:ts:21496:-1"), std::string::npos);
}

// A DNG, the camera raw format every raw developer writes, marked as taken upright in
// portrait: it comes out turned, at the sensor's full visible area.
TEST_F(DroppedPhotos, ADngComesOutTurnedAsTheCameraHeldIt) {
    const std::wstring dng = e2e::Photo(L"camera_rot6.dng");
    if (!IsFile(dng)) GTEST_SKIP() << "no DNG photo: the native build's make_dng was not there (see e2e.photos)";
    DropAndConvert({dng});
    EXPECT_TRUE(notices_.empty()) << Notices();
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"camera_rot6.JPG"}));
    CheckOutput(out_, {L"camera_rot6.JPG", 2335, 3504, {}, true, {}, e2e::Reference(L"camera_rot6")});
}

// A camera LibRaw does not know (the CR2 relabelled as a body no LibRaw has colour data
// for, marked "rotate 90 CW"): the camera's embedded preview comes out instead of a
// wrongly coloured development, turned, with the file's EXIF, and counts as converted.
TEST_F(DroppedPhotos, AnUnknownCameraComesOutAsItsEmbeddedPreview) {
    const std::wstring raw = e2e::Photo(L"unknown_body.cr2");
    ASSERT_TRUE(IsFile(raw)) << "no unknown_body.cr2 (see e2e.photos)";
    DropAndConvert({raw});
    EXPECT_TRUE(notices_.empty()) << Notices();
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"unknown_body.JPG"}));
    CheckOutput(out_, {L"unknown_body.JPG", 1152, 1728, {}, true, {}, e2e::Reference(L"unknown_body")});
}

// A Japanese name: code page 932 holds it, so the converter gets it on its (ANSI) command
// line and the output keeps the name; 1252 does not, so the photo is converted from a
// scratch copy in c:\tmp and the output is named by the time.
TEST_F(DroppedPhotos, CodePageJapaneseNameConverts) {
    const std::wstring name = L"\u5199\u771F \u65C5\u884C";  // 写真 旅行
    const std::wstring photo = temp_.Path() + L"\\" + name + L".HEIC";
    ASSERT_TRUE(CopyFileW(e2e::Photo(L"small.heic").c_str(), photo.c_str(), FALSE));
    const std::vector<std::wstring> scratchBefore = FilesIn(L"c:\\tmp");

    DropAndConvert({photo});
    EXPECT_TRUE(notices_.empty()) << Notices();
    const std::vector<std::wstring> outputs = FilesIn(out_);
    ASSERT_EQ(outputs.size(), 1u);
    if (SurvivesCodePage(photo)) {
        EXPECT_EQ(outputs[0], name + L".JPG");
    } else {
        EXPECT_TRUE(std::regex_match(outputs[0], std::wregex(LR"(\d{8}-\d{6}( \(\d+\))?\.JPG)")))
            << Utf8(outputs[0]);
    }
    CheckOutput(out_, {outputs[0], 800, 600, {}, false, {}, e2e::Reference(L"small")});

    for (const std::wstring& file : FilesIn(L"c:\\tmp"))
        if (std::find(scratchBefore.begin(), scratchBefore.end(), file) == scratchBefore.end())
            DeleteFileW((L"c:\\tmp\\" + file).c_str());
}

TEST_F(DroppedPhotos, ACorruptPhotoAmongGoodOnesIsNamedAndTheOthersConvert) {
    DropAndConvert({e2e::Photo(L"small.heic"), e2e::Photo(L"broken.heic"), e2e::Photo(L"scene.hdr")});
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"scene.JPG", L"small.JPG"}));
    CheckOutput(out_, {L"small.JPG", 800, 600, {}, false, {}, e2e::Reference(L"small")});
    CheckOutput(out_, {L"scene.JPG", 256, 128, {}, false, {}, e2e::Reference(L"scene")});

    ASSERT_EQ(notices_.size(), 1u);
    const std::wstring& text = notices_[0];
    EXPECT_NE(text.find(L"1 of 3 photos could not be converted:"), std::wstring::npos) << Utf8(text);
    // The photo by name, with the converter's own reason.
    EXPECT_NE(text.find(L"broken.heic: "), std::wstring::npos) << Utf8(text);
    // (The file is cut inside its coded data: its boxes read, its picture does not.)
    EXPECT_NE(text.find(L"cannot decode the picture"), std::wstring::npos) << Utf8(text);
    EXPECT_EQ(text.find(L"small"), std::wstring::npos) << Utf8(text);
    EXPECT_EQ(text.find(L"scene"), std::wstring::npos) << Utf8(text);
}

// What users drop most: a phone's HEIC photos (grid tiles, Display P3, gain map), one of
// them portrait by a rotation in the container and by its EXIF.
TEST_F(DroppedPhotos, RealPhonePhotos) {
    const std::wstring portrait = e2e::Sample(L"iphone13pm_portrait_grid_p3_rot90.heic");
    const std::wstring landscape = e2e::Sample(L"iphone13pm_landscape_grid_p3.heic");
    const std::wstring phoneJpeg = e2e::Sample(L"iphone13pm_portrait_grid_p3_rot90.reference.jpg");
    if (!IsFile(portrait) || !IsFile(landscape) || !IsFile(phoneJpeg))
        GTEST_SKIP() << "the phone samples are not there (" << Utf8(e2e::Sample(L"")) << ")";

    DropAndConvert({landscape, portrait});
    EXPECT_TRUE(notices_.empty()) << Notices();
    // The phone's own JPEG of the portrait carries the profile the converter must keep.
    const std::string p3 = e2e::ReadJpegMarkers(ReadBytes(phoneJpeg)).icc;
    ASSERT_FALSE(p3.empty());
    CheckOutput(out_, {L"iphone13pm_portrait_grid_p3_rot90.JPG", 3024, 4032, p3, true, phoneJpeg,
                       e2e::Reference(L"iphone13pm_portrait_grid_p3_rot90")});
    CheckOutput(out_, {L"iphone13pm_landscape_grid_p3.JPG", 4032, 3024, p3, true, {},
                       e2e::Reference(L"iphone13pm_landscape_grid_p3")});
}

}  // namespace
}  // namespace tess
