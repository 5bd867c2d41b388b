#include "runner/waitable_timer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "runner/runtime_error.h"
#include "tests/runner/support.h"

using namespace tess;
using namespace tess::testing;

namespace {

// The name the timer of a wait started at this local time carries in this program.
std::string TimerNameAt(const SYSTEMTIME& t) {
    char name[64];
    std::snprintf(name, sizeof name, "runner_timer_testsTimer%02u%02u", t.wMinute, t.wSecond);
    return name;
}

TEST(WaitableTimerWait, FiftyMillisecondsTakeAboutFifty) {
    clsWaitableTimer timer;
    for (int i = 0; i < 3; ++i) {
        const double start = NowMs();
        timer.Wait(50);
        const double took = NowMs() - start;
        EXPECT_GE(took, 40.0);
        EXPECT_LE(took, 1000.0);
    }
}

TEST(WaitableTimerWait, ZeroReturnsAtOnceAfterOnePassOverTheQueue) {
    int seen = 0;
    MessageWindow window([&](UINT, WPARAM, LPARAM) { ++seen; });
    ASSERT_TRUE(PostMessageW(window.Handle(), kTestMessage, 0, 0));
    ASSERT_TRUE(PostMessageW(window.Handle(), kTestMessage, 0, 0));
    clsWaitableTimer timer;
    const double start = NowMs();
    timer.Wait(0);
    EXPECT_LT(NowMs() - start, 150.0);  // far below any real pause
    EXPECT_EQ(seen, 2);
}

TEST(WaitableTimerWait, MessagesArrivingDuringTheWaitAreDispatchedBeforeItEnds) {
    clsWaitableTimer timer;
    bool insideWait = false;
    int dispatchedInside = 0;
    bool timerStillPending = false;
    MessageWindow window([&](UINT, WPARAM, LPARAM) {
        if (!insideWait) return;
        ++dispatchedInside;
        // The timer has not fired yet: the message was served at once, not at the end.
        timerStillPending = WaitForSingleObject(timer.CurrentTimer(), 0) == WAIT_TIMEOUT;
    });
    const HWND target = window.Handle();
    std::thread poster([target] {
        Sleep(30);
        PostMessageW(target, kTestMessage, 0, 0);
    });
    insideWait = true;
    timer.Wait(1000);
    insideWait = false;
    poster.join();
    EXPECT_EQ(dispatchedInside, 1);
    EXPECT_TRUE(timerStillPending);
}

TEST(WaitableTimerWait, TimerIsNamedAfterProgramAndMinuteSecond) {
    clsWaitableTimer timer;
    SYSTEMTIME before{}, after{};
    bool opened = false;
    MessageWindow window([&](UINT, WPARAM, LPARAM) {
        for (const SYSTEMTIME& t : {before, after}) {
            if (UniqueHandle(OpenWaitableTimerA(SYNCHRONIZE, FALSE, TimerNameAt(t).c_str()))) opened = true;
        }
    });
    ASSERT_TRUE(PostMessageW(window.Handle(), kTestMessage, 0, 0));
    GetLocalTime(&before);
    timer.Wait(50);
    GetLocalTime(&after);
    EXPECT_TRUE(opened);
}

TEST(WaitableTimerWait, NoTimerIsLeftBetweenWaits) {
    clsWaitableTimer timer;
    timer.Wait(1);
    const DWORD before = HandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 20; ++i) {
        timer.Wait(i % 3);
        EXPECT_EQ(timer.CurrentTimer(), nullptr);
    }
    EXPECT_EQ(HandleCount(), before);
}

TEST(WaitableTimerWait, ErrorInsideTheWaitKeepsNumberAndSourceAndGetsThePrefix) {
    MessageWindow window([](UINT, WPARAM, LPARAM) {
        throw RuntimeError{13, L"Form1", L"Type mismatch"};
    });
    // The first exception of a process, and its first named kernel object, open a few
    // handles of the system's own that stay open.
    try {
        throw RuntimeError{};
    } catch (const RuntimeError&) {
    }
    clsWaitableTimer().Wait(0);
    const DWORD before = HandleCount();
    ASSERT_GT(before, 0u);
    {
        clsWaitableTimer timer;
        ASSERT_TRUE(PostMessageW(window.Handle(), kTestMessage, 0, 0));
        try {
            timer.Wait(200);
            FAIL() << "the error did not reach the caller";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number, 13);
            EXPECT_EQ(e.source, L"Form1");
            EXPECT_EQ(e.description, L"[clsWaitableTimer.Wait]Type mismatch");
        }
        // The wait was cut short: its timer stays with the object until it goes.
        EXPECT_NE(timer.CurrentTimer(), nullptr);
    }
    EXPECT_EQ(HandleCount(), before);
}

TEST(WaitableTimerWait, OtherExceptionsBecomeRuntimeErrorsWithThePrefix) {
    MessageWindow window([](UINT, WPARAM, LPARAM) { throw std::bad_alloc(); });
    clsWaitableTimer timer;
    ASSERT_TRUE(PostMessageW(window.Handle(), kTestMessage, 0, 0));
    try {
        timer.Wait(0);
        FAIL() << "the error did not reach the caller";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number, kErrOutOfMemory);
        EXPECT_EQ(e.description, L"[clsWaitableTimer.Wait]Out of memory");
    }
}

}  // namespace
