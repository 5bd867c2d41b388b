// A batch of photos dropped on the real window, converted one after the other by the
// stand-in converter, which copies its input and exits at once. Measures the time per
// photo inside the batch and subtracts the converter's own time (start it and wait for
// it, nothing else): what remains is what the batch and the runner add to every photo.
// Usage: batch_bench [photos]   (default 50)
#include <windows.h>
#include <ole2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

namespace {

using namespace tess;

using bench::Median;
using bench::NowMs;

// The converter alone: started hidden with the batch's command line and waited for.
double ConverterAloneMs(std::wstring command) { return bench::TimedRunMs(std::move(command)); }

}  // namespace

int main(int argc, char** argv) {
    const int photos = argc > 1 ? std::max(2, std::atoi(argv[1])) : 50;
    OleInitialize(nullptr);
    testing::TempFolder temp;
    SetEnvironmentVariableW(L"APPDATA", temp.Path().c_str());
    testing::ConverterLog log(temp.Path());
    testing::ShellRecorder shell;

    std::vector<std::wstring> paths;
    for (int i = 0; i < photos; ++i)
        paths.push_back(temp.AddFile(L"IMG_" + std::to_wstring(1000 + i) + L".HEIC"));

    int failures = 0;
    std::vector<double> runEnds;
    double dropped = 0, finished = 0;
    {
        Form1::Options options;
        options.show = true;
        Form1 form(options);
        FormWiring wiring(form);
        if (!form.Load()) return 1;
        form.strOutputPath = temp.Path() + L"\\out";
        wiring.batches()->SetFailureNotice([&](HWND, const std::wstring& text) {
            std::fwprintf(stderr, L"%ls\n", text.c_str());
            ++failures;
        });
        wiring.runDos()->CommandOver.Subscribe([&] { runEnds.push_back(NowMs()); });

        IDataObject* data = testing::NewFileDrop(paths);
        DWORD effect = DROPEFFECT_COPY;
        dropped = NowMs();
        form.GetDropTarget()->Drop(data, MK_LBUTTON, POINTL{100, 100}, &effect);
        data->Release();
        const bool done = testing::PumpUntil(
            [&] { return !shell.executes.empty() && !wiring.batches()->Busy(); }, std::chrono::minutes(10));
        finished = NowMs();
        form.Close();
        if (!done || failures || static_cast<int>(runEnds.size()) != photos) {
            std::fprintf(stderr, "the batch did not convert every photo\n");
            return 1;
        }
    }

    // The same command lines again: each converter started and waited for on its own, and
    // each run through the command runner alone, to tell the runner's share from the batch's.
    std::vector<double> alone, runner;
    DOSOutputs runDos;
    strProcessName = L"convert.exe";
    for (const std::wstring& command : log.CommandLines()) {
        alone.push_back(ConverterAloneMs(command));
        const double start = NowMs();
        runDos.ExecuteCommand(command);
        runner.push_back(NowMs() - start);
    }

    std::vector<double> perPhoto;
    for (std::size_t i = 1; i < runEnds.size(); ++i) perPhoto.push_back(runEnds[i] - runEnds[i - 1]);
    const double inBatch = Median(perPhoto), converter = Median(alone), viaRunner = Median(runner);
    std::printf("%d dropped photos, stand-in converter that exits at once\n", photos);
    std::printf("  drop to folder opened: %.0f ms (tick after 50 ms included)\n", finished - dropped);
    std::printf("  per photo in the batch: median %.1f ms\n", inBatch);
    std::printf("  converter alone (start and wait): median %.1f ms\n", converter);
    std::printf("  converter through the command runner alone: median %.1f ms\n", viaRunner);
    std::printf("  of the overhead: runner %.1f ms (its polling passes of 50 ms), batch %.1f ms\n",
                viaRunner - converter, inBatch - viaRunner);
    std::printf("median overhead per photo beyond the converter's own time: %.1f ms (target 80 ms)\n",
                inBatch - converter);
    OleUninitialize();
    return 0;
}
