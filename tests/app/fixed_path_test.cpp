// APPDATA unset: the settings file is "\settingheic.ini", the root of the current drive.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/app/form_fixture.h"

namespace tess::testing {
namespace {

class NoAppData : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        GetCurrentDirectoryW(MAX_PATH, previousDir_);
        ASSERT_TRUE(SetCurrentDirectoryW(L"C:\\"));
        ASSERT_TRUE(SetEnvironmentVariableW(L"APPDATA", nullptr));
        hadFile_ = FileExists(kRootFile);
        if (hadFile_) saved_ = ReadBytes(kRootFile);
        DeleteFileW(kRootFile);
    }
    void TearDown() override {
        form_.reset();
        DeleteFileW(kRootFile);
        if (hadFile_) WriteBytes(kRootFile, saved_);
        SetCurrentDirectoryW(previousDir_);
        FormTest::TearDown();
    }
    static constexpr const wchar_t* kRootFile = L"C:\\settingheic.ini";
    wchar_t previousDir_[MAX_PATH] = {};
    bool hadFile_ = false;
    std::string saved_;
};

TEST_F(NoAppData, SettingsLiveAtTheRootOfTheCurrentDrive) {
    WriteBytes(kRootFile, "BMP\r\n60\r\nYES\r\n640\r\n");
    Form1& form = Open({15, 15});
    EXPECT_EQ(form.lblFormat.Text(), L"BMP");
    EXPECT_TRUE(form.txtResize.Enabled());
    form.Text1.SetText(L"61");
    CloseForm();
    EXPECT_EQ(ReadBytes(kRootFile), "BMP\r\n61\r\nYES\r\n640\r\n");
}

TEST_F(NoAppData, StartsWithDefaultsAndClosesWithoutAMessage) {
    Form1& form = Open({15, 15});
    EXPECT_EQ(form.lblFormat.Text(), L"JPG");
    EXPECT_EQ(OtherVisibleWindows(form.hwnd()), 0);
    CloseForm();
    EXPECT_EQ(form.hwnd(), nullptr);
    EXPECT_EQ(ReadBytes(kRootFile), "JPG\r\n85\r\nNO\r\n1600\r\n");
}

}  // namespace
}  // namespace tess::testing
