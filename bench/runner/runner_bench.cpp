// Time of one ExecuteCommand whose child ends at once: what the runner adds to every
// converter run (process start, the polling passes and their pauses, the clean-up).
// Usage: runner_bench [runs]   (default 40)
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "runner/dos_outputs.h"
#include "runner/waitable_timer.h"

namespace {

using bench::NowMs;
using bench::Percentile;

// The platform's own floor: start the child and wait on its handle.
double BareRunMs(const std::wstring& command) { return bench::TimedRunMs(command); }

// One walk over a process snapshot, as every empty pass takes.
double SnapshotWalkMs() {
    const double start = NowMs();
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    }
    CloseHandle(snap);
    return NowMs() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    wchar_t self[MAX_PATH * 2];
    std::wstring folder(self, GetModuleFileNameW(nullptr, self, MAX_PATH * 2));
    folder.resize(folder.find_last_of(L"\\/") + 1);
    const std::wstring childName = L"runner_bench_child.exe";
    const std::wstring command = L"\"" + folder + childName + L"\"";

    tess::DOSOutputs runDos;
    int failures = 0;
    runDos.SetFailureReporter([&](const std::wstring& m) {
        std::fwprintf(stderr, L"runner failure: %ls\n", m.c_str());
        ++failures;
    });
    tess::strProcessName = childName;
    runDos.CommandLine(command);

    runDos.ExecuteCommand();  // first start of the child: loader and file caches
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double start = NowMs();
        runDos.ExecuteCommand();
        times.push_back(NowMs() - start);
    }
    if (failures) return 1;

    std::vector<double> bare, walks, pauses;
    tess::clsWaitableTimer timer;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(BareRunMs(command));
        walks.push_back(SnapshotWalkMs());
        const double start = NowMs();
        timer.Wait(50);
        pauses.push_back(NowMs() - start);
    }

    std::printf("ExecuteCommand of a child that exits at once, %d runs\n", runs);
    std::printf("  min %.1f ms  median %.1f ms  p90 %.1f ms  max %.1f ms\n", Percentile(times, 0.0),
                Percentile(times, 0.5), Percentile(times, 0.9), Percentile(times, 1.0));
    std::printf("start and wait on the handle alone: median %.1f ms\n", Percentile(bare, 0.5));
    std::printf("one 50 ms pause between passes: median %.1f ms\n", Percentile(pauses, 0.5));
    std::printf("one process snapshot walk: median %.2f ms\n", Percentile(walks, 0.5));
    std::printf("median overhead per run: %.1f ms (%.1f ms beyond a bare start and wait)\n",
                Percentile(times, 0.5), Percentile(times, 0.5) - Percentile(bare, 0.5));
    return 0;
}
