#include "tests/dialogs/dialog_driver.h"

#include <chrono>
#include <fstream>
#include <system_error>

namespace tess::testing {

namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

HWND FindDialogOfThread(DWORD threadId) {
    HWND found = nullptr;
    EnumThreadWindows(
        threadId,
        [](HWND window, LPARAM param) -> BOOL {
            wchar_t cls[16] = {};
            GetClassNameW(window, cls, 16);
            if (std::wstring(cls) == L"#32770" && IsWindowVisible(window)) {
                *reinterpret_cast<HWND*>(param) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindControl(HWND dialog, int id) {
    if (HWND direct = GetDlgItem(dialog, id)) return direct;
    struct Search {
        int id;
        HWND found;
    } search{id, nullptr};
    EnumChildWindows(
        dialog,
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            if (GetDlgCtrlID(window) != s->id) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring WindowText(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void SetText(HWND window, const std::wstring& text) {
    SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void Press(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(FindControl(dialog, id)));
}

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring item(static_cast<std::size_t>(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()));
        item.resize(static_cast<std::size_t>(length));
        items.push_back(item);
    }
    return items;
}

DialogDriver::DialogDriver(Action action)
    : action_(std::move(action)), ownerThread_(GetCurrentThreadId()) {
    thread_ = std::thread([this] { Run(); });
}

DialogDriver::~DialogDriver() { Join(); }

void DialogDriver::Join() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void DialogDriver::Run() {
    // The Show operation returns only once its dialog has closed, so a dialog that is
    // still to come is always found before Join stops the watch.
    HWND dialog = nullptr;
    while (!(dialog = FindDialogOfThread(ownerThread_))) {
        if (stop_) return;
        std::this_thread::sleep_for(20ms);
    }
    found_ = true;
    // Answered only once the dialog's own loop runs, that is after its initialisation.
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
    action_(dialog);
    if (WaitUntil([&] { return !IsWindow(dialog); }, 15s)) {
        closedByAction_ = true;
        return;
    }
    // Still open, or a message box on top of it: cancel whatever is left.
    WaitUntil(
        [&] {
            HWND open = FindDialogOfThread(ownerThread_);
            if (!open) return true;
            Press(open, IDCANCEL);
            PostMessageW(open, WM_CLOSE, 0, 0);
            std::this_thread::sleep_for(200ms);
            return false;
        },
        30s);
}

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"tessaline-dialogs-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path_), ignored);
}

std::wstring TempFolder::AddFile(const std::wstring& name) const {
    const std::wstring path = path_ + L"\\" + name;
    std::ofstream(std::filesystem::path(path), std::ios::binary) << "photo";
    return path;
}

}  // namespace tess::testing
