// CommonDlgsW against the system's own dialogs, driven from a second thread the way a
// user would: read what the dialog shows, type a name, press a button.
#include "dialogs/common_dlgs_w.h"
#include "runner/runtime_error.h"
#include "tests/dialogs/dialog_driver.h"
#include "tests/dialogs/program_filter.h"

#include <colordlg.h>
#include <dlgs.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tess {
namespace {

using testing::ComboItems;
using testing::DialogDriver;
using testing::FindControl;
using testing::Press;
using testing::SetText;
using testing::TempFolder;
using testing::WindowText;

// The box the user types a file name into: the edit inside the explorer dialog's combo
// (cmb13), or the old-style dialog's edit (edt1).
HWND FileNameBox(HWND dialog) {
    for (int id : {cmb13, edt1}) {
        HWND control = FindControl(dialog, id);
        if (!control) continue;
        wchar_t cls[32] = {};
        GetClassNameW(control, cls, 32);
        if (std::wstring(cls) == L"Edit") return control;
        if (HWND edit = FindWindowExW(control, nullptr, L"Edit", nullptr)) return edit;
        if (HWND combo = FindWindowExW(control, nullptr, L"ComboBox", nullptr)) {
            if (HWND edit = FindWindowExW(combo, nullptr, L"Edit", nullptr)) return edit;
        }
        return control;
    }
    return nullptr;
}

// Types `name` into the file-name box and presses the dialog's OK button.
DialogDriver::Action Choose(std::wstring name) {
    return [name](HWND dialog) {
        SetText(FileNameBox(dialog), name);
        Press(dialog, IDOK);
    };
}

void Cancel(HWND dialog) { Press(dialog, IDCANCEL); }

struct FilterView {
    std::vector<std::wstring> items;
    LRESULT selected = -1;
};

// Reads the "Files of type" list, then cancels.
DialogDriver::Action ReadFiltersAndCancel(FilterView& view) {
    return [&view](HWND dialog) {
        HWND types = FindControl(dialog, cmb1);
        view.items = ComboItems(types);
        view.selected = SendMessageW(types, CB_GETCURSEL, 0, 0);
        Cancel(dialog);
    };
}

std::vector<std::wstring> SplitAtNuls(const std::wstring& buffer) {
    std::vector<std::wstring> parts;
    for (std::size_t start = 0; start < buffer.size() && buffer[start] != L'\0';) {
        const std::size_t end = buffer.find(L'\0', start);
        parts.push_back(buffer.substr(start, end - start));
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return parts;
}

// ---- file dialogs ----

TEST(CommonDlgsWOpen, InitialFilterListsAllFiles) {
    CommonDlgsW dlg;
    FilterView view;
    DialogDriver driver(ReadFiltersAndCancel(view));
    EXPECT_FALSE(dlg.ShowOpen(nullptr));
    driver.Join();
    ASSERT_TRUE(driver.FoundDialog());
    EXPECT_TRUE(driver.ClosedByAction());
    EXPECT_EQ(view.items, std::vector<std::wstring>{L"All files (*.*)"});
    EXPECT_EQ(view.selected, 0);
}

TEST(CommonDlgsWOpen, FilterPairsKeepTheirOrderAndTheIndexSelects) {
    CommonDlgsW dlg;
    dlg.SetFilter(L"HEIC images (*.heic)|*.heic|Raw (*.nef;*.dng)|*.nef;*.dng|Everything|*.*");
    const std::vector<std::wstring> expected = {L"HEIC images (*.heic)", L"Raw (*.nef;*.dng)", L"Everything"};

    FilterView first;
    {
        DialogDriver driver(ReadFiltersAndCancel(first));
        EXPECT_FALSE(dlg.ShowOpen(nullptr));
    }
    EXPECT_EQ(first.items, expected);
    EXPECT_EQ(first.selected, 0);

    dlg.SetFilterIndex(3);
    FilterView third;
    {
        DialogDriver driver(ReadFiltersAndCancel(third));
        EXPECT_FALSE(dlg.ShowOpen(nullptr));
    }
    EXPECT_EQ(third.items, expected);
    EXPECT_EQ(third.selected, 2);
}

TEST(CommonDlgsWOpen, ProgramFilterListsItsElevenEntries) {
    CommonDlgsW dlg;
    dlg.SetFilter(testing::kProgramFilter);
    FilterView view;
    {
        DialogDriver driver(ReadFiltersAndCancel(view));
        EXPECT_FALSE(dlg.ShowOpen(nullptr));
    }
    std::vector<std::wstring> descriptions;
    for (const auto& pair : testing::kProgramFilterPairs) descriptions.push_back(pair.description);
    EXPECT_EQ(view.items, descriptions);
    EXPECT_EQ(view.selected, 0);
}

TEST(CommonDlgsWOpen, CancelLeavesTheFieldsAsSet) {
    TempFolder folder;
    const std::wstring photo = folder.AddFile(L"IMG_0001.HEIC");
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());
    dlg.SetTitle(L"earlier");
    dlg.SetFileTitle(L"earlier.heic");
    for (const std::wstring& initial : {std::wstring(), std::wstring(L"start.heic")}) {
        dlg.SetFileName(initial);
        // The user types a name, then changes their mind.
        DialogDriver driver([&](HWND dialog) {
            SetText(FileNameBox(dialog), photo);
            Cancel(dialog);
        });
        EXPECT_FALSE(dlg.ShowOpen(nullptr));
        driver.Join();
        ASSERT_TRUE(driver.FoundDialog());
        EXPECT_EQ(dlg.FileName(), initial);
        EXPECT_EQ(dlg.FileTitle(), L"earlier.heic");
        EXPECT_EQ(dlg.Title(), L"earlier");
        EXPECT_EQ(dlg.Flags(), 0u);
    }
}

TEST(CommonDlgsWOpen, SingleSelectionGivesPathAndTitle) {
    TempFolder folder;
    folder.AddFile(L"IMG_0001.HEIC");
    const std::wstring name = L"\u5199\u771f \u00e9t\u00e9.heic";  // not in code page 1252
    const std::wstring photo = folder.AddFile(name);
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());
    dlg.SetFlags(OFN_HIDEREADONLY);

    DialogDriver driver(Choose(photo));
    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    driver.Join();
    EXPECT_TRUE(driver.ClosedByAction());
    EXPECT_EQ(dlg.FileName(), photo);
    EXPECT_EQ(dlg.FileName().find(L'\0'), std::wstring::npos);
    EXPECT_EQ(dlg.FileTitle(), name);
    EXPECT_EQ(dlg.Title(), name);
    EXPECT_TRUE(dlg.Flags() & OFN_HIDEREADONLY);  // as the dialog returned them
}

TEST(CommonDlgsWOpen, NameTypedAloneIsTakenFromTheInitialFolder) {
    TempFolder folder;
    const std::wstring photo = folder.AddFile(L"IMG_0002.HEIC");
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());

    DialogDriver driver(Choose(L"IMG_0002.HEIC"));
    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    driver.Join();
    EXPECT_EQ(dlg.FileName(), photo);
    EXPECT_EQ(dlg.FileTitle(), L"IMG_0002.HEIC");
}

TEST(CommonDlgsWOpen, NoValidateGivesThePathButNoTitle) {
    TempFolder folder;
    const std::wstring photo = folder.AddFile(L"IMG_0003.HEIC");
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());
    dlg.SetTitle(L"earlier");
    dlg.SetFlags(OFN_NOVALIDATE);

    DialogDriver driver(Choose(photo));
    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    driver.Join();
    EXPECT_EQ(dlg.FileName(), photo);
    EXPECT_TRUE(dlg.FileTitle().empty());
    EXPECT_EQ(dlg.Title(), L"earlier");
    EXPECT_TRUE(dlg.Flags() & OFN_NOVALIDATE);
}

TEST(CommonDlgsWOpen, MultiSelectReturnsTheWholeBuffer) {
    TempFolder folder;
    folder.AddFile(L"a.heic");
    folder.AddFile(L"b \u5199.nef");
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());
    dlg.SetTitle(L"earlier");
    dlg.SetFlags(OFN_ALLOWMULTISELECT | OFN_EXPLORER);

    DialogDriver driver(Choose(L"\"a.heic\" \"b \u5199.nef\""));
    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    driver.Join();
    EXPECT_EQ(dlg.FileName().size(), CommonDlgsW::kBufferChars);
    EXPECT_EQ(SplitAtNuls(dlg.FileName()),
              (std::vector<std::wstring>{folder.Path(), L"a.heic", L"b \u5199.nef"}));
    EXPECT_TRUE(dlg.FileTitle().empty());
    EXPECT_EQ(dlg.Title(), L"earlier");
}

TEST(CommonDlgsWOpen, OverlongNameRaisesBeforeAnyDialogOpens) {
    CommonDlgsW dlg;  // the system's own dialogs
    dlg.SetFileName(L"C:\\" + std::wstring(254, L'n'));  // 257 characters
    DialogDriver driver(Cancel);
    EXPECT_THROW(dlg.ShowOpen(nullptr), RuntimeError);
    EXPECT_THROW(dlg.ShowSave(nullptr), RuntimeError);
    driver.Join();
    EXPECT_FALSE(driver.FoundDialog());
}

TEST(CommonDlgsWSave, CaptionAndDefaultExtensionReachTheDialog) {
    TempFolder folder;
    CommonDlgsW dlg;
    dlg.SetInitDir(folder.Path());
    dlg.SetDialogTitle(L"Save the picture");
    dlg.SetDefaultExt(L"jpg");
    std::wstring caption;

    DialogDriver driver([&](HWND dialog) {
        caption = WindowText(dialog);
        Choose(L"new picture")(dialog);
    });
    ASSERT_TRUE(dlg.ShowSave(nullptr));
    driver.Join();
    EXPECT_EQ(caption, L"Save the picture");
    EXPECT_EQ(dlg.FileName(), folder.Path() + L"\\new picture.jpg");
    EXPECT_EQ(dlg.FileTitle(), L"new picture.jpg");
}

// ---- colour dialog ----

struct Rgb {
    std::wstring red, green, blue;
    bool operator==(const Rgb&) const = default;
};

Rgb ReadRgb(HWND dialog) {
    return {WindowText(FindControl(dialog, COLOR_RED)), WindowText(FindControl(dialog, COLOR_GREEN)),
            WindowText(FindControl(dialog, COLOR_BLUE))};
}

void TypeRgb(HWND dialog, const Rgb& rgb) {
    SetText(FindControl(dialog, COLOR_RED), rgb.red);
    SetText(FindControl(dialog, COLOR_GREEN), rgb.green);
    SetText(FindControl(dialog, COLOR_BLUE), rgb.blue);
}

TEST(CommonDlgsWColorDialog, OpensOnTheStoredColourAndCancelKeepsIt) {
    CommonDlgsW dlg;
    dlg.SetColor(RGB(10, 20, 30));
    Rgb shown;
    DialogDriver driver([&](HWND dialog) {
        shown = ReadRgb(dialog);
        TypeRgb(dialog, {L"1", L"2", L"3"});
        Cancel(dialog);
    });
    EXPECT_FALSE(dlg.ShowColor(nullptr));
    driver.Join();
    ASSERT_TRUE(driver.FoundDialog());
    EXPECT_EQ(shown, (Rgb{L"10", L"20", L"30"}));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(RGB(10, 20, 30)));
}

TEST(CommonDlgsWColorDialog, AcceptGivesTheChosenColour) {
    CommonDlgsW dlg;
    dlg.SetColor(static_cast<std::int32_t>(0x80000000u | COLOR_WINDOW));
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    Rgb shown;
    DialogDriver driver([&](HWND dialog) {
        shown = ReadRgb(dialog);
        TypeRgb(dialog, {L"200", L"100", L"50"});
        Press(dialog, IDOK);
    });
    ASSERT_TRUE(dlg.ShowColor(nullptr));
    driver.Join();
    EXPECT_EQ(shown, (Rgb{std::to_wstring(GetRValue(window)), std::to_wstring(GetGValue(window)),
                          std::to_wstring(GetBValue(window))}));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(RGB(200, 100, 50)));
}

TEST(CommonDlgsWColorDialog, CustomColoursCarryOverToTheNextDialog) {
    // The first dialog is the system's; the second call is watched to see which custom
    // colours it is offered, and then shown for real too.
    std::vector<COLORREF> offeredFirst, offeredSecond;
    int calls = 0;
    DialogCalls watched = DialogCalls::System();
    watched.chooseColor = [&](CHOOSECOLORW* record) {
        (++calls == 1 ? offeredFirst : offeredSecond).assign(record->lpCustColors, record->lpCustColors + 16);
        return ChooseColorW(record);
    };
    CommonDlgsW dlg(watched);

    {
        DialogDriver driver([](HWND dialog) {
            TypeRgb(dialog, {L"200", L"100", L"50"});
            Press(dialog, COLOR_ADD);
            Press(dialog, IDOK);
        });
        ASSERT_TRUE(dlg.ShowColor(nullptr));
    }
    {
        DialogDriver driver(Cancel);
        EXPECT_FALSE(dlg.ShowColor(nullptr));
    }

    EXPECT_EQ(offeredFirst, std::vector<COLORREF>(16, 0));
    ASSERT_EQ(offeredSecond.size(), 16u);
    EXPECT_NE(std::find(offeredSecond.begin(), offeredSecond.end(), RGB(200, 100, 50)), offeredSecond.end());
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(RGB(200, 100, 50)));
}

}  // namespace
}  // namespace tess
