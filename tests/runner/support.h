// Shared pieces of the runner's tests under Wine.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tess::testing {

// Folder of the running test program, with a trailing backslash.
std::wstring ProgramFolder();

// Handles the process holds now.
DWORD HandleCount();

// Milliseconds on a monotonic clock.
double NowMs();

// A scratch folder of its own for one test, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& Path() const { return path_; }  // with a trailing backslash

    // A copy of the test child under the given file name; returns its full path.
    std::wstring ChildCopy(const std::wstring& fileName) const;

private:
    std::wstring path_;
};

// A unique image name for a child copy, so that tests running side by side never
// watch one another's children.
std::wstring UniqueChildName(const wchar_t* stem, const wchar_t* extension = L".exe");

// Ends every process with this image name (left over by a failed test).
void EndProcessesNamed(const std::wstring& imageName);

// Whether a process with this image name runs (compared without case).
bool Running(const std::wstring& imageName);

// A hidden message-only window whose messages go to a callback.
class MessageWindow {
public:
    explicit MessageWindow(std::function<void(UINT, WPARAM, LPARAM)> onMessage);
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;
    HWND Handle() const { return hwnd_; }

private:
    static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    HWND hwnd_ = nullptr;
    std::function<void(UINT, WPARAM, LPARAM)> onMessage_;
};

// The first message number free for the tests' own use.
constexpr UINT kTestMessage = WM_APP + 1;

}  // namespace tess::testing
