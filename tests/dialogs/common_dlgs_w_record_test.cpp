// The records CommonDlgsW hands to the system, and how it reads their results back, with
// the system calls replaced by fakes that act as a dialog would.
#include "dialogs/common_dlgs_w.h"
#include "runner/runtime_error.h"
#include "tests/dialogs/program_filter.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tess {
namespace {

using namespace std::string_literals;

// A file dialog stand-in: remembers what it was given and answers as told.
struct FakeFileDialog {
    int calls = 0;
    OPENFILENAMEW seen{};
    std::vector<std::wstring> filterParts;
    std::wstring fileBuffer;       // lpstrFile, nMaxFile characters
    std::wstring fileTitleBuffer;  // lpstrFileTitle, nMaxFileTitle characters
    std::wstring initDirBuffer;    // lpstrInitialDir, 256 characters
    std::wstring title;
    std::wstring defExt;

    // What the "user" picks: written into the record's buffers before returning.
    std::wstring writeFile;
    std::wstring writeFileTitle;
    DWORD addFlags = 0;
    BOOL result = TRUE;

    BOOL operator()(OPENFILENAMEW* record) {
        ++calls;
        seen = *record;
        filterParts.clear();
        for (const wchar_t* p = record->lpstrFilter; p && *p; p += wcslen(p) + 1) filterParts.push_back(p);
        fileBuffer.assign(record->lpstrFile, record->nMaxFile);
        fileTitleBuffer.assign(record->lpstrFileTitle, record->nMaxFileTitle);
        initDirBuffer = record->lpstrInitialDir
                            ? std::wstring(record->lpstrInitialDir, CommonDlgsW::kBufferChars)
                            : L"<null>";
        title = record->lpstrTitle ? record->lpstrTitle : L"<null>";
        defExt = record->lpstrDefExt ? record->lpstrDefExt : L"<null>";

        std::copy(writeFile.begin(), writeFile.end(), record->lpstrFile);
        std::copy(writeFileTitle.begin(), writeFileTitle.end(), record->lpstrFileTitle);
        record->Flags |= addFlags;
        return result;
    }
};

struct Fakes {
    FakeFileDialog open;
    FakeFileDialog save;
    std::vector<CHOOSECOLORW> colorRecords;
    std::function<BOOL(CHOOSECOLORW*)> color = [](CHOOSECOLORW*) { return FALSE; };

    DialogCalls Calls() {
        return DialogCalls{
            [this](OPENFILENAMEW* r) { return open(r); },
            [this](OPENFILENAMEW* r) { return save(r); },
            [this](CHOOSECOLORW* r) {
                colorRecords.push_back(*r);
                return color(r);
            },
        };
    }
};

TEST(CommonDlgsWRecord, StartsWithTheDocumentedValues) {
    Fakes fakes;
    CommonDlgsW dlg(fakes.Calls());
    EXPECT_EQ(dlg.Color(), 12632256);
    EXPECT_EQ(dlg.Filter(), L"All files (*.*)|*.*");
    EXPECT_EQ(dlg.FilterIndex(), 1);
    EXPECT_EQ(dlg.MaxFileSize(), 256);
    EXPECT_EQ(dlg.Flags(), 0u);
    EXPECT_TRUE(dlg.FileName().empty() && dlg.FileTitle().empty() && dlg.Title().empty());
    EXPECT_TRUE(dlg.DefaultExt().empty() && dlg.DialogTitle().empty() && dlg.InitDir().empty());
}

TEST(CommonDlgsWRecord, OpenRecordCarriesEveryFieldPaddedAndTerminated) {
    Fakes fakes;
    fakes.open.result = FALSE;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetFileName(L"start.heic");
    dlg.SetInitDir(L"C:\\Photos");
    dlg.SetFilter(L"HEIC|*.heic|All|*.*");
    dlg.SetFilterIndex(2);
    dlg.SetFlags(OFN_HIDEREADONLY | OFN_FILEMUSTEXIST);
    dlg.SetDialogTitle(L"Pick one");
    dlg.SetDefaultExt(L"heic");
    const HWND owner = reinterpret_cast<HWND>(0x1234);

    EXPECT_FALSE(dlg.ShowOpen(owner));
    ASSERT_EQ(fakes.open.calls, 1);
    EXPECT_EQ(fakes.save.calls, 0);
    const OPENFILENAMEW& r = fakes.open.seen;

    EXPECT_EQ(r.lStructSize, OPENFILENAME_SIZE_VERSION_400W);
    EXPECT_LT(r.lStructSize, sizeof(OPENFILENAMEW));  // the short record, without FlagsEx
    EXPECT_EQ(r.hwndOwner, owner);
    EXPECT_EQ(r.hInstance, nullptr);
    EXPECT_EQ(r.lpstrCustomFilter, nullptr);
    EXPECT_EQ(r.nMaxCustFilter, 0u);
    EXPECT_EQ(r.nFilterIndex, 2u);
    EXPECT_EQ(r.nMaxFile, 256u);
    EXPECT_EQ(r.nMaxFileTitle, 256u);
    EXPECT_EQ(r.Flags, static_cast<DWORD>(OFN_HIDEREADONLY | OFN_FILEMUSTEXIST));
    EXPECT_EQ(r.lCustData, 0);
    EXPECT_EQ(r.lpfnHook, nullptr);
    EXPECT_EQ(r.lpTemplateName, nullptr);

    // The filter: bars became NULs and the list ends in two NULs.
    EXPECT_EQ(fakes.open.filterParts, (std::vector<std::wstring>{L"HEIC", L"*.heic", L"All", L"*.*"}));
    EXPECT_EQ(std::wstring(r.lpstrFilter, 21), L"HEIC\0*.heic\0All\0*.*\0\0"s);

    EXPECT_EQ(fakes.open.fileBuffer, L"start.heic" + std::wstring(246, L'\0'));
    EXPECT_EQ(fakes.open.fileTitleBuffer, std::wstring(256, L'\0'));
    EXPECT_EQ(fakes.open.initDirBuffer, L"C:\\Photos" + std::wstring(247, L'\0'));
    EXPECT_EQ(fakes.open.title, L"Pick one");
    EXPECT_EQ(fakes.open.defExt, L"heic");
}

TEST(CommonDlgsWRecord, EmptyCaptionAndExtensionAreNull) {
    Fakes fakes;
    fakes.open.result = FALSE;
    CommonDlgsW dlg(fakes.Calls());
    dlg.ShowOpen(nullptr);
    EXPECT_EQ(fakes.open.title, L"<null>");
    EXPECT_EQ(fakes.open.defExt, L"<null>");
    EXPECT_EQ(fakes.open.filterParts, (std::vector<std::wstring>{L"All files (*.*)", L"*.*"}));
    EXPECT_EQ(fakes.open.fileBuffer, std::wstring(256, L'\0'));
    EXPECT_EQ(fakes.open.initDirBuffer, std::wstring(256, L'\0'));
}

TEST(CommonDlgsWRecord, ProgramFilterBecomesElevenPairsInOrder) {
    Fakes fakes;
    fakes.open.result = FALSE;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetFilter(testing::kProgramFilter);
    dlg.ShowOpen(nullptr);

    std::vector<std::wstring> expected;
    for (const auto& pair : testing::kProgramFilterPairs) {
        expected.push_back(pair.description);
        expected.push_back(pair.pattern);
    }
    EXPECT_EQ(fakes.open.filterParts, expected);
    // Exactly one NUL between the parts and two at the end: nothing more, nothing less.
    std::size_t total = 0;
    for (const auto& part : expected) total += part.size() + 1;
    EXPECT_EQ(fakes.open.seen.lpstrFilter[total - 1], L'\0');
    EXPECT_EQ(fakes.open.seen.lpstrFilter[total], L'\0');
    EXPECT_EQ(fakes.open.filterParts.size(), 22u);
}

TEST(CommonDlgsWRecord, SingleSelectionGivesPathTitleAndReturnedFlags) {
    Fakes fakes;
    fakes.open.writeFile = L"C:\\Fotos\\\u5199\u771f.heic";
    fakes.open.writeFileTitle = L"\u5199\u771f.heic";
    fakes.open.addFlags = OFN_READONLY;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetFlags(OFN_HIDEREADONLY);

    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(dlg.FileName(), L"C:\\Fotos\\\u5199\u771f.heic");  // no trailing NULs
    EXPECT_EQ(dlg.FileTitle(), L"\u5199\u771f.heic");
    EXPECT_EQ(dlg.Title(), L"\u5199\u771f.heic");
    EXPECT_EQ(dlg.Flags(), static_cast<std::uint32_t>(OFN_HIDEREADONLY | OFN_READONLY));
}

TEST(CommonDlgsWRecord, MultiSelectKeepsTheWholeBufferAndNoTitle) {
    Fakes fakes;
    const std::wstring written = L"C:\\Fotos\0a.heic\0b \u00e9.nef\0\0"s;
    fakes.open.writeFile = written;
    fakes.open.writeFileTitle = L"a.heic";
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetTitle(L"before");
    dlg.SetFileTitle(L"old title");
    dlg.SetFlags(OFN_ALLOWMULTISELECT | OFN_EXPLORER);

    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    ASSERT_EQ(dlg.FileName().size(), 256u);
    EXPECT_EQ(dlg.FileName(), written + std::wstring(256 - written.size(), L'\0'));
    EXPECT_TRUE(dlg.FileTitle().empty());
    EXPECT_EQ(dlg.Title(), L"before");
    EXPECT_EQ(dlg.Flags(), static_cast<std::uint32_t>(OFN_ALLOWMULTISELECT | OFN_EXPLORER));
}

TEST(CommonDlgsWRecord, NoValidateCutsTheNameButSetsNoTitle) {
    Fakes fakes;
    fakes.open.writeFile = L"C:\\Fotos\\typed name";
    fakes.open.writeFileTitle = L"typed name";
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetTitle(L"before");
    dlg.SetFlags(OFN_NOVALIDATE);

    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(dlg.FileName(), L"C:\\Fotos\\typed name");
    EXPECT_TRUE(dlg.FileTitle().empty());
    EXPECT_EQ(dlg.Title(), L"before");
}

TEST(CommonDlgsWRecord, CancelChangesNoField) {
    Fakes fakes;
    fakes.open.writeFile = L"C:\\scribbled.heic";
    fakes.open.writeFileTitle = L"scribbled.heic";
    fakes.open.addFlags = OFN_READONLY;
    fakes.open.result = FALSE;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetFileName(L"kept.heic");
    dlg.SetFileTitle(L"kept title");
    dlg.SetTitle(L"kept");
    dlg.SetFlags(OFN_HIDEREADONLY);

    EXPECT_FALSE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(dlg.FileName(), L"kept.heic");
    EXPECT_EQ(dlg.FileTitle(), L"kept title");
    EXPECT_EQ(dlg.Title(), L"kept");
    EXPECT_EQ(dlg.Flags(), static_cast<std::uint32_t>(OFN_HIDEREADONLY));
}

TEST(CommonDlgsWRecord, ResultsAreTheStartOfTheNextDialog) {
    Fakes fakes;
    fakes.save.writeFile = L"C:\\out\\first.jpg";
    fakes.save.writeFileTitle = L"first.jpg";
    CommonDlgsW dlg(fakes.Calls());
    ASSERT_TRUE(dlg.ShowSave(nullptr));
    EXPECT_EQ(fakes.open.calls, 0);
    EXPECT_EQ(dlg.FileName(), L"C:\\out\\first.jpg");

    fakes.save.writeFile.clear();
    fakes.save.result = FALSE;
    EXPECT_FALSE(dlg.ShowSave(nullptr));
    EXPECT_EQ(fakes.save.fileBuffer, L"C:\\out\\first.jpg" + std::wstring(240, L'\0'));
    EXPECT_EQ(fakes.save.fileTitleBuffer, std::wstring(256, L'\0'));  // rebuilt, not kept
}

TEST(CommonDlgsWRecord, TooLongNameOrFolderIsRefusedBeforeAnyDialog) {
    Fakes fakes;
    fakes.open.result = FALSE;
    CommonDlgsW dlg(fakes.Calls());

    dlg.SetFileName(std::wstring(257, L'a'));
    try {
        dlg.ShowOpen(nullptr);
        ADD_FAILURE() << "a 257-character FileName was accepted";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number, kErrInvalidCall);
        EXPECT_EQ(e.source, L"CommonDlgsW");
        EXPECT_NE(e.description.find(L"FileName"), std::wstring::npos);
    }
    EXPECT_THROW(dlg.ShowSave(nullptr), RuntimeError);
    EXPECT_EQ(fakes.open.calls + fakes.save.calls, 0);
    EXPECT_EQ(dlg.FileName(), std::wstring(257, L'a'));

    dlg.SetFileName(std::wstring(256, L'a'));  // fills the buffer exactly
    EXPECT_FALSE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(fakes.open.fileBuffer, std::wstring(256, L'a'));

    dlg.SetFileName(L"");
    dlg.SetInitDir(L"C:\\" + std::wstring(254, L'd'));  // 257 characters
    EXPECT_THROW(dlg.ShowOpen(nullptr), RuntimeError);
    EXPECT_EQ(fakes.open.calls, 1);

    dlg.SetInitDir(L"");
    dlg.SetMaxFileSize(-1);
    EXPECT_THROW(dlg.ShowOpen(nullptr), RuntimeError);
    EXPECT_EQ(fakes.open.calls, 1);
}

TEST(CommonDlgsWRecord, LargerMaxFileSizeSizesTheBuffer) {
    Fakes fakes;
    const std::wstring longPath = L"C:\\" + std::wstring(400, L'p') + L".heic";
    fakes.open.writeFile = longPath;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetMaxFileSize(1024);
    dlg.SetFileName(std::wstring(300, L'n'));  // fits the larger buffer

    ASSERT_TRUE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(fakes.open.seen.nMaxFile, 1024u);
    EXPECT_EQ(fakes.open.fileBuffer, std::wstring(300, L'n') + std::wstring(724, L'\0'));
    EXPECT_EQ(dlg.FileName(), longPath);
}

TEST(CommonDlgsWRecord, SmallerMaxFileSizeStillTakesA256CharacterName) {
    Fakes fakes;
    fakes.open.result = FALSE;
    std::size_t initialLength = 0;
    CommonDlgsW dlg(DialogCalls{
        [&](OPENFILENAMEW* r) {
            fakes.open(r);
            initialLength = wcslen(r->lpstrFile);
            return FALSE;
        },
        nullptr, nullptr});
    dlg.SetMaxFileSize(100);
    dlg.SetFileName(std::wstring(256, L'x'));
    EXPECT_FALSE(dlg.ShowOpen(nullptr));
    EXPECT_EQ(fakes.open.seen.nMaxFile, 100u);
    EXPECT_EQ(initialLength, 256u);
}

TEST(CommonDlgsWColor, NegativeValueNamesASystemColour) {
    Fakes fakes;
    CommonDlgsW dlg(fakes.Calls());
    dlg.SetColor(static_cast<std::int32_t>(0x80000000u | 15u));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(GetSysColor(15)));
    // Only the low 16 bits are the index.
    dlg.SetColor(static_cast<std::int32_t>(0x80FF0005u));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(GetSysColor(5)));
    dlg.SetColor(0x00123456);
    EXPECT_EQ(dlg.Color(), 0x00123456);
    dlg.SetColor(0);
    EXPECT_EQ(dlg.Color(), 0);
}

TEST(CommonDlgsWColor, RecordAndResult) {
    Fakes fakes;
    CommonDlgsW dlg(fakes.Calls());
    const HWND owner = reinterpret_cast<HWND>(0x4321);
    dlg.SetColor(RGB(1, 2, 3));

    fakes.color = [](CHOOSECOLORW* r) {
        r->rgbResult = RGB(9, 9, 9);
        return FALSE;
    };
    EXPECT_FALSE(dlg.ShowColor(owner));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(RGB(1, 2, 3)));

    fakes.color = [](CHOOSECOLORW* r) {
        r->rgbResult = RGB(200, 100, 50);
        return TRUE;
    };
    EXPECT_TRUE(dlg.ShowColor(owner));
    EXPECT_EQ(dlg.Color(), static_cast<std::int32_t>(RGB(200, 100, 50)));

    ASSERT_EQ(fakes.colorRecords.size(), 2u);
    for (const CHOOSECOLORW& r : fakes.colorRecords) {
        EXPECT_EQ(r.lStructSize, sizeof(CHOOSECOLORW));
        EXPECT_EQ(r.hwndOwner, owner);
        EXPECT_EQ(r.Flags, 0x103u);
        EXPECT_EQ(r.rgbResult, RGB(1, 2, 3));  // the stored colour when the dialog opened
        EXPECT_NE(r.lpCustColors, nullptr);
        EXPECT_EQ(r.hInstance, nullptr);
        EXPECT_EQ(r.lCustData, 0);
        EXPECT_EQ(r.lpfnHook, nullptr);
        EXPECT_EQ(r.lpTemplateName, nullptr);
    }
}

TEST(CommonDlgsWColor, CustomColoursStartBlackAndPersistEvenOnCancel) {
    Fakes fakes;
    CommonDlgsW dlg(fakes.Calls());
    std::vector<COLORREF> firstSeen, secondSeen;
    fakes.color = [&](CHOOSECOLORW* r) {
        firstSeen.assign(r->lpCustColors, r->lpCustColors + 16);
        r->lpCustColors[0] = RGB(10, 20, 30);
        r->lpCustColors[15] = RGB(40, 50, 60);
        return FALSE;
    };
    dlg.ShowColor(nullptr);
    fakes.color = [&](CHOOSECOLORW* r) {
        secondSeen.assign(r->lpCustColors, r->lpCustColors + 16);
        return TRUE;
    };
    dlg.ShowColor(nullptr);

    EXPECT_EQ(firstSeen, std::vector<COLORREF>(16, 0));
    ASSERT_EQ(secondSeen.size(), 16u);
    EXPECT_EQ(secondSeen[0], RGB(10, 20, 30));
    EXPECT_EQ(secondSeen[15], RGB(40, 50, 60));
    EXPECT_EQ(secondSeen[7], 0u);
}

}  // namespace
}  // namespace tess
