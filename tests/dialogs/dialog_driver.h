// Drives a modal common dialog of this process from a second thread, the way a user would:
// find it, read or fill its controls, press a button.
#pragma once

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tess::testing {

class DialogDriver {
public:
    // Runs on the driver's thread with the dialog found; it should end the dialog.
    using Action = std::function<void(HWND dialog)>;

    // Starts watching at once: call it before the Show operation that opens the dialog.
    // It watches, however long the dialog takes to appear, until Join.
    explicit DialogDriver(Action action);
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    // Call once the Show operation has returned: stops watching and waits for the thread.
    void Join();
    bool FoundDialog() const { return found_; }
    // False when the action did not close the dialog and the driver had to.
    bool ClosedByAction() const { return closedByAction_; }

private:
    void Run();

    Action action_;
    DWORD ownerThread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> found_{false};
    std::atomic<bool> closedByAction_{false};
    std::thread thread_;
};

// A visible top-level dialog ("#32770") of the given thread, or nullptr.
HWND FindDialogOfThread(DWORD threadId);
// A control of the dialog or of any of its child dialogs, by id.
HWND FindControl(HWND dialog, int id);
std::wstring WindowText(HWND window);
void SetText(HWND window, const std::wstring& text);
// Presses a button of the dialog (IDOK, IDCANCEL or any other command id).
void Press(HWND dialog, int id);
// The items of a combo box, in order.
std::vector<std::wstring> ComboItems(HWND combo);

// A fresh folder under the user's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // Writes a small file into the folder and returns its full path.
    std::wstring AddFile(const std::wstring& name) const;

private:
    std::wstring path_;
};

}  // namespace tess::testing
