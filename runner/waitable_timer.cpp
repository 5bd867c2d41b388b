#include "runner/waitable_timer.h"

#include <cstdio>
#include <string>

#include "core/codepage.h"
#include "runner/message_pump.h"
#include "runner/module_path.h"
#include "runner/runtime_error.h"

namespace tess {
namespace {

// The program file's name without folder and extension.
std::wstring ProgramBaseName() {
    const std::wstring path = ModulePath();
    const auto slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const auto dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    return name;
}

// Program name, "Timer" and the local time's minutes and seconds (14:05:09 gives 0509).
std::string TimerName() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t mmss[8];
    std::swprintf(mmss, 8, L"%02u%02u", static_cast<unsigned>(now.wMinute) % 100u,
                  static_cast<unsigned>(now.wSecond) % 100u);
    return SystemCodePage().Narrow(ProgramBaseName() + L"Timer" + mmss);
}

}  // namespace

void clsWaitableTimer::Wait(long MilliSeconds) {
    try {
        const std::string name = TimerName();
        hTimer.reset(CreateWaitableTimerA(nullptr, TRUE, name.c_str()));
        if (!hTimer) {
            YieldToMessages();
            return;
        }

        // Relative due time in 100 ns units: negative counts from now.
        LARGE_INTEGER due;
        due.QuadPart = -(static_cast<LONGLONG>(MilliSeconds) * 10000);
        if (SetWaitableTimer(hTimer.get(), &due, 0, nullptr, nullptr, FALSE)) {
            for (;;) {
                const HANDLE handles[1] = {hTimer.get()};
                const DWORD r = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, 0xFF);
                YieldToMessages();
                if (r != WAIT_OBJECT_0 + 1) break;  // fired, or the wait failed
            }
        } else {
            YieldToMessages();
        }
        hTimer.reset();
    } catch (...) {
        throw Prefixed(ToRuntimeError(std::current_exception()), L"[clsWaitableTimer.Wait]");
    }
}

}  // namespace tess
