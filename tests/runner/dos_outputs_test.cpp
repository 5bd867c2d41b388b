#include "runner/dos_outputs.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/codepage.h"
#include "core/scoped_win.h"
#include "runner/runtime_error.h"
#include "tests/runner/child_output.h"
#include "tests/runner/support.h"

namespace tess {

class DOSOutputsProbe {
public:
    static bool ProcessExists(const DOSOutputs& runner, std::wstring_view name) {
        return runner.ProcessExists(name);
    }
};

}  // namespace tess

using namespace tess;
using namespace tess::testing;

namespace {

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Starts a child directly (not through the runner); the handle lets the test watch it.
UniqueHandle StartDirectly(const std::wstring& path, const std::wstring& args) {
    std::wstring line = L"\"" + path + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return UniqueHandle();
    UniqueHandle thread(pi.hThread);
    return UniqueHandle(pi.hProcess);
}

class DOSOutputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        runDos.SetFailureReporter([this](const std::wstring& m) { messages.push_back(m); });
        runDos.ReceiveOutputs.Subscribe([this](const std::wstring& c) { chunks.push_back(c); });
        runDos.CommandOver.Subscribe([this] { ++commandOvers; });
        childName = UniqueChildName(L"rchild");
        child = scratch.ChildCopy(childName);
        strProcessName = childName;
    }

    // A command line that runs the child with these steps.
    std::wstring Child(const std::wstring& steps) const { return L"\"" + child + L"\" " + steps; }

    ScratchFolder scratch;
    DOSOutputs runDos;
    std::wstring childName, child;
    std::vector<std::wstring> messages, chunks;
    int commandOvers = 0;
};

// --- Which command runs, and the three failures -------------------------------------

TEST_F(DOSOutputsTest, StoredCommandLineRunsWhenTheArgumentIsEmpty) {
    runDos.CommandLine(Child(L"text stored"));
    EXPECT_EQ(runDos.ExecuteCommand(), L"stored");
    EXPECT_EQ(runDos.Outputs(), L"stored");
    EXPECT_EQ(runDos.CommandLine(), Child(L"text stored"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(commandOvers, 1);
}

TEST_F(DOSOutputsTest, NonEmptyArgumentReplacesTheStoredCommandLine) {
    runDos.CommandLine(Child(L"text old"));
    EXPECT_EQ(runDos.ExecuteCommand(Child(L"text new")), L"new");
    EXPECT_EQ(runDos.CommandLine(), Child(L"text new"));
    EXPECT_EQ(runDos.ExecuteCommand(), L"new");
}

TEST_F(DOSOutputsTest, EmptyCommandLineIsReportedAndStartsNothing) {
    EXPECT_EQ(runDos.ExecuteCommand(), L"");
    EXPECT_EQ(messages, std::vector<std::wstring>{L"Command Line empty"});
    EXPECT_EQ(commandOvers, 0);
    EXPECT_FALSE(runDos.ExitCode().has_value());

    // Clearing the stored line after a run: reported again, the run's text stays.
    runDos.ExecuteCommand(Child(L"text kept exit 4"));
    runDos.CommandLine(L"");
    EXPECT_EQ(runDos.ExecuteCommand(L""), L"");
    EXPECT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.back(), L"Command Line empty");
    EXPECT_EQ(runDos.Outputs(), L"kept");
    EXPECT_EQ(runDos.ExitCode(), 4u);
    EXPECT_EQ(commandOvers, 1);
}

TEST_F(DOSOutputsTest, MissingProgramIsReportedAndOutputsKeepsThePreviousRun) {
    runDos.ExecuteCommand(Child(L"text first exit 3"));
    chunks.clear();
    const std::wstring missing = scratch.Path() + L"nosuch.exe -quality 85%";
    EXPECT_EQ(runDos.ExecuteCommand(missing), L"");
    EXPECT_EQ(messages, std::vector<std::wstring>{L"File or command not found"});
    EXPECT_EQ(runDos.Outputs(), L"first");
    EXPECT_EQ(runDos.ExitCode(), 3u);
    EXPECT_EQ(runDos.CommandLine(), missing);
    EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(commandOvers, 1);
}

// --- What is captured -----------------------------------------------------------------

TEST_F(DOSOutputsTest, SilentChildLeavesOutputsEmptyAndStillEndsWithCommandOver) {
    runDos.ExecuteCommand(Child(L"text earlier"));
    chunks.clear();
    EXPECT_EQ(runDos.ExecuteCommand(Child(L"exit 0")), L"");
    EXPECT_EQ(runDos.Outputs(), L"");
    EXPECT_TRUE(chunks.empty());
    EXPECT_EQ(commandOvers, 2);
}

TEST_F(DOSOutputsTest, ThreeThousandBytesArriveAsChunksOfAtMost1024OnePerPass) {
    // Every chunk posts a message; the next chunk finds it dispatched, so the runner
    // yielded to the window between the two reads. The child stays until the last byte
    // has arrived: one that has ended is drained at once, as it must be.
    const std::wstring name = L"tessaline-three-chunks-" + std::to_wstring(GetCurrentProcessId());
    const UniqueHandle allRead(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(allRead);
    int posted = 0, dispatched = 0;
    std::size_t received = 0;
    bool yieldedBetweenReads = true;
    MessageWindow window([&](UINT, WPARAM, LPARAM) { ++dispatched; });
    runDos.ReceiveOutputs.Subscribe([&](const std::wstring& chunk) {
        if (dispatched != posted) yieldedBetweenReads = false;
        PostMessageW(window.Handle(), kTestMessage, 0, 0);
        ++posted;
        if ((received += chunk.size()) >= 3000) SetEvent(allRead.get());
    });

    const std::wstring all = runDos.ExecuteCommand(Child(L"out 3000 wait " + name));
    EXPECT_EQ(all, Widen(Pattern(3000)));
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 1024u);
    EXPECT_EQ(chunks[1].size(), 1024u);
    EXPECT_EQ(chunks[2].size(), 952u);
    EXPECT_EQ(chunks[0] + chunks[1] + chunks[2], all);
    EXPECT_TRUE(yieldedBetweenReads);
    EXPECT_EQ(dispatched, posted);
}

TEST_F(DOSOutputsTest, ChildWritingFasterThanTheRunnerReadsLosesNothing) {
    // The child blocks on the full pipe until the runner drains it.
    constexpr std::size_t kBytes = 1 << 20;
    const std::wstring all = runDos.ExecuteCommand(Child(L"out " + std::to_wstring(kBytes)));
    EXPECT_EQ(all.size(), kBytes);
    EXPECT_TRUE(all == Widen(Pattern(kBytes)));
    EXPECT_EQ(runDos.ExitCode(), 0u);
    for (const std::wstring& c : chunks) ASSERT_LE(c.size(), 1024u);
}

TEST_F(DOSOutputsTest, StandardErrorGoesIntoTheSameText) {
    EXPECT_EQ(runDos.ExecuteCommand(Child(L"text out: err problem text ;end")), L"out:problem;end");
}

TEST_F(DOSOutputsTest, BytesAreDecodedFromTheAnsiCodePage) {
    const std::wstring text = runDos.ExecuteCommand(Child(L"hex 48e92041"));
    EXPECT_EQ(text, SystemCodePage().Widen("\x48\xe9\x20\x41"));
    if (GetACP() == 1252) {
        EXPECT_EQ(text, L"H\u00e9 A");
    }
}

TEST_F(DOSOutputsTest, ExitCodeOfTheChildIsKept) {
    runDos.ExecuteCommand(Child(L"exit 42"));
    EXPECT_EQ(runDos.ExitCode(), 42u);
    runDos.ExecuteCommand(Child(L"text ok"));
    EXPECT_EQ(runDos.ExitCode(), 0u);
}

// --- When a run ends --------------------------------------------------------------------

TEST_F(DOSOutputsTest, WaitsWhileTheWatchedChildRuns) {
    EXPECT_EQ(runDos.ExecuteCommand(Child(L"sleep 400 text late exit 5")), L"late");
    EXPECT_FALSE(Running(childName));
    EXPECT_EQ(runDos.ExitCode(), 5u);
}

// A child that crashes ends its run like any other: what it wrote before is kept, and the
// run ends once the crashed process has gone (a crash box held it, and the run, for ever).
TEST_F(DOSOutputsTest, AChildThatCrashesEndsTheRun) {
    const double start = NowMs();
    const std::wstring text = runDos.ExecuteCommand(Child(L"text before crash now"));
    EXPECT_LT(NowMs() - start, 60000.0);
    EXPECT_EQ(text.rfind(L"before", 0), 0u);
    EXPECT_FALSE(Running(childName));
    ASSERT_TRUE(runDos.ExitCode().has_value());
    EXPECT_EQ(*runDos.ExitCode(), static_cast<unsigned long>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(commandOvers, 1);
}

TEST_F(DOSOutputsTest, EmptyOrWrongWatchedNameEndsAtTheFirstEmptyPass) {
    for (const std::wstring name : {L"", L"another-program.exe"}) {
        SCOPED_TRACE(::testing::Message() << "watched name: \"" << std::string(name.begin(), name.end()) << '"');
        strProcessName = name;
        const double start = NowMs();
        EXPECT_EQ(runDos.ExecuteCommand(Child(L"sleep 5000 text never")), L"");
        EXPECT_LT(NowMs() - start, 3000.0);
        EXPECT_TRUE(Running(childName));
        EXPECT_FALSE(runDos.ExitCode().has_value());
        EndProcessesNamed(childName);
    }
    EXPECT_EQ(commandOvers, 2);
}

TEST_F(DOSOutputsTest, AnotherProcessWithTheWatchedNameKeepsItPolling) {
    UniqueHandle other = StartDirectly(child, L"sleep 1500");
    ASSERT_TRUE(other);
    EXPECT_EQ(runDos.ExecuteCommand(Child(L"text mine")), L"mine");
    EXPECT_EQ(WaitForSingleObject(other.get(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(Running(childName));
}

// --- The process probe ------------------------------------------------------------------

TEST_F(DOSOutputsTest, ProcessExistsComparesWholeImageNamesIgnoringCase) {
    const std::wstring stem = UniqueChildName(L"Probe", L"");
    const std::wstring plain = scratch.ChildCopy(stem + L".exe");
    const std::wstring backup = scratch.ChildCopy(stem + L"B.exe.bak");
    UniqueHandle p1 = StartDirectly(plain, L"sleep 20000");
    UniqueHandle p2 = StartDirectly(backup, L"sleep 20000");
    ASSERT_TRUE(p1);
    ASSERT_TRUE(p2);
    auto exists = [&](const std::wstring& name) { return DOSOutputsProbe::ProcessExists(runDos, name); };

    std::wstring upper = stem + L".EXE";
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    EXPECT_TRUE(exists(stem + L".exe"));
    EXPECT_TRUE(exists(upper));
    EXPECT_FALSE(exists(stem));
    EXPECT_FALSE(exists(L"x" + stem + L".exe"));
    EXPECT_FALSE(exists(stem + L".exe.bak"));
    EXPECT_FALSE(exists(stem + L".ex"));
    EXPECT_FALSE(exists(stem + L"B.exe"));
    EXPECT_TRUE(exists(stem + L"B.exe.bak"));
    EXPECT_FALSE(exists(L""));

    TerminateProcess(p1.get(), 0);
    TerminateProcess(p2.get(), 0);
    WaitForSingleObject(p1.get(), 5000);
    WaitForSingleObject(p2.get(), 5000);
    EXPECT_FALSE(exists(stem + L".exe"));
}

// --- Handles ----------------------------------------------------------------------------

TEST_F(DOSOutputsTest, NoHandleIsLeftOpenAfterManyRuns) {
    runDos.ExecuteCommand(Child(L"text warm"));
    const DWORD before = HandleCount();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 12; ++i) runDos.ExecuteCommand(Child(i % 2 ? L"out 1500" : L"exit 1"));
    EXPECT_EQ(HandleCount(), before);
    EXPECT_EQ(commandOvers, 13);
}

TEST_F(DOSOutputsTest, NoHandleIsLeftOpenAfterFailingRuns) {
    const std::wstring missing = scratch.Path() + L"nosuch.exe";
    runDos.ExecuteCommand(missing);
    const DWORD before = HandleCount();
    for (int i = 0; i < 5; ++i) {
        runDos.ExecuteCommand(missing);
        runDos.CommandLine(L"");
        runDos.ExecuteCommand();
    }
    EXPECT_EQ(messages.size(), 11u);
    EXPECT_EQ(HandleCount(), before);
}

TEST_F(DOSOutputsTest, ErrorFromASubscriberEndsTheRunWithEveryHandleClosed) {
    runDos.ExecuteCommand(Child(L"text warm"));
    // The first exception of a process opens a few handles of the runtime's own.
    try {
        throw RuntimeError{};
    } catch (const RuntimeError&) {
    }
    const DWORD before = HandleCount();
    runDos.ReceiveOutputs.Subscribe([](const std::wstring&) {
        throw RuntimeError{91, L"DOSOutputs", L"Object variable not set"};
    });
    try {
        runDos.ExecuteCommand(Child(L"text boom sleep 100"));
        FAIL() << "the subscriber's error did not reach the caller";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number, 91);
    }
    EXPECT_EQ(commandOvers, 1);
    EXPECT_EQ(HandleCount(), before);
}

// A run that ends early (here on a subscriber's error) leaves its child nothing to write
// into: the child's next write fails and it ends, instead of waiting for ever on a full
// pipe whose reading end it holds itself.
TEST_F(DOSOutputsTest, AChildLeftByARunThatEndedEarlyEndsAtItsNextWrite) {
    runDos.ReceiveOutputs.Subscribe([](const std::wstring&) {
        throw RuntimeError{91, L"DOSOutputs", L"Object variable not set"};
    });
    EXPECT_THROW(runDos.ExecuteCommand(Child(L"text first sleep 300 out 1048576")), RuntimeError);
    for (int waited = 0; waited < 300 && DOSOutputsProbe::ProcessExists(runDos, childName); ++waited) Sleep(100);
    EXPECT_FALSE(DOSOutputsProbe::ProcessExists(runDos, childName));
}

}  // namespace

namespace {

// What a message box of this process showed: caption, text and whether it had the error icon.
struct SeenBox {
    std::wstring caption, text;
    bool errorIcon = false;
};

BOOL CALLBACK NoteChild(HWND child, LPARAM lp) {
    auto* seen = reinterpret_cast<SeenBox*>(lp);
    if (GetDlgCtrlID(child) == 0xFFFF) {
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        seen->text = text;
    }
    const auto icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    if (icon && icon == LoadIconW(nullptr, IDI_ERROR)) seen->errorIcon = true;
    return TRUE;
}

TEST(DOSOutputsMessageBox, FailureIsAModalErrorBoxWithTheProgramTitle) {
    SeenBox seen;
    const DWORD uiThread = GetCurrentThreadId();
    std::thread closer([&] {
        for (int i = 0; i < 500; ++i) {
            HWND box = nullptr;
            EnumThreadWindows(uiThread, [](HWND w, LPARAM lp) {
                wchar_t cls[16] = {};
                GetClassNameW(w, cls, 16);
                if (std::wstring(cls) != L"#32770") return TRUE;
                *reinterpret_cast<HWND*>(lp) = w;
                return FALSE;
            }, reinterpret_cast<LPARAM>(&box));
            if (box && IsWindowVisible(box)) {
                wchar_t caption[64] = {};
                GetWindowTextW(box, caption, 64);
                seen.caption = caption;
                EnumChildWindows(box, NoteChild, reinterpret_cast<LPARAM>(&seen));
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(20);
        }
    });
    DOSOutputs runDos;  // the default reporter: a message box
    const std::wstring result = runDos.ExecuteCommand();
    closer.join();
    EXPECT_EQ(result, L"");
    EXPECT_EQ(seen.caption, L"Tessaline");
    EXPECT_EQ(seen.text, L"Command Line empty");
    EXPECT_TRUE(seen.errorIcon);
}

}  // namespace
