// The option controls of the real window: output folder, format, resize switch, product
// page, the two path tests, and what the settings file keeps of the clicks.
#include <gtest/gtest.h>
#include <ole2.h>

#include <memory>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "app/option_controls.h"
#include "tests/batch/support.h"
#include "tests/batch/wired_form.h"
#include "tests/dialogs/dialog_driver.h"

namespace tess {
namespace {

using testing::ReadBytes;
using testing::ShellRecorder;
using testing::TempFolder;
using testing::WriteBytes;

class OptionControls : public testing::WiredFormTest {
protected:
    // A click as the user makes it: the mouse button goes down and up on the control.
    void Click(const tess::Control& control) {
        SendMessageW(control.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
        SendMessageW(control.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
        testing::PumpUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    void ClickCommand1() {
        SendMessageW(form_->Command1.Handle(), BM_CLICK, 0, 0);
        testing::PumpUntil([] { return false; }, std::chrono::milliseconds(20));
    }

    void ExpectFolder(const std::wstring& folder) {
        EXPECT_EQ(form_->strOutputPath, folder);
        EXPECT_EQ(form_->lblPath.Text(), folder);
        EXPECT_EQ(form_->Command1.Text(), folder);
    }
};

TEST_F(OptionControls, ChoosingAFolderShowsItInBothCaptions) {
    EXPECT_EQ(form_->lblPath.Text(), L"Output Path (C:\\Output)");
    shell_.chosenFolder = "D:\\Photos";
    Click(form_->lblPath);

    ASSERT_EQ(shell_.browses.size(), 1u);
    const BROWSEINFOA& request = shell_.browses[0];
    EXPECT_EQ(request.hwndOwner, form_->hwnd());
    EXPECT_EQ(request.pidlRoot, nullptr);
    EXPECT_EQ(request.pszDisplayName, nullptr);
    EXPECT_EQ(shell_.browseTitles[0], "Please select a folder:");
    EXPECT_EQ(request.ulFlags, static_cast<UINT>(BIF_RETURNONLYFSDIRS));
    EXPECT_EQ(request.lpfn, nullptr);
    EXPECT_EQ(request.lParam, 0);
    ExpectFolder(L"D:\\Photos");
}

TEST_F(OptionControls, CancellingAfterAChoiceGoesBackToTheDefaultFolder) {
    shell_.chosenFolder = "D:\\Photos";
    ClickCommand1();
    ExpectFolder(L"D:\\Photos");
    shell_.chosenFolder.clear();
    Click(form_->lblPath);
    EXPECT_EQ(shell_.browses.size(), 2u);
    ExpectFolder(L"C:\\output");
}

TEST_F(OptionControls, ADriveRootKeepsItsBackslash) {
    shell_.chosenFolder = "E:\\";
    Click(form_->lblPath);
    ExpectFolder(L"E:\\");
}

TEST_F(OptionControls, AChoiceWithoutAFileSystemPathGoesBackToTheDefaultFolder) {
    shell_.chosenFolder = "D:\\Photos";
    Click(form_->lblPath);
    shell_.pathConversionFails = true;
    Click(form_->lblPath);
    ExpectFolder(L"C:\\output");
    EXPECT_EQ(shell_.idListsHandedOut, 2);
}

TEST_F(OptionControls, ANonWesternFolderNameComesThroughTheCodePage) {
    shell_.chosenFolder = "D:\\Fotos \xE9t\xE9";  // "été" in Windows-1252
    Click(form_->lblPath);
    if (GetACP() == 1252) ExpectFolder(L"D:\\Fotos \u00E9t\u00E9");
}

TEST_F(OptionControls, TheFormatCyclesThroughTheFiveWords) {
    ASSERT_EQ(form_->lblFormat.Text(), L"JPG");
    std::vector<std::wstring> seen;
    for (int i = 0; i < 5; ++i) {
        Click(form_->lblFormat);
        seen.push_back(form_->lblFormat.Text());
    }
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"PNG", L"GIF", L"TIF", L"BMP", L"JPG"}));
}

TEST_F(OptionControls, AFormatWordOutsideTheCycleStaysAsItIs) {
    for (const wchar_t* word : {L"jpg", L"JPEG", L""}) {
        form_->lblFormat.SetText(word);
        Click(form_->lblFormat);
        Click(form_->lblFormat);
        EXPECT_EQ(form_->lblFormat.Text(), word);
    }
}

TEST_F(OptionControls, TheResizeSwitchTogglesTheWidthBoxAndKeepsTheWidth) {
    ASSERT_EQ(form_->Label5.Text(), L"NO");
    ASSERT_FALSE(form_->txtResize.Enabled());
    Click(form_->Label5);
    EXPECT_EQ(form_->Label5.Text(), L"YES");
    EXPECT_TRUE(form_->txtResize.Enabled());
    form_->txtResize.SetText(L"800");
    Click(form_->Label5);
    EXPECT_EQ(form_->Label5.Text(), L"NO");
    EXPECT_FALSE(form_->txtResize.Enabled());
    EXPECT_EQ(form_->txtResize.Text(), L"800");
}

TEST_F(OptionControls, AnySwitchWordButNOTurnsTheSwitchOff) {
    for (const wchar_t* word : {L"YES", L"yes", L"no"}) {
        form_->Label5.SetText(word);
        form_->txtResize.SetEnabled(true);
        Click(form_->Label5);
        EXPECT_EQ(form_->Label5.Text(), L"NO") << testing::Utf8(word);
        EXPECT_FALSE(form_->txtResize.Enabled());
    }
}

TEST_F(OptionControls, TheLinkOpensTheProductPageAndLeavesTheWindowAsItWas) {
    const std::wstring prompt = form_->Label1.Text();
    Click(form_->Label3);
    ASSERT_EQ(shell_.executes.size(), 1u);
    const auto& open = shell_.executes[0];
    EXPECT_EQ(open.owner, nullptr);
    EXPECT_EQ(open.verb, "open");
    EXPECT_EQ(open.file, kProductPage);
    EXPECT_TRUE(open.parametersNull && open.directoryNull);
    EXPECT_EQ(open.show, SW_SHOWNORMAL);
    EXPECT_EQ(form_->Label1.Text(), prompt);
    // The link's text names the page it opens.
    EXPECT_NE(std::string(kProductPage).find(testing::Utf8(form_->Label3.Text())), std::string::npos);
}

TEST_F(OptionControls, FileAndFolderTestsTellFilesFromFolders) {
    const std::wstring file = temp_.AddFile(L"photo.HEIC");
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FolderExists(file));
    EXPECT_TRUE(FolderExists(temp_.Path()));
    EXPECT_FALSE(FileExists(temp_.Path()));
    for (const std::wstring& nothing : {temp_.Path() + L"\\missing.HEIC", std::wstring()}) {
        EXPECT_FALSE(FileExists(nothing));
        EXPECT_FALSE(FolderExists(nothing));
    }
    // They ask through the ANSI code page: a name it cannot hold is not found.
    const std::wstring hangul = temp_.AddFile(L"\uC0AC\uC9C4.HEIC");
    EXPECT_FALSE(FileExists(hangul));
}

TEST_F(OptionControls, TheSettingsSavedAtCloseReflectTheClicks) {
    Click(form_->lblFormat);
    Click(form_->lblFormat);
    Click(form_->Label5);
    shell_.chosenFolder = "D:\\Photos";
    Click(form_->lblPath);
    CloseForm();
    EXPECT_EQ(ReadBytes(temp_.Path() + L"\\settingheic.ini"), "GIF\r\n85\r\nYES\r\n1600\r\n");

    // The next start shows them again; the output folder is not kept.
    OpenForm();
    EXPECT_EQ(form_->lblFormat.Text(), L"GIF");
    EXPECT_EQ(form_->Label5.Text(), L"YES");
    EXPECT_TRUE(form_->txtResize.Enabled());
    EXPECT_EQ(form_->strOutputPath, L"C:\\output");
}

}  // namespace
}  // namespace tess
