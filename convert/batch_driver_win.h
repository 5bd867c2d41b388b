// The two ways into a batch, and the batch itself: photos dropped on the window are
// queued and converted at the next tick of timerRun; a click on the window's surface
// picks one photo in the open dialog and converts it at once, together with whatever
// is queued. Each photo is one run of data\convert.exe through runDos.
//
// One batch at a time: while a batch runs (in any phase, from the click's dialog to the
// closing failure message) a click is refused and a tick does nothing, and whatever is
// dropped meanwhile is converted by the running batch before it ends. Entries left when
// a batch ends (dropped during its very last steps) arm timerRun again.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "convert/batch_queue.h"
#include "convert/form_host.h"

namespace tess {

class CommonDlgsW;
class DOSOutputs;

// The open dialog's filter.
extern const wchar_t kOpenFilter[];
inline constexpr wchar_t kPreparingCaption[] = L"Preparing Files...";
// The whole list of a batch's failed photos, when the message cannot show them all: in the
// output folder, or beside the settings file when the output folder cannot be written.
inline constexpr wchar_t kFailureListName[] = L"Photos not converted.txt";

class BatchDriver {
public:
    // Shows the one message of a batch whose photos did not all convert.
    using FailureNotice = std::function<void(HWND owner, const std::wstring& text)>;

    // Takes over runDos' failure reports: a converter that cannot start is named in the
    // batch's message instead of a box of its own.
    BatchDriver(FormHost& form, DOSOutputs& runDos, CommonDlgsW& dlgFiles);
    BatchDriver(const BatchDriver&) = delete;
    BatchDriver& operator=(const BatchDriver&) = delete;

    // The window's drop: every dropped path is queued, and timerRun is armed (also when
    // the data holds no file list). `effect` (may be null) is set to copy.
    void OnDrop(IDataObject* data, DWORD* effect);
    // A tick of timerRun: converts everything queued, or nothing while a batch runs.
    void OnTick();
    // A click on the window's surface: the open dialog, then a batch.
    void OnSurfaceClick();

    bool Busy() const { return busy_; }
    // Queues one path (lstFile and the batch's list).
    void AddFile(const std::wstring& path, const std::wstring& shownAs = {});

    // Where the failure message goes; ShowFailureBox unless replaced.
    void SetFailureNotice(FailureNotice notice) { notice_ = std::move(notice); }
    // The failure message as a warning box owned by the window.
    static void ShowFailureBox(HWND owner, const std::wstring& text);

    // The named steps every batch uses.
    void ReadResizeOption();
    void BuildCommandLine(const std::wstring& inputPath, const std::wstring& outputBaseName);
    void RunConverter(std::size_t i);
    void FinishBatch();

private:
    enum class Driver { Dialog, Drop };
    class BusyScope;

    void QueueChosenFile(const std::wstring& chosen);
    void ConvertAll(Driver driver);
    RunResult ConvertEntry(const BatchEntry& entry, Driver driver);

    FormHost& form_;
    DOSOutputs& runDos_;
    CommonDlgsW& dlgFiles_;
    std::wstring appFolder_;
    FailureNotice notice_;

    BatchQueue queue_;
    bool busy_ = false;
    // Entries of the running batch that are reported instead of converted, by index.
    std::map<std::size_t, std::wstring> refused_;
    // What runDos reported during the current run ("" when the converter started).
    std::wstring runFailure_;
    // What went wrong while waiting for the current run ("" when nothing did).
    std::wstring runError_;
};

}  // namespace tess
