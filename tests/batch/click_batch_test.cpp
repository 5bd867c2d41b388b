// A click on the window's surface: the open dialog (the real one, answered from a second
// thread, or a stand-in), then a batch that runs inside the click.
#include <gtest/gtest.h>
#include <windows.h>
#include <dlgs.h>
#include <ole2.h>

#include <cwchar>
#include <memory>

#include "convert/batch_driver_win.h"
#include "convert/naming.h"
#include "dialogs/common_dlgs_w.h"
#include "runner/dos_outputs.h"
#include "tests/batch/support.h"
#include "tests/dialogs/dialog_driver.h"
#include "tests/dialogs/program_filter.h"

namespace tess {
namespace {

using namespace std::chrono_literals;
using testing::ConverterLog;
using testing::DialogDriver;
using testing::FakeForm;
using testing::FilesIn;
using testing::IsFolder;
using testing::NewFileDrop;
using testing::ReadBytes;
using testing::ShellRecorder;
using testing::TempFolder;
using testing::WriteBytes;
using Field = FormHost::Field;

const std::wstring kPrompt = L"Please drag and drop Photos Here";

// The edit box of the open dialog the user types a file name into.
HWND FileNameEdit(HWND dialog) {
    for (int id : {cmb13, edt1}) {
        HWND control = testing::FindControl(dialog, id);
        if (!control) continue;
        HWND inner = control;
        while (inner) {
            wchar_t cls[32] = {};
            GetClassNameW(inner, cls, 32);
            if (std::wstring(cls) == L"Edit") return inner;
            inner = GetWindow(inner, GW_CHILD);
        }
    }
    return nullptr;
}

DialogDriver::Action Choose(std::wstring path) {
    return [path](HWND dialog) {
        testing::SetText(FileNameEdit(dialog), path);
        testing::Press(dialog, IDOK);
    };
}

// The open dialog's stand-in: answers with `path` (or cancels when empty) and counts calls.
struct FakeOpen {
    explicit FakeOpen(std::wstring answer) : path(std::move(answer)) {}

    std::wstring path;
    int calls = 0;
    std::function<void()> whileOpen;

    DialogCalls Calls() {
        DialogCalls c = DialogCalls::System();
        c.getOpenFileName = [this](OPENFILENAMEW* record) -> BOOL {
            ++calls;
            if (whileOpen) whileOpen();
            if (path.empty() || path.size() >= record->nMaxFile) return FALSE;
            wcscpy(record->lpstrFile, path.c_str());
            return TRUE;
        };
        return c;
    }
};

class ClickBatch : public ::testing::Test {
protected:
    void SetUp() override {
        OleInitialize(nullptr);
        in_ = temp_.Path() + L"\\in";
        out_ = temp_.Path() + L"\\out";
        CreateDirectoryW(in_.c_str(), nullptr);
        form_.outputPath = out_;
        runDos_.CommandOver.Subscribe([this] { runCaptions_.push_back(form_.Text(Field::Prompt)); });
    }
    void TearDown() override { OleUninitialize(); }

    // The driver with the real dialog, or with the stand-in.
    BatchDriver& Driver(FakeOpen* fake = nullptr) {
        dialogs_ = fake ? std::make_unique<CommonDlgsW>(fake->Calls()) : std::make_unique<CommonDlgsW>();
        batches_ = std::make_unique<BatchDriver>(form_, runDos_, *dialogs_);
        batches_->SetFailureNotice([this](HWND, const std::wstring& text) { notices_.push_back(text); });
        return *batches_;
    }

    std::wstring Photo(const std::wstring& name) {
        const std::wstring path = in_ + L"\\" + name;
        WriteBytes(path, "photo " + testing::Utf8(name) + "\n");
        return path;
    }

    void Drop(const std::vector<std::wstring>& paths) {
        IDataObject* data = NewFileDrop(paths);
        DWORD effect = DROPEFFECT_COPY;
        batches_->OnDrop(data, &effect);
        data->Release();
    }

    // Clicks with the real dialog open, answered by `action` from a second thread.
    bool ClickAndAnswer(DialogDriver::Action action) {
        DialogDriver driver(std::move(action));
        batches_->OnSurfaceClick();
        driver.Join();
        return driver.FoundDialog() && driver.ClosedByAction();
    }

    TempFolder temp_;
    std::wstring in_, out_;
    ConverterLog log_{temp_.Path()};
    ShellRecorder shell_;
    FakeForm form_;
    DOSOutputs runDos_;
    std::unique_ptr<CommonDlgsW> dialogs_;
    std::unique_ptr<BatchDriver> batches_;
    std::vector<std::wstring> notices_;
    std::vector<std::wstring> runCaptions_;
};

TEST_F(ClickBatch, CancelInTheDialogChangesNothing) {
    Driver();
    const std::wstring queued = Photo(L"queued.HEIC");
    Drop({queued});
    form_.captions.clear();

    ASSERT_TRUE(ClickAndAnswer([](HWND dialog) { testing::Press(dialog, IDCANCEL); }));
    EXPECT_EQ(dialogs_->Filter(), testing::kProgramFilter);
    EXPECT_EQ(form_.files, (std::vector<std::wstring>{queued}));
    EXPECT_TRUE(form_.captions.empty());
    EXPECT_TRUE(shell_.executes.empty());
    EXPECT_TRUE(log_.Inputs().empty());
    // The queued photo still waits for its tick.
    EXPECT_TRUE(form_.timerArmed);
    EXPECT_FALSE(batches_->Busy());
}

TEST_F(ClickBatch, CancelCreatesNoFolder) {
    Driver();
    ASSERT_TRUE(ClickAndAnswer([](HWND dialog) { testing::Press(dialog, IDCANCEL); }));
    EXPECT_FALSE(IsFolder(out_));
    EXPECT_FALSE(form_.timerArmed);
}

TEST_F(ClickBatch, AChosenPathTheCodePageHoldsConvertsWhereItLies) {
    Driver();
    const std::wstring photo = Photo(L"IMG_0001.HEIC");
    ASSERT_TRUE(ClickAndAnswer(Choose(photo)));

    EXPECT_EQ(dialogs_->FileName(), photo);
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{photo}));
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"IMG_0001.JPG"}));
    EXPECT_EQ(form_.captions, (std::vector<std::wstring>{L"Converting...1/1", kPrompt}));
    EXPECT_TRUE(form_.promptShown);
    EXPECT_GE(form_.normalBackgroundShown, 1);
    ASSERT_EQ(shell_.executes.size(), 1u);
    EXPECT_EQ(shell_.executes[0].verb, "open");
    EXPECT_TRUE(form_.files.empty());
    EXPECT_TRUE(notices_.empty());
}

// Hangul is in neither Windows-1252 nor 932: the photo is copied to c:\tmp under its
// cleaned name (each character the code page lacks becomes a space) and converted there.
TEST_F(ClickBatch, CodePageAChosenNameOutsideItIsCopiedToTheScratchFolder) {
    Driver();
    const std::wstring photo = Photo(L"\uC0AC\uC9C4 trip.HEIC");
    ASSERT_TRUE(ClickAndAnswer(Choose(photo)));

    const std::wstring copy = L"c:\\tmp\\   trip.HEIC";
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{copy}));
    EXPECT_EQ(ReadBytes(copy), ReadBytes(photo));
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"   trip.JPG"}));
    EXPECT_EQ(ReadBytes(out_ + L"\\   trip.JPG").rfind(ReadBytes(photo), 0), 0u);
    EXPECT_EQ(form_.captions,
              (std::vector<std::wstring>{L"Preparing Files...", L"Converting...1/1", kPrompt}));
    EXPECT_TRUE(notices_.empty());
    DeleteFileW(copy.c_str());
}

// The Japanese name fits code page 932, not 1252.
TEST_F(ClickBatch, CodePageAJapaneseNameIsCopiedOnlyWhereTheCodePageLacksIt) {
    Driver();
    const std::wstring photo = Photo(L"\u5199\u771F.HEIC");
    ASSERT_TRUE(ClickAndAnswer(Choose(photo)));
    ASSERT_EQ(log_.Inputs().size(), 1u);
    if (SurvivesCodePage(photo)) {
        EXPECT_EQ(log_.Inputs()[0], photo);
        EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"\u5199\u771F.JPG"}));
    } else {
        // Nothing is left of the name: the copy and the output take the time as name.
        const std::wstring input = log_.Inputs()[0];
        EXPECT_EQ(input.rfind(L"c:\\tmp\\", 0), 0u);
        EXPECT_EQ(input.size(), std::wstring(L"c:\\tmp\\20261207-175036.HEIC").size());
        ASSERT_EQ(FilesIn(out_).size(), 1u);
        EXPECT_EQ(FilesIn(out_)[0], input.substr(7, 15) + L".JPG");
        DeleteFileW(input.c_str());
    }
    EXPECT_TRUE(notices_.empty());
}

TEST_F(ClickBatch, EntriesAlreadyQueuedConvertFirst) {
    Driver();
    const std::wstring q1 = Photo(L"q1.HEIC"), q2 = Photo(L"q2.HEIC"), chosen = Photo(L"chosen.HEIC");
    Drop({q1, q2});
    ASSERT_TRUE(form_.timerArmed);
    ASSERT_TRUE(ClickAndAnswer(Choose(chosen)));

    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{q1, q2, chosen}));
    EXPECT_EQ(runCaptions_, (std::vector<std::wstring>{L"Converting...1/3", L"Converting...2/3",
                                                       L"Converting...3/3"}));
    EXPECT_EQ(shell_.executes.size(), 1u);
    EXPECT_TRUE(form_.files.empty());
    // Their tick has nothing left to do.
    EXPECT_FALSE(form_.timerArmed);
}

TEST_F(ClickBatch, AClickWhileADropBatchConvertsOpensNoDialog) {
    Driver();
    Drop({Photo(L"long SLOW700.HEIC")});
    static BatchDriver* batches;
    batches = batches_.get();
    SetTimer(nullptr, 0, 250, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        batches->OnSurfaceClick();
    });
    DialogDriver watcher([](HWND dialog) { testing::Press(dialog, IDCANCEL); });
    batches_->OnTick();
    watcher.Join();
    EXPECT_FALSE(watcher.FoundDialog());
    EXPECT_EQ(log_.Inputs().size(), 1u);
}

TEST_F(ClickBatch, TheBusyCaptionAloneRefusesTheClick) {
    FakeOpen open(Photo(L"x.HEIC"));
    Driver(&open);
    form_.texts[Field::Prompt] = L"Converting...2/5";
    batches_->OnSurfaceClick();
    EXPECT_EQ(open.calls, 0);
    // A caption shorter than four characters, or "Preparing Files...", does not.
    form_.texts[Field::Prompt] = L"Con";
    batches_->OnSurfaceClick();
    EXPECT_EQ(open.calls, 1);
}

// A click already queued when the handler lets messages through (in the dialog, or in a
// converter run) is refused: it cannot enter the handler a second time.
TEST_F(ClickBatch, AQueuedClickCannotEnterTheHandlerTwice) {
    FakeOpen open(Photo(L"once.HEIC"));
    BatchDriver& batches = Driver(&open);
    open.whileOpen = [&] { batches.OnSurfaceClick(); };
    runDos_.CommandOver.Subscribe([&] { batches.OnSurfaceClick(); });
    batches.OnSurfaceClick();
    EXPECT_EQ(open.calls, 1);
    EXPECT_EQ(log_.Inputs().size(), 1u);
    EXPECT_EQ(shell_.executes.size(), 1u);
}

// One batch at a time: a drop and a tick during the click's batch do not start a second
// batch inside it; the running batch converts the dropped photo and the folder opens once.
TEST_F(ClickBatch, ATickDuringTheClickBatchWaitsAndItsPhotoIsConverted) {
    const std::wstring chosen = Photo(L"chosen SLOW300.HEIC"), dropped = Photo(L"dropped.HEIC");
    FakeOpen open(chosen);
    BatchDriver& batches = Driver(&open);
    bool once = false;
    runDos_.CommandOver.Subscribe([&] {
        if (std::exchange(once, true)) return;
        Drop({dropped});
        batches.OnTick();
    });
    batches.OnSurfaceClick();

    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{chosen, dropped}));
    EXPECT_TRUE(log_.NeverOverlapped());
    EXPECT_EQ(shell_.executes.size(), 1u);
    EXPECT_TRUE(form_.files.empty());
    EXPECT_FALSE(form_.timerArmed);
}

TEST_F(ClickBatch, AChosenPathWithoutAnyDotConvertsWhereItLiesWhenItExists) {
    if (in_.find(L'.') != std::wstring::npos) GTEST_SKIP() << "the temporary folder's path holds a dot";
    const std::wstring photo = in_ + L"\\README";
    WriteBytes(photo, "photo without extension\n");
    FakeOpen open(photo);
    Driver(&open);
    batches_->OnSurfaceClick();
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{photo}));
    // Its base name is empty: the output is named by the dot and the format word alone.
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L".JPG"}));
    EXPECT_TRUE(notices_.empty());
}

TEST_F(ClickBatch, AMissingChosenPathWithoutAnyDotIsReportedNotCopied) {
    if (in_.find(L'.') != std::wstring::npos) GTEST_SKIP() << "the temporary folder's path holds a dot";
    FakeOpen open(in_ + L"\\nothing");
    Driver(&open);
    batches_->OnSurfaceClick();
    EXPECT_TRUE(log_.Inputs().empty());
    EXPECT_EQ(form_.captions, (std::vector<std::wstring>{kPrompt}));
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"nothing: the file was not found"), std::wstring::npos)
        << testing::Utf8(notices_[0]);
    EXPECT_EQ(shell_.executes.size(), 1u);
}

TEST_F(ClickBatch, AChosenFileThatCannotBeCopiedIsReported) {
    FakeOpen open(in_ + L"\\missing.HEIC");
    Driver(&open);
    batches_->OnSurfaceClick();
    EXPECT_TRUE(log_.Inputs().empty());
    EXPECT_EQ(form_.captions, (std::vector<std::wstring>{L"Preparing Files...", kPrompt}));
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"missing.HEIC: could not be copied to c:\\tmp: "), std::wstring::npos)
        << testing::Utf8(notices_[0]);
}

}  // namespace
}  // namespace tess
