// A pause that keeps the window alive: the thread sleeps on a one-shot waitable timer
// and wakes for every window message, which it dispatches before sleeping again.
#pragma once

#include <windows.h>

#include "core/scoped_win.h"

namespace tess {

class clsWaitableTimer {
public:
    // Returns after MilliSeconds (not negative) have passed, dispatching window
    // messages as they arrive and once more at the end. A timer that cannot be
    // made or armed, or a wait that fails, counts as elapsed. Any error raised
    // meanwhile (by a window procedure run from here) reaches the caller as a
    // RuntimeError with "[clsWaitableTimer.Wait]" before its description.
    void Wait(long MilliSeconds);

    // The timer of the wait in progress; null between waits.
    HANDLE CurrentTimer() const noexcept { return hTimer.get(); }

private:
    // Kept when an error ends a wait early; closed by the destructor then.
    UniqueHandle hTimer;
};

}  // namespace tess
