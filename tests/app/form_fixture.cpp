#include "tests/app/form_fixture.h"

#include <shellapi.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "runner/message_pump.h"

namespace tess::testing {

void PumpFor(int ms) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(ms);
    do {
        YieldToMessages();
        Sleep(5);
    } while (static_cast<LONG>(end - GetTickCount()) > 0);
    YieldToMessages();
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

RECT ClientRectOf(HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

LOGFONTW FontOf(HWND control) {
    LOGFONTW lf{};
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (font) GetObjectW(font, sizeof(lf), &lf);
    return lf;
}

bool RaiseUntilOnTopAt(HWND window, POINT p) {
    for (int i = 0; i < 50 && GetAncestor(WindowFromPoint(p), GA_ROOT) != window; ++i) {
        SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        PumpFor(100);
    }
    return GetAncestor(WindowFromPoint(p), GA_ROOT) == window;
}

int OtherVisibleWindows(HWND except) {
    struct Count {
        HWND except;
        int n;
    } count{except, 0};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM p) -> BOOL {
            auto* c = reinterpret_cast<Count*>(p);
            if (w != c->except && IsWindowVisible(w)) ++c->n;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count.n;
}

namespace {

std::wstring NewTempFolder() {
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring dir = std::wstring(base) + L"tess-app-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

void RemoveTree(const std::wstring& dir) {
    std::wstring from = dir;
    from.push_back(L'\0');  // double NUL-terminated list
    SHFILEOPSTRUCTW op{};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
}

}  // namespace

void FormTest::SetUp() {
    dir_ = NewTempFolder();
    ASSERT_TRUE(SetEnvironmentVariableW(L"APPDATA", dir_.c_str()));
}

void FormTest::TearDown() {
    form_.reset();
    YieldToMessages();
    RemoveTree(dir_);
}


Form1& FormTest::Open(Form1::Options options, bool corner) {
    form_ = std::make_unique<Form1>(options);
    EXPECT_TRUE(form_->Load());
    if (corner && form_->hwnd()) {
        RECT r{};
        GetWindowRect(form_->hwnd(), &r);
        SetWindowPos(form_->hwnd(), nullptr, GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left) - 4,
                     GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top) - 4, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    PumpFor(50);
    return *form_;
}

void FormTest::CloseForm() {
    form_->Close();
    YieldToMessages();
}

}  // namespace tess::testing
