// Clock and process timing shared by the benchmarks that run under Wine.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "core/scoped_win.h"

namespace bench {

inline double NowMs() {
    using Ms = std::chrono::duration<double, std::milli>;
    return Ms(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The value at fraction p (0 = smallest, 0.5 = median, 1 = largest) of the samples.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

inline double Median(std::vector<double> v) { return Percentile(std::move(v), 0.5); }

// Starts the command hidden, waits on its process handle and returns the wall time in
// milliseconds; negative when it could not start or (with mustSucceed) exited non-zero.
inline double TimedRunMs(std::wstring command, bool mustSucceed = false) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started{};
    const double begin = NowMs();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &started))
        return -1;
    const tess::UniqueHandle process(started.hProcess), thread(started.hThread);
    WaitForSingleObject(process.get(), INFINITE);
    const double ms = NowMs() - begin;
    DWORD code = 0;
    if (mustSucceed && (!GetExitCodeProcess(process.get(), &code) || code != 0)) return -1;
    return ms;
}

}  // namespace bench
