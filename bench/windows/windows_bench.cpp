// The Windows converter under Wine, timed from inside Wine:
//   1. data\convert.exe -version (what starting a process costs), then each photo given on
//      the command line converted to JPG by it alone (started hidden and waited for, as the
//      window's runner starts it), median of N runs each;
//   2. every photo of a folder dropped on the real window at once: the time from the drop
//      to the opened output folder, against the sum of the converter's own times for the
//      same command lines (each run again alone afterwards).
// Usage: windows_bench REPEATS BATCH_FOLDER PHOTO...   (Windows paths)
// Prints "converter <name> <ms>" and "batch <photos> <total ms> <converter sum ms>" lines
// for bench/windows/run, with a readable line after each.
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/form1.h"
#include "bench/timing.h"
#include "app/form1_wiring.h"
#include "convert/batch_driver_win.h"
#include "runner/dos_outputs.h"
#include "core/scoped_win.h"
#include "tests/batch/support.h"
#include "tests/dialogs/dialog_driver.h"
#include "tests/e2e/drop_run.h"

namespace {

using namespace tess;

using bench::NowMs;

// Wall time of one converter run with this command line; negative when it failed.
double TimedRun(std::wstring command) { return bench::TimedRunMs(std::move(command), true); }

std::wstring Converter() { return testing::ProgramFolder() + L"\\data\\convert.exe"; }

std::wstring FileName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

std::wstring Widen(const char* text) {
    std::wstring w(std::strlen(text), L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, text, -1, w.data(), static_cast<int>(w.size()) + 1));
    if (!w.empty() && w.back() == L'\0') w.pop_back();
    return w;
}

double MedianRun(int repeats, const std::wstring& command) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) times.push_back(TimedRun(command));
    std::sort(times.begin(), times.end());
    return times.front() < 0 ? -1 : times[times.size() / 2];
}

// 1: the converter's start alone (-version), then one photo after the other.
bool TimeConverter(int repeats, const std::vector<std::wstring>& photos, const std::wstring& outFolder) {
    std::printf("converter -version %.1f\n", MedianRun(repeats, L"\"" + Converter() + L"\" -version"));
    for (const std::wstring& photo : photos) {
        const std::wstring name = FileName(photo);
        const double ms = MedianRun(repeats, L"\"" + Converter() + L"\" -quality 85% \"" + photo + L"\" \"" +
                                                 outFolder + L"\\" + name.substr(0, name.rfind(L'.')) + L".JPG\"");
        if (ms < 0) {
            std::fprintf(stderr, "the converter failed on %ls\n", photo.c_str());
            return false;
        }
        std::printf("converter %ls %.1f\n", name.c_str(), ms);
    }
    return true;
}

// 2: the folder's photos dropped on the window.
bool TimeBatch(const std::wstring& batchFolder, const std::wstring& outFolder) {
    std::vector<std::wstring> photos;
    for (const std::wstring& name : testing::FilesIn(batchFolder)) photos.push_back(batchFolder + L"\\" + name);
    if (photos.empty()) {
        std::fprintf(stderr, "no photos in %ls\n", batchFolder.c_str());
        return false;
    }

    testing::ShellRecorder shell;  // the opened folder is recorded, not shown
    std::vector<std::wstring> commands;
    double dropped = 0, finished = 0;
    int failures = 0;
    {
        Form1::Options options;
        options.show = true;
        Form1 form(options);
        FormWiring wiring(form);
        if (!form.Load()) return false;
        form.strOutputPath = outFolder;
        wiring.batches()->SetFailureNotice([&](HWND, const std::wstring& text) {
            std::fprintf(stderr, "%ls\n", text.c_str());
            ++failures;
        });
        // The command line of each run, as the batch built it.
        wiring.runDos()->CommandOver.Subscribe([&] { commands.push_back(form.strCommand); });

        dropped = NowMs();
        const bool done = e2e::DropAndRunBatch(form, wiring, shell, photos, std::chrono::minutes(30));
        finished = NowMs();
        form.Close();
        if (!done || failures || commands.size() != photos.size()) {
            std::fprintf(stderr, "the batch did not convert every photo\n");
            return false;
        }
    }

    double sum = 0;
    for (const std::wstring& command : commands) {
        const double ms = TimedRun(command);
        if (ms < 0) return false;
        sum += ms;
    }
    const double total = finished - dropped;
    std::printf("batch %zu %.0f %.0f\n", photos.size(), total, sum);
    std::printf("  %zu photos dropped: %.1f s to the opened folder, converter alone %.1f s: %.3fx (target 1.1x)\n",
                photos.size(), total / 1000, sum / 1000, total / sum);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: windows_bench REPEATS BATCH_FOLDER PHOTO...\n");
        return 2;
    }
    const int repeats = std::max(1, std::atoi(argv[1]));
    const std::wstring batchFolder = Widen(argv[2]);
    std::vector<std::wstring> photos;
    for (int i = 3; i < argc; ++i) photos.push_back(Widen(argv[i]));

    OleInitialize(nullptr);
    testing::TempFolder temp;
    SetEnvironmentVariableW(L"APPDATA", temp.Path().c_str());  // default options
    const std::wstring single = temp.Path() + L"\\single", batch = temp.Path() + L"\\batch";
    CreateDirectoryW(single.c_str(), nullptr);
    CreateDirectoryW(batch.c_str(), nullptr);
    const bool ok = TimeConverter(repeats, photos, single) && TimeBatch(batchFolder, batch);
    OleUninitialize();
    return ok ? 0 : 1;
}
