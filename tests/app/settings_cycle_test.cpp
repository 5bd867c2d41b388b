// Start-up and shutdown with the settings file in a temporary APPDATA folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/scoped_win.h"
#include "tests/app/form_fixture.h"

namespace tess::testing {
namespace {

class StartClose : public FormTest {
protected:
    void ExpectControls(const wchar_t* format, const wchar_t* quality, const wchar_t* sw, const wchar_t* width,
                        bool widthEnabled) {
        EXPECT_EQ(form_->lblFormat.Text(), format);
        EXPECT_EQ(form_->Text1.Text(), quality);
        EXPECT_EQ(form_->Label5.Text(), sw);
        EXPECT_EQ(form_->txtResize.Text(), width);
        EXPECT_EQ(form_->txtResize.Enabled(), widthEnabled);
    }
    // Starts, checks that nothing but the window came up, and closes.
    void StartAndClose() {
        Open({15, 15});
        EXPECT_EQ(OtherVisibleWindows(form_->hwnd()), 0);
        CloseForm();
        EXPECT_EQ(form_->hwnd(), nullptr);
    }
};

TEST_F(StartClose, NoFileKeepsTheDefaultsAndClosingWritesThem) {
    ASSERT_FALSE(FileExists(SettingsFile()));
    Form1& form = Open({15, 15});
    ExpectControls(L"JPG", L"85", L"NO", L"1600", false);
    EXPECT_EQ(form.strOutputPath, L"C:\\output");
    EXPECT_EQ(form.strCommand, L"");
    EXPECT_EQ(form.strResize, L"");
    EXPECT_EQ(form.lstFile.ListCount(), 0);
    CloseForm();
    EXPECT_EQ(ReadBytes(SettingsFile()), "JPG\r\n85\r\nNO\r\n1600\r\n");
}

TEST_F(StartClose, SavedValuesComeBackIntoTheControls) {
    WriteBytes(SettingsFile(), "PNG\r\n90\r\nYES\r\n1200\r\n");
    Open({15, 15});
    ExpectControls(L"PNG", L"90", L"YES", L"1200", true);
    CloseForm();
    EXPECT_EQ(ReadBytes(SettingsFile()), "PNG\r\n90\r\nYES\r\n1200\r\n");
}

TEST_F(StartClose, SwitchWordIsComparedExactly) {
    WriteBytes(SettingsFile(), "JPG\r\n85\r\nyes\r\n1600\r\n");
    Open({15, 15});
    ExpectControls(L"JPG", L"85", L"yes", L"1600", false);
}

TEST_F(StartClose, CommasQuotesAndEmptyLinesStayAsTheyAre) {
    WriteBytes(SettingsFile(), "jpg\r\n8,5\"\r\nNO\r\n\r\n");
    Open({15, 15});
    ExpectControls(L"jpg", L"8,5\"", L"NO", L"", false);
    CloseForm();
    EXPECT_EQ(ReadBytes(SettingsFile()), "jpg\r\n8,5\"\r\nNO\r\n\r\n");
}

TEST_F(StartClose, ClosingSavesWhatTheControlsShowThen) {
    Form1& form = Open({15, 15});
    form.lblFormat.SetText(L"GIF");
    form.Text1.SetText(L"70");
    form.Label5.SetText(L"YES");
    form.txtResize.SetText(L"800");
    form.strOutputPath = L"D:\\Photos";  // not saved
    CloseForm();
    EXPECT_EQ(ReadBytes(SettingsFile()), "GIF\r\n70\r\nYES\r\n800\r\n");
}

TEST_F(StartClose, LoadStepsRunInOrder) {
    WriteBytes(SettingsFile(), "PNG\r\n90\r\nYES\r\n1200\r\n");
    std::vector<std::wstring> seen;
    form_ = std::make_unique<Form1>(Form1::Options{15, 15});
    // The runner and the dialog object are created after the output folder is set and
    // before the settings are read.
    form_->events.createRunner = [&] { seen.push_back(L"runner " + form_->strOutputPath + L" " + form_->lblFormat.Text()); };
    form_->events.createDialogs = [&] { seen.push_back(L"dialogs " + form_->lblFormat.Text()); };
    ASSERT_TRUE(form_->Load());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"runner C:\\output JPG", L"dialogs JPG"}));
    EXPECT_EQ(form_->lblFormat.Text(), L"PNG");
}

TEST_F(StartClose, AFailingStepIsSkippedAndTheNextOneRuns) {
    form_ = std::make_unique<Form1>(Form1::Options{15, 15});
    form_->events.createRunner = [] { throw std::runtime_error("no runner"); };
    bool dialogs = false;
    form_->events.createDialogs = [&] { dialogs = true; };
    WriteBytes(SettingsFile(), "TIF\r\n");
    ASSERT_TRUE(form_->Load());
    EXPECT_TRUE(dialogs);
    EXPECT_EQ(form_->lblFormat.Text(), L"TIF");
    EXPECT_TRUE(GetWindowLongW(form_->hwnd(), GWL_EXSTYLE) & WS_EX_TOPMOST);
}

// Bad settings files: the window starts and closes without a message, and what can be
// applied is applied.
TEST_F(StartClose, FewerLinesApplyOnlyThoseLines) {
    WriteBytes(SettingsFile(), "PNG\r\n90\r\n");
    Open({15, 15});
    ExpectControls(L"PNG", L"90", L"NO", L"1600", false);
}

TEST_F(StartClose, EmptyFileChangesNothing) {
    WriteBytes(SettingsFile(), "");
    StartAndClose();
    EXPECT_EQ(ReadBytes(SettingsFile()), "JPG\r\n85\r\nNO\r\n1600\r\n");
}

TEST_F(StartClose, BinaryGarbageStillStartsAndCloses) {
    std::string garbage;
    unsigned seed = 12345;
    for (int i = 0; i < 4096; ++i) {
        seed = seed * 1103515245u + 12345u;
        garbage.push_back(static_cast<char>(seed >> 16));
    }
    WriteBytes(SettingsFile(), garbage);
    StartAndClose();
    // Whatever came in goes out again as four lines.
    const std::string saved = ReadBytes(SettingsFile());
    int lineEnds = 0;
    for (std::size_t i = 0; i + 1 < saved.size(); ++i)
        if (saved[i] == '\r' && saved[i + 1] == '\n') ++lineEnds;
    EXPECT_GE(lineEnds, 4);
}

TEST_F(StartClose, AMegabyteLineIsTakenWhole) {
    const std::string big(1 << 20, 'J');
    WriteBytes(SettingsFile(), big + "\r\n90\r\nNO\r\n1200\r\n");
    Open({15, 15});
    EXPECT_EQ(form_->lblFormat.Text().size(), big.size());
    EXPECT_EQ(form_->Text1.Text(), L"90");
    EXPECT_EQ(form_->txtResize.Text(), L"1200");
    EXPECT_EQ(OtherVisibleWindows(form_->hwnd()), 0);
    CloseForm();
    EXPECT_EQ(ReadBytes(SettingsFile()), big + "\r\n90\r\nNO\r\n1200\r\n");
}

TEST_F(StartClose, UnreadableFileKeepsTheDefaultsAndIsLeftAlone) {
    WriteBytes(SettingsFile(), "PNG\r\n90\r\nYES\r\n1200\r\n");
    {
        // Held open without sharing: neither reading nor writing gets in.
        const UniqueHandle lock(CreateFileW(SettingsFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(lock);
        Open({15, 15});
        ExpectControls(L"JPG", L"85", L"NO", L"1600", false);
        EXPECT_EQ(OtherVisibleWindows(form_->hwnd()), 0);
        CloseForm();
        EXPECT_EQ(form_->hwnd(), nullptr);
    }
    EXPECT_EQ(ReadBytes(SettingsFile()), "PNG\r\n90\r\nYES\r\n1200\r\n");
}

TEST_F(StartClose, SettingsPathThatCannotBeWrittenStillCloses) {
    const std::wstring missing = dir_ + L"\\no\\such\\folder";
    ASSERT_TRUE(SetEnvironmentVariableW(L"APPDATA", missing.c_str()));
    StartAndClose();
    EXPECT_FALSE(FileExists(missing + L"\\settingheic.ini"));
    EXPECT_FALSE(FileExists(dir_ + L"\\no"));
}

TEST_F(StartClose, SettingsPathIsAFolder) {
    CreateDirectoryW(SettingsFile().c_str(), nullptr);
    StartAndClose();
    EXPECT_TRUE(GetFileAttributesW(SettingsFile().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(StartClose, OutputFolderIsNotKeptBetweenRuns) {
    Form1& form = Open({15, 15});
    form.strOutputPath = L"D:\\Photos";
    form.Command1.SetText(L"D:\\Photos");
    form.lblPath.SetText(L"D:\\Photos");
    CloseForm();
    Form1& again = Open({15, 15});
    EXPECT_EQ(again.strOutputPath, L"C:\\output");
    EXPECT_EQ(again.Command1.Text(), L"Set Output Path(C:\\Output by Default)");
    EXPECT_EQ(again.lblPath.Text(), L"Output Path (C:\\Output)");
}

}  // namespace
}  // namespace tess::testing
