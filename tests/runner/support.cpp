#include "tests/runner/support.h"

#include <tlhelp32.h>

#include <atomic>

#include "core/scoped_win.h"
#include "tests/support/handle_count.h"

namespace tess::testing {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring folder(path, n);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

DWORD HandleCount() { return tess::testing::OwnHandleCount(); }

double NowMs() {
    static const double perMs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / perMs;
}

namespace {
std::atomic<int> g_serial{0};
}

std::wstring UniqueChildName(const wchar_t* stem, const wchar_t* extension) {
    return std::wstring(stem) + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++g_serial) + extension;
}

ScratchFolder::ScratchFolder() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"tessaline-runner-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(++g_serial) + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    WIN32_FIND_DATAW found;
    const HANDLE h = FindFirstFileW((path_ + L"*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                EndProcessesNamed(name);
                DeleteFileW((path_ + name).c_str());
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(path_.c_str());
}

std::wstring ScratchFolder::ChildCopy(const std::wstring& fileName) const {
    const std::wstring to = path_ + fileName;
    CopyFileW((ProgramFolder() + L"runner_child.exe").c_str(), to.c_str(), FALSE);
    return to;
}

namespace {

// Calls f(entry) for every running process.
template <class F>
void ForEachProcess(F f) {
    UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry))
        f(entry);
}

}  // namespace

void EndProcessesNamed(const std::wstring& imageName) {
    ForEachProcess([&](const PROCESSENTRY32W& e) {
        if (lstrcmpiW(e.szExeFile, imageName.c_str()) != 0) return;
        UniqueHandle p(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, e.th32ProcessID));
        if (p) {
            TerminateProcess(p.get(), 99);
            WaitForSingleObject(p.get(), 5000);
        }
    });
}

bool Running(const std::wstring& imageName) {
    bool found = false;
    ForEachProcess([&](const PROCESSENTRY32W& e) {
        if (lstrcmpiW(e.szExeFile, imageName.c_str()) == 0) found = true;
    });
    return found;
}

MessageWindow::MessageWindow(std::function<void(UINT, WPARAM, LPARAM)> onMessage)
    : onMessage_(std::move(onMessage)) {
    static const ATOM cls = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &MessageWindow::Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TessalineRunnerTestWindow";
        return RegisterClassW(&wc);
    }();
    hwnd_ = CreateWindowExW(0, MAKEINTATOM(cls), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            GetModuleHandleW(nullptr), this);
}

MessageWindow::~MessageWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
}

LRESULT CALLBACK MessageWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* self = reinterpret_cast<MessageWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && msg >= WM_APP) {
        self->onMessage_(msg, wp, lp);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace tess::testing
