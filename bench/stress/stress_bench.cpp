// Many photos dropped on the real window at once, every fifth of them unreadable, converted
// one after the other by the stand-in converter. Shows that
//   - every good photo comes out,
//   - the window answers WM_GETTEXT within a second all the while (asked from a second
//     thread every 100 ms, through the batch and its failure message),
//   - the process holds as many handles and GDI objects after the last run as after the
//     tenth,
//   - the one failure message fits on the screen.
// Usage: stress_bench [photos]   (default 500). Exits 1 when a bound is missed.
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "app/form1_wiring.h"
#include "bench/timing.h"
#include "convert/batch_driver_win.h"
#include "convert/batch_queue.h"
#include "runner/dos_outputs.h"
#include "tests/batch/support.h"
#include "tests/dialogs/dialog_driver.h"

namespace {

using namespace tess;
using bench::NowMs;

constexpr double kAnswerBoundMs = 1000;
constexpr int kAskEveryMs = 100;

// Asks the window for its caption every kAskEveryMs from its own thread and keeps how long
// each answer took; an answer that never came counts as the time waited for it.
class CaptionAsker {
public:
    explicit CaptionAsker(HWND window) : window_(window), thread_([this] { Run(); }) {}
    ~CaptionAsker() { Stop(); }

    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    const std::vector<double>& Answers() const { return answers_; }

private:
    void Run() {
        while (!stop_) {
            wchar_t caption[64] = {};
            DWORD_PTR copied = 0;
            const double start = NowMs();
            SendMessageTimeoutW(window_, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(caption), SMTO_NORMAL, 10000,
                                &copied);
            answers_.push_back(NowMs() - start);
            std::this_thread::sleep_for(std::chrono::milliseconds(kAskEveryMs));
        }
    }

    HWND window_;
    std::atomic<bool> stop_{false};
    std::vector<double> answers_;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const int photos = argc > 1 ? std::max(20, std::atoi(argv[1])) : 500;
    OleInitialize(nullptr);
    testing::TempFolder temp;
    SetEnvironmentVariableW(L"APPDATA", temp.Path().c_str());
    testing::ConverterLog log(temp.Path());
    testing::ShellRecorder shell;
    const std::wstring out = temp.Path() + L"\\out";

    std::vector<std::wstring> paths;
    int unreadable = 0;
    for (int i = 0; i < photos; ++i) {
        const bool bad = i % 5 == 4;
        unreadable += bad;
        paths.push_back(temp.AddFile(L"IMG_" + std::to_wstring(10000 + i) + (bad ? L" FAIL.HEIC" : L".HEIC")));
    }

    int runs = 0, notices = 0;
    testing::ResourceCounts atTenth, atLast;
    std::wstring message;
    RECT box{};
    double dropped = 0, finished = 0;
    bool done = false;
    std::vector<double> answers;
    {
        Form1::Options options;
        options.show = true;
        Form1 form(options);
        FormWiring wiring(form);
        if (!form.Load()) return 1;
        form.strOutputPath = out;
        wiring.batches()->SetFailureNotice([&](HWND owner, const std::wstring& text) {
            ++notices;
            message = text;
            BatchDriver::ShowFailureBox(owner, text);
        });
        wiring.runDos()->CommandOver.Subscribe([&] {
            ++runs;
            if (runs == 10) atTenth = testing::CountResources();
            if (runs == photos) atLast = testing::CountResources();
        });
        // The failure message, answered as a user would, once it has been measured.
        testing::DialogDriver user([&](HWND dialog) {
            GetWindowRect(dialog, &box);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            testing::Press(dialog, IDOK);
        });

        CaptionAsker asker(form.hwnd());
        IDataObject* data = testing::NewFileDrop(paths);
        DWORD effect = DROPEFFECT_COPY;
        dropped = NowMs();
        form.GetDropTarget()->Drop(data, MK_LBUTTON, POINTL{100, 100}, &effect);
        data->Release();
        done = testing::PumpUntil([&] { return !shell.executes.empty() && !wiring.batches()->Busy(); },
                                  std::chrono::minutes(30));
        finished = NowMs();
        testing::PumpUntil([] { return false; }, std::chrono::milliseconds(300));
        asker.Stop();
        user.Join();
        answers = asker.Answers();
        form.Close();
    }

    const std::size_t converted = testing::FilesIn(out).size() - testing::IsFile(out + L"\\" + kFailureListName);
    const std::size_t good = static_cast<std::size_t>(photos - unreadable);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const double slowest = answers.empty() ? 0 : *std::max_element(answers.begin(), answers.end());

    std::printf("%d photos dropped at once, %d of them unreadable, stand-in converter\n", photos, unreadable);
    std::printf("  drop to batch end: %.1f s, %d converter runs\n", (finished - dropped) / 1000, runs);
    std::printf("  photos converted: %zu of %zu good ones\n", converted, good);
    std::printf("  WM_GETTEXT asked %zu times: median %.1f ms, 99th percentile %.1f ms, slowest %.1f ms "
                "(bound %.0f ms)\n",
                answers.size(), bench::Median(answers), bench::Percentile(answers, 0.99), slowest, kAnswerBoundMs);
    std::printf("  handles after run 10: %lu, after run %d: %lu\n", atTenth.handles, photos, atLast.handles);
    std::printf("  GDI objects after run 10: %lu, after run %d: %lu\n", atTenth.gdiObjects, photos,
                atLast.gdiObjects);
    std::printf("  failure message: %d shown, %ld px high on a work area %ld px high\n", notices,
                box.bottom - box.top, work.bottom - work.top);

    bool ok = true;
    auto check = [&](bool holds, const char* what) {
        if (!holds) std::printf("MISSED: %s\n", what);
        ok = ok && holds;
    };
    check(done && runs == photos, "every photo was run through the converter");
    check(converted == good, "every good photo came out");
    check(!answers.empty() && slowest < kAnswerBoundMs, "the window answered WM_GETTEXT within a second");
    check(atTenth == atLast && atTenth.handles > 0, "handle and GDI object counts the same after the last run");
    check(notices == 1 && box.bottom > box.top && box.top >= work.top && box.bottom <= work.bottom,
          "the one failure message fits on the screen");
    check(message.find(std::to_wstring(unreadable - static_cast<int>(kShownFailures)) + L" more.") !=
              std::wstring::npos,
          "the message says how many more failed");
    OleUninitialize();
    return ok ? 0 : 1;
}
