// Photos dropped on the real window, converted by the test converter at the next tick.
#include <gtest/gtest.h>
#include <ole2.h>

#include <cstdio>
#include <memory>
#include <regex>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "convert/batch_driver_win.h"
#include "convert/batch_queue.h"
#include "convert/naming.h"
#include "core/codepage.h"
#include "core/scoped_win.h"
#include "runner/dos_outputs.h"
#include "tests/batch/support.h"
#include "tests/batch/wired_form.h"
#include "tests/dialogs/dialog_driver.h"

namespace tess {
namespace {

using namespace std::chrono_literals;
using testing::ConverterLog;
using testing::FilesIn;
using testing::IsFile;
using testing::IsFolder;
using testing::NewFileDrop;
using testing::NewTextDrop;
using testing::ProgramFolder;
using testing::PumpUntil;
using testing::ReadBytes;
using testing::ShellRecorder;
using testing::TempFolder;
using testing::WriteBytes;

class DropBatch : public testing::WiredFormTest {
public:
    void SetUp() override {
        in_ = temp_.Path() + L"\\in";
        out_ = temp_.Path() + L"\\out";
        CreateDirectoryW(in_.c_str(), nullptr);
        WiredFormTest::SetUp();
        if (HasFatalFailure()) return;
        form_->strOutputPath = out_;

        wiring_->batches()->SetFailureNotice([this](HWND owner, const std::wstring& text) {
            EXPECT_EQ(owner, form_->hwnd());
            notices_.push_back(text);
            opensBeforeNotice_.push_back(OpenCount());
        });
        shell_.chosenFolder.clear();
        wiring_->runDos()->CommandOver.Subscribe([this] { captions_.push_back(form_->Label1.Text()); });
    }

    // A photo in the input folder (or `folder`) whose bytes name it.
    std::wstring Photo(const std::wstring& name, const std::wstring& folder = {}) {
        const std::wstring path = (folder.empty() ? in_ : folder) + L"\\" + name;
        WriteBytes(path, "photo " + testing::Utf8(name) + "\n");
        return path;
    }

    DWORD Drop(IDataObject* data) {
        DWORD effect = DROPEFFECT_COPY | DROPEFFECT_MOVE | DROPEFFECT_LINK;
        form_->GetDropTarget()->Drop(data, MK_LBUTTON, POINTL{100, 100}, &effect);
        data->Release();
        return effect;
    }
    DWORD DropFiles(const std::vector<std::wstring>& paths) { return Drop(NewFileDrop(paths)); }

    // Runs the window until `opens` batches have opened the output folder and no batch runs.
    void WaitForBatches(std::size_t opens = 1) {
        ASSERT_TRUE(PumpUntil([&] {
            return OpenCount() >= opens && !wiring_->batches()->Busy() && !form_->timerRun.Enabled();
        }));
        // A little longer: nothing more may follow (no second folder opening).
        PumpUntil([] { return false; }, 300ms);
    }
    std::size_t OpenCount() const { return shell_.executes.size(); }

    std::vector<std::wstring> ListEntries() const {
        std::vector<std::wstring> entries;
        for (int i = 0; i < form_->lstFile.ListCount(); ++i) entries.push_back(form_->lstFile.List(i));
        return entries;
    }

    std::wstring in_, out_;
    ConverterLog log_{temp_.Path()};
    std::vector<std::wstring> notices_;
    std::vector<std::wstring> captions_;  // Label1 as each converter run ended
    std::vector<std::size_t> opensBeforeNotice_;
};

TEST_F(DropBatch, ThreeDroppedPhotosConvertInDropOrderWithTheirCounter) {
    const std::wstring c = Photo(L"c.HEIC"), a = Photo(L"a.HEIC"), b = Photo(L"b.heic");
    EXPECT_EQ(DropFiles({c, a, b}), static_cast<DWORD>(DROPEFFECT_COPY));

    // The drop only queues: the list holds the paths as dropped, the timer is armed,
    // the output folder exists and nothing has run yet.
    EXPECT_EQ(ListEntries(), (std::vector<std::wstring>{c, a, b}));
    EXPECT_TRUE(form_->timerRun.Enabled());
    EXPECT_TRUE(IsFolder(out_));
    EXPECT_TRUE(log_.Inputs().empty());

    WaitForBatches();
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{c, a, b}));
    EXPECT_EQ(captions_, (std::vector<std::wstring>{L"Converting...1/3", L"Converting...2/3",
                                                    L"Converting...3/3"}));
    EXPECT_EQ(log_.CommandLines().at(0),
              ProgramFolder() + L"\\data\\convert.exe -quality 85% \"" + c + L"\" \"" + out_ + L"\\c.JPG\"");
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"a.JPG", L"b.JPG", L"c.JPG"}));
    EXPECT_EQ(ReadBytes(out_ + L"\\a.JPG").rfind("photo a.HEIC\n", 0), 0u);

    // The folder opened once, the list is empty and the prompt is back.
    ASSERT_EQ(OpenCount(), 1u);
    const auto& open = shell_.executes[0];
    EXPECT_EQ(open.owner, nullptr);
    EXPECT_EQ(open.verb, "open");
    EXPECT_EQ(open.file, SystemCodePage().Narrow(out_));
    EXPECT_TRUE(open.parametersNull && open.directoryNull);
    EXPECT_EQ(open.show, SW_SHOWNORMAL);
    EXPECT_TRUE(ListEntries().empty());
    EXPECT_EQ(form_->Label1.Text(), Form1::kPrompt);
    EXPECT_TRUE(form_->Label1.Visible());
    EXPECT_TRUE(notices_.empty());
}

TEST_F(DropBatch, ResizeFragmentIsReadAtTheDrop) {
    form_->Label5.SetText(L"YES");
    form_->txtResize.SetText(L"640");
    form_->Text1.SetText(L"70");
    const std::wstring p = Photo(L"r.HEIC");
    DropFiles({p});
    EXPECT_EQ(form_->strResize, L" -resize 640");
    WaitForBatches();
    EXPECT_EQ(log_.CommandLines().at(0), ProgramFolder() + L"\\data\\convert.exe -quality 70% \"" + p +
                                             L"\" -resize 640 \"" + out_ + L"\\r.JPG\"");
}

TEST_F(DropBatch, DroppedTextArmsTheTimerAndTheFolderStillOpens) {
    form_->Label1.SetVisible(false);  // as a drag over the window leaves it
    EXPECT_EQ(Drop(NewTextDrop(L"just some words")), static_cast<DWORD>(DROPEFFECT_COPY));
    EXPECT_TRUE(ListEntries().empty());
    EXPECT_TRUE(form_->timerRun.Enabled());
    EXPECT_TRUE(IsFolder(out_));

    WaitForBatches();
    EXPECT_EQ(OpenCount(), 1u);
    EXPECT_TRUE(log_.Inputs().empty());
    EXPECT_TRUE(notices_.empty());
    EXPECT_EQ(form_->Label1.Text(), Form1::kPrompt);
}

TEST_F(DropBatch, ADroppedFolderIsOneEntryAndIsReportedWhenItCannotConvert) {
    const std::wstring folder = in_ + L"\\album";
    CreateDirectoryW(folder.c_str(), nullptr);
    Photo(L"inside.HEIC", folder);
    DropFiles({folder});
    EXPECT_EQ(ListEntries(), (std::vector<std::wstring>{folder}));

    WaitForBatches();
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{folder}));
    EXPECT_TRUE(FilesIn(out_).empty());
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"album: "), std::wstring::npos) << testing::Utf8(notices_[0]);
}

// The running batch goes on until the list is empty, so a photo dropped while the first
// one converts is converted by the same batch, and the folder opens once.
TEST_F(DropBatch, APhotoDroppedDuringTheBatchIsConvertedByIt) {
    const std::wstring first = Photo(L"first SLOW800.HEIC");
    const std::wstring second = Photo(L"second.HEIC");
    DropFiles({first});

    static DropBatch* self;
    static std::wstring late;
    self = this;
    late = second;
    const UINT_PTR timer = SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        EXPECT_TRUE(self->wiring_->batches()->Busy());
        self->DropFiles({late});
    });
    ASSERT_NE(timer, 0u);

    WaitForBatches();
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{first, second}));
    EXPECT_TRUE(log_.NeverOverlapped());
    // The first caption was shown before the second drop; the counter then grows.
    EXPECT_EQ(captions_, (std::vector<std::wstring>{L"Converting...1/1", L"Converting...2/2"}));
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"first SLOW800.JPG", L"second.JPG"}));
    EXPECT_EQ(OpenCount(), 1u);
    EXPECT_TRUE(ListEntries().empty());
}

// A photo dropped while the finished batch opens the folder comes after the batch's last
// look at the list: it stays queued and the next tick converts it.
TEST_F(DropBatch, APhotoDroppedAsTheFolderOpensIsConvertedByTheNextBatch) {
    const std::wstring first = Photo(L"first.HEIC"), late = Photo(L"late.HEIC");
    shell_.onExecute = [&] {
        shell_.onExecute = nullptr;
        DropFiles({late});
    };
    DropFiles({first});
    WaitForBatches(2);
    EXPECT_EQ(log_.Inputs(), (std::vector<std::wstring>{first, late}));
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"first.JPG", L"late.JPG"}));
    EXPECT_EQ(OpenCount(), 2u);
    EXPECT_TRUE(ListEntries().empty());
}

TEST_F(DropBatch, FailedPhotosAreNamedInOneMessageAndTheOthersConvert) {
    const std::wstring ok1 = Photo(L"ok1.HEIC"), bad = Photo(L"bad FAIL.HEIC"), ok2 = Photo(L"ok2.HEIC"),
                       empty = Photo(L"quiet NOOUT.HEIC"), mute = Photo(L"mute FAIL MUTE.HEIC");
    DropFiles({ok1, bad, ok2, empty, mute});
    WaitForBatches();

    EXPECT_EQ(log_.Inputs().size(), 5u);
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"ok1.JPG", L"ok2.JPG"}));
    ASSERT_EQ(notices_.size(), 1u);
    const std::wstring& text = notices_[0];
    EXPECT_NE(text.find(L"3 of 5 photos could not be converted:"), std::wstring::npos);
    EXPECT_NE(text.find(L"bad FAIL.HEIC: convert: bad FAIL.HEIC: the photo is marked to fail"),
              std::wstring::npos)
        << testing::Utf8(text);
    EXPECT_NE(text.find(L"quiet NOOUT.HEIC: produced no output file"), std::wstring::npos);
    EXPECT_NE(text.find(L"mute FAIL MUTE.HEIC: exited with code 2"), std::wstring::npos);
    EXPECT_EQ(text.find(L"ok1"), std::wstring::npos);
    // The folder opens first, then the one message; the batch is over after it.
    EXPECT_EQ(opensBeforeNotice_, (std::vector<std::size_t>{1}));
    EXPECT_EQ(OpenCount(), 1u);
    EXPECT_EQ(form_->Label1.Text(), Form1::kPrompt);
}

// A converter that crashes is a failed photo like any other, and the batch goes on.
TEST_F(DropBatch, AConverterThatCrashesIsAFailedPhotoAndTheBatchGoesOn) {
    DropFiles({Photo(L"first.HEIC"), Photo(L"boom CRASH.HEIC"), Photo(L"last.HEIC")});
    WaitForBatches();
    EXPECT_EQ(log_.Inputs().size(), 3u);
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"first.JPG", L"last.JPG"}));
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"1 of 3 photos could not be converted:"), std::wstring::npos)
        << testing::Utf8(notices_[0]);
    EXPECT_NE(notices_[0].find(L"boom CRASH.HEIC: "), std::wstring::npos);
}

// The window as the program runs it: closing it ends the program.
class ClosedDuringBatch : public DropBatch {
public:
    void SetUp() override {
        quitOnClose_ = true;
        DropBatch::SetUp();
    }

    // Runs the thread's messages as the program's loop does, until it is told to quit.
    bool RunUntilQuit(std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                if (msg.message == WM_QUIT) return true;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return false;
    }
};

// Closed while the first of three photos converts: the settings are saved, the batch goes
// on with the options as they stood, every photo comes out, the failure message is shown
// (and stays until it is answered), and only then does the program end.
TEST_F(ClosedDuringBatch, TheBatchGoesOnAndTheProgramEndsAfterIt) {
    form_->lblFormat.SetText(L"PNG");
    form_->Text1.SetText(L"70");
    const std::wstring slow = Photo(L"slow SLOW700.HEIC"), two = Photo(L"two.HEIC"), bad = Photo(L"three FAIL.HEIC");

    bool quitAskedAtNotice = true;
    wiring_->batches()->SetFailureNotice([&](HWND owner, const std::wstring& text) {
        MSG msg;
        quitAskedAtNotice = PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE) != FALSE;
        notices_.push_back(text);
        BatchDriver::ShowFailureBox(owner, text);
    });
    std::wstring boxText;
    testing::DialogDriver box([&](HWND dialog) {
        boxText = testing::WindowText(testing::FindControl(dialog, 0xFFFF));
        testing::Press(dialog, IDOK);
    });

    static HWND window;
    window = form_->hwnd();
    DropFiles({slow, two, bad});
    // The close box, while the first photo converts.
    SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR id, DWORD) {
        KillTimer(nullptr, id);
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    ASSERT_TRUE(RunUntilQuit(60s));
    box.Join();

    EXPECT_EQ(form_->hwnd(), nullptr);
    EXPECT_FALSE(wiring_->batches()->Busy());
    EXPECT_EQ(ReadBytes(temp_.Path() + L"\\settingheic.ini"), "PNG\r\n70\r\nNO\r\n1600\r\n");
    const std::vector<std::wstring> commands = log_.CommandLines();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[1], ProgramFolder() + L"\\data\\convert.exe -quality 70% \"" + two + L"\" \"" + out_ +
                               L"\\two.PNG\"");
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"slow SLOW700.PNG", L"two.PNG"}));
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_FALSE(quitAskedAtNotice);
    EXPECT_TRUE(box.FoundDialog());
    EXPECT_TRUE(box.ClosedByAction());
    EXPECT_EQ(boxText.rfind(L"1 of 3 photos could not be converted:\r\nthree FAIL.HEIC: ", 0), 0u)
        << testing::Utf8(boxText);
    EXPECT_EQ(OpenCount(), 1u);
}

// More failed photos than the message names: the first ones, how many more, and the whole
// list (every full path) in the output folder, which the batch's end opens.
TEST_F(DropBatch, ManyFailuresKeepTheMessageShortAndTheWholeListInTheOutputFolder) {
    std::vector<std::wstring> photos;
    for (int i = 0; i < 14; ++i)
        photos.push_back(Photo(L"p" + std::to_wstring(i) + (i < 12 ? L" FAIL.HEIC" : L".HEIC")));
    DropFiles(photos);
    WaitForBatches();

    const std::wstring list = out_ + L"\\" + kFailureListName;
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"Photos not converted.txt", L"p12.JPG", L"p13.JPG"}));
    ASSERT_EQ(notices_.size(), 1u);
    const std::wstring& text = notices_[0];
    EXPECT_EQ(text.rfind(L"12 of 14 photos could not be converted:\r\np0 FAIL.HEIC: convert: ", 0), 0u)
        << testing::Utf8(text);
    EXPECT_NE(text.find(L"p9 FAIL.HEIC"), std::wstring::npos);
    EXPECT_EQ(text.find(L"p10 FAIL.HEIC"), std::wstring::npos);
    EXPECT_NE(text.find(L"\r\n\u2026 and 2 more.\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"The whole list is in " + list), std::wstring::npos);

    const std::string bytes = ReadBytes(list);
    EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF" "12 of 14 photos could not be converted:\r\n", 0), 0u);
    for (int i = 0; i < 14; ++i)
        EXPECT_EQ(bytes.find(testing::Utf8(photos[i]) + ": convert: ") != std::string::npos, i < 12) << i;
}

// An output folder that cannot be made fails every photo; the list goes beside the settings.
TEST_F(DropBatch, TheListGoesBesideTheSettingsWhenTheOutputFolderCannotBeWritten) {
    form_->strOutputPath = out_ + L"\\missing\\out";
    std::vector<std::wstring> photos;
    for (int i = 0; i < 11; ++i) photos.push_back(Photo(L"q" + std::to_wstring(i) + L".HEIC"));
    DropFiles(photos);
    WaitForBatches();

    const std::wstring list = temp_.Path() + L"\\" + kFailureListName;  // APPDATA here
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"11 of 11 photos could not be converted:"), std::wstring::npos);
    EXPECT_NE(notices_[0].find(L"The whole list is in " + list), std::wstring::npos)
        << testing::Utf8(notices_[0]);
    EXPECT_NE(ReadBytes(list).find(testing::Utf8(photos[10])), std::string::npos);
}

// The message of a batch in which 100 of 500 photos failed for long reasons, as the user
// sees it: the whole box, and its OK button, lie on the screen.
TEST(FailureBox, AHugeBatchsMessageFitsOnTheScreen) {
    BatchOutcome outcome{500, {}};
    for (int i = 0; i < 100; ++i)
        outcome.failures.push_back({L"C:\\Photos\\Holiday\\IMG_" + std::to_wstring(1000 + i) + L" taken at the beach.HEIC",
                                    L"convert: " + std::wstring(280, L'x')});
    RECT box{}, ok{};
    std::wstring shown;
    testing::DialogDriver driver([&](HWND dialog) {
        GetWindowRect(dialog, &box);
        GetWindowRect(testing::FindControl(dialog, IDOK), &ok);
        shown = testing::WindowText(testing::FindControl(dialog, 0xFFFF));
        testing::Press(dialog, IDOK);
    });
    BatchDriver::ShowFailureBox(nullptr, FailureMessage(outcome, L"C:\\output\\Photos not converted.txt"));
    driver.Join();
    ASSERT_TRUE(driver.FoundDialog());
    EXPECT_NE(shown.find(L"\u2026 and 90 more."), std::wstring::npos) << testing::Utf8(shown);

    RECT work{};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    std::printf("[   NOTE   ] the box is %ld px high on a work area %ld px high\n", box.bottom - box.top,
                work.bottom - work.top);
    EXPECT_GE(box.top, work.top);
    EXPECT_LE(box.bottom, work.bottom);
    EXPECT_GT(ok.bottom, ok.top);
    EXPECT_LE(ok.bottom, work.bottom);
    // Small enough for the smallest screens in use, 768 pixels high.
    EXPECT_LE(box.bottom - box.top, 700);
}

// Every converter run gives back what it took: after 30 runs the process holds no more
// handles and GDI objects than after 10. A leak of one a run would show as 20 more; an
// object that happens to be alive when the tenth run ends, and gone by the thirtieth, is none.
TEST_F(DropBatch, RunsLeaveNoHandleOrGdiObjectBehind) {
    // The count sees one handle and one GDI object come and go.
    const testing::ResourceCounts idle = testing::CountResources();
    {
        const UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const BrushObject brush(CreateSolidBrush(RGB(1, 2, 3)));
        const testing::ResourceCounts holding = testing::CountResources();
        EXPECT_EQ(holding.handles, idle.handles + 1);
        EXPECT_EQ(holding.gdiObjects, idle.gdiObjects + 1);
    }

    std::vector<std::wstring> photos;
    for (int i = 0; i < 30; ++i) photos.push_back(Photo(L"r" + std::to_wstring(i) + (i % 5 ? L".HEIC" : L" FAIL.HEIC")));
    std::vector<testing::ResourceCounts> afterRun;
    wiring_->runDos()->CommandOver.Subscribe([&] { afterRun.push_back(testing::CountResources()); });
    DropFiles(photos);
    WaitForBatches();

    std::string told;  // what the batch said, should a run go missing
    for (const auto& n : notices_) told += testing::Utf8(n) + "\n";
    ASSERT_EQ(afterRun.size(), 30u) << captions_.size() << " runs ended; " << told;
    EXPECT_LE(afterRun[29].handles, afterRun[9].handles);
    EXPECT_LE(afterRun[29].gdiObjects, afterRun[9].gdiObjects);
    EXPECT_EQ(FilesIn(out_).size(), 24u);
}

TEST_F(DropBatch, AnOutputLeftByAnEarlierBatchDoesNotPassForANewOne) {
    CreateDirectoryW(out_.c_str(), nullptr);
    WriteBytes(out_ + L"\\old NOOUT.JPG", "from yesterday");
    DropFiles({Photo(L"old NOOUT.HEIC")});
    WaitForBatches();
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_NE(notices_[0].find(L"old NOOUT.HEIC: produced no output file"), std::wstring::npos);
}

// The converter gives its output the photo's own date, so converting the same photo again
// gives a file of the same date and size: it is a new output all the same.
TEST_F(DropBatch, ConvertingThePhotoAgainIsNoFailure) {
    const std::wstring photo = Photo(L"again.HEIC");
    DropFiles({photo});
    WaitForBatches();
    DropFiles({photo});
    WaitForBatches(2);
    EXPECT_EQ(log_.Inputs().size(), 2u);
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"again.JPG"}));
    EXPECT_TRUE(notices_.empty()) << testing::Utf8(notices_.empty() ? L"" : notices_[0]);
}

TEST_F(DropBatch, SameNamesFromTwoFoldersGetNumberedWithinABatchOnly) {
    const std::wstring a = in_ + L"\\A", b = in_ + L"\\B";
    CreateDirectoryW(a.c_str(), nullptr);
    CreateDirectoryW(b.c_str(), nullptr);
    const std::wstring fromA = Photo(L"IMG_1.HEIC", a);
    const std::wstring fromB = in_ + L"\\B\\IMG_1.HEIC";
    WriteBytes(fromB, "photo from B\n");
    DropFiles({fromA, fromB});
    WaitForBatches();

    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"IMG_1 (2).JPG", L"IMG_1.JPG"}));
    EXPECT_EQ(ReadBytes(out_ + L"\\IMG_1.JPG").rfind("photo IMG_1.HEIC\n", 0), 0u);
    EXPECT_EQ(ReadBytes(out_ + L"\\IMG_1 (2).JPG").rfind("photo from B\n", 0), 0u);

    // A later batch overwrites what an earlier one left.
    WriteBytes(fromB, "photo from B, edited\n");
    DropFiles({fromB});
    WaitForBatches(2);
    EXPECT_EQ(FilesIn(out_), (std::vector<std::wstring>{L"IMG_1 (2).JPG", L"IMG_1.JPG"}));
    EXPECT_EQ(ReadBytes(out_ + L"\\IMG_1.JPG").rfind("photo from B, edited\n", 0), 0u);
    EXPECT_TRUE(notices_.empty());
}

// Names outside the ANSI code page: Hangul is in neither Windows-1252 nor 932, the
// Japanese name only in 932. A name the code page cannot hold is converted from a
// scratch copy in c:\tmp under its cleaned name (a timestamp here); one it can hold is
// converted where it lies.
TEST_F(DropBatch, CodePageNamesOutsideItConvertFromScratchCopies) {
    const std::wstring korean1 = Photo(L"\uC0AC\uC9C4.HEIC");      // 사진
    const std::wstring korean2 = Photo(L"\uD48D\uACBD.HEIC");      // 풍경
    const std::wstring japanese = Photo(L"\u5199\u771F.HEIC");     // 写真
    DropFiles({korean1, korean2, japanese});
    WaitForBatches();
    EXPECT_TRUE(notices_.empty()) << testing::Utf8(notices_.empty() ? L"" : notices_[0]);

    const std::vector<std::wstring> inputs = log_.Inputs();
    ASSERT_EQ(inputs.size(), 3u);
    const std::wregex scratch(LR"(c:\\tmp\\\d{8}-\d{6}( \(\d\))?\.HEIC)");
    EXPECT_TRUE(std::regex_match(inputs[0], scratch)) << testing::Utf8(inputs[0]);
    EXPECT_TRUE(std::regex_match(inputs[1], scratch)) << testing::Utf8(inputs[1]);
    EXPECT_NE(inputs[0], inputs[1]);
    const bool japaneseFits = SurvivesCodePage(japanese);
    if (japaneseFits) {
        EXPECT_EQ(inputs[2], japanese);
    } else {
        EXPECT_TRUE(std::regex_match(inputs[2], scratch)) << testing::Utf8(inputs[2]);
    }

    // Every photo arrived whole under its own output name.
    const std::vector<std::wstring> outputs = FilesIn(out_);
    ASSERT_EQ(outputs.size(), 3u);
    const std::wregex stamped(LR"(\d{8}-\d{6}( \(\d\))?\.JPG)");
    int stampedCount = 0;
    for (const std::wstring& name : outputs) stampedCount += std::regex_match(name, stamped);
    EXPECT_EQ(stampedCount, japaneseFits ? 2 : 3);
    if (japaneseFits) {
        EXPECT_TRUE(IsFile(out_ + L"\\\u5199\u771F.JPG"));
    }
    for (const std::wstring& photo : {korean1, korean2, japanese}) {
        const std::string content = ReadBytes(photo);
        int found = 0;
        for (const std::wstring& name : outputs) found += ReadBytes(out_ + L"\\" + name).rfind(content, 0) == 0;
        EXPECT_EQ(found, 1) << testing::Utf8(photo);
    }
    for (const std::wstring& input : inputs)
        if (input.rfind(L"c:\\tmp\\", 0) == 0) DeleteFileW(input.c_str());
}

}  // namespace
}  // namespace tess
