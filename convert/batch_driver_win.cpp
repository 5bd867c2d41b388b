#include "convert/batch_driver_win.h"

#include <shellapi.h>

#include <memory>
#include <optional>
#include <vector>

#include "convert/command_line.h"
#include "convert/entry_plan.h"
#include "convert/get_file.h"
#include "convert/naming.h"
#include "core/codepage.h"
#include "core/program.h"
#include "core/scoped_win.h"
#include "core/shell_calls.h"
#include "core/skip_on_failure.h"
#include "dialogs/common_dlgs_w.h"
#include "runner/dos_outputs.h"
#include "runner/message_pump.h"
#include "runner/module_path.h"
#include "runner/runtime_error.h"

namespace tess {

const wchar_t kOpenFilter[] =
    L"All Files(*.*)|*.*|"
    L"HEIC - High Efficiency Image Container(*.heic)|*.heic|"
    L"HEIF - High Efficiency Image File(*.heif)|*.heif|"
    L"NRW - Nikon Digital SLR Camera Raw Image(*.nrw)|*.nrw|"
    L"NEF - Nikon Digital SLR Camera Raw Image(*.NEF)|*.nef|"
    L"ORF - Olympus Digital Camera Raw Image(*.orf)|*.orf|"
    L"RW2 - Panasonic Lumix Raw Image(*.RW2)|*.rw2|"
    L"RAF - Fuji Camera Raw File(*.raf)|*.raf|"
    L"HDR - High Dynamic Range(*.hdr)|*.hdr|"
    L"CR2 - Canon Raw Version 2 Image(*.cr2)|*.cr2|"
    L"DNG - Digital Negative Image(*.dng)|*.dng";

namespace {

using Field = FormHost::Field;

// The system's text for an error code, on one line.
std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const LocalMemory<wchar_t> owned(text);
    std::wstring message = n ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    return message;
}

// A run that never happened, reported with `reason`.
RunResult NotConverted(std::wstring reason) {
    RunResult r;
    r.outputWritten = false;
    r.output = std::move(reason);
    return r;
}

// What is known of a file before and after a run, to tell a new output from an old one.
// The converter writes a new file and renames it into place, and gives it the photo's
// own date: converting the same photo again gives the same date and size, so the file's
// identity tells the new output from the one an earlier batch left.
struct FileStamp {
    bool exists = false;
    FILETIME written{};
    DWORD sizeHigh = 0, sizeLow = 0;
    DWORD volume = 0, indexHigh = 0, indexLow = 0;

    static FileStamp Of(const std::wstring& path) {
        FileStamp s;
        const UniqueHandle file(CreateFileW(path.c_str(), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION info{};
        if (file && GetFileInformationByHandle(file.get(), &info) &&
            !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            s.exists = true;
            s.written = info.ftLastWriteTime;
            s.sizeHigh = info.nFileSizeHigh;
            s.sizeLow = info.nFileSizeLow;
            s.volume = info.dwVolumeSerialNumber;
            s.indexHigh = info.nFileIndexHigh;
            s.indexLow = info.nFileIndexLow;
        }
        return s;
    }
    // A file is there now that was not there before, is another file, or has been
    // written since.
    bool WrittenSince(const FileStamp& before) const {
        if (!exists) return false;
        return !before.exists || volume != before.volume || indexHigh != before.indexHigh ||
               indexLow != before.indexLow || CompareFileTime(&written, &before.written) != 0 ||
               sizeHigh != before.sizeHigh || sizeLow != before.sizeLow;
    }
};

// The reason a chosen path without any "." cannot be converted where it lies.
std::wstring WhyNotConvertible(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return L"the file was not found";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return L"this is a folder, not a photo";
    return L"its name holds characters the converter cannot receive";
}

void CreateFolder(const std::wstring& path) { CreateDirectoryW(path.c_str(), nullptr); }

// Writes `text` as UTF-8 (with its byte-order mark, so that any editor reads the names
// right) to `path`, replacing what was there; false when it could not be written whole.
bool WriteUtf8File(const std::wstring& path, const std::wstring& text) {
    std::string bytes = "\xEF\xBB\xBF";
    if (!text.empty()) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
        if (n <= 0) return false;
        const std::size_t head = bytes.size();
        bytes.resize(head + static_cast<std::size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data() + head, n,
                            nullptr, nullptr);
    }
    bool whole = false;
    {
        const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD written = 0;
        whole = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                written == bytes.size();
    }
    if (!whole) DeleteFileW(path.c_str());
    return whole;
}

// Keeps the whole list of a batch's failed photos where the user finds it: in the output
// folder, which opens as the batch ends, or, when that cannot be written (the folder may be
// the very cause of the failures), beside the settings file. The path written, or "".
std::wstring KeepFailureList(const BatchOutcome& outcome, const std::wstring& outputFolder,
                             const std::wstring& settingsFolder) {
    const std::wstring text = FailureList(outcome);
    for (const std::wstring& folder : {outputFolder, settingsFolder}) {
        std::wstring path = folder;
        if (path.empty() || path.back() != L'\\') path += L'\\';
        path += kFailureListName;
        if (WriteUtf8File(path, text)) return path;
    }
    return {};
}

// Copies a photo to its scratch path in c:\tmp, overwriting: "" when done, else why not.
std::wstring CopyToScratch(const std::wstring& from, const std::wstring& to) {
    CreateFolder(std::wstring(kScratchFolder));
    if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return {};
    const DWORD error = GetLastError();
    return L"could not be copied to c:\\tmp: " + SystemMessage(error);
}

// The data's file-drop list, read path by path; `add` is called with each as it comes.
template <class Add>
void ForEachDroppedPath(IDataObject* data, Add add) {
    if (!data) return;
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (data->QueryGetData(&format) != S_OK) return;
    StgMedium medium;
    if (FAILED(data->GetData(&format, medium.put()))) return;
    const auto drop = static_cast<HDROP>(medium.get().hGlobal);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT k = 0; k < count; ++k) {
        const UINT length = DragQueryFileW(drop, k, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        path.resize(DragQueryFileW(drop, k, path.data(), length + 1));
        add(path);
    }
}

}  // namespace

// Marks the driver busy for one handler. When it ends, timerRun is armed exactly when
// something is still queued (dropped after the batch's last look at the list): ticks
// that a drop asked for while the batch ran have been served by the batch itself.
class BatchDriver::BusyScope {
public:
    explicit BusyScope(BatchDriver& d) : d_(d) { d_.busy_ = true; }
    ~BusyScope() {
        d_.busy_ = false;
        // A batch cut short by an unexpected error still ends, so that the next one can
        // begin; nothing may leave a destructor.
        SkipOnFailure([&] {
            if (d_.queue_.Running()) d_.queue_.Finish();
        });
        if (d_.queue_.Count() > 0)
            d_.form_.ArmTimer();
        else
            d_.form_.DisarmTimer();
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    BatchDriver& d_;
};

BatchDriver::BatchDriver(FormHost& form, DOSOutputs& runDos, CommonDlgsW& dlgFiles)
    : form_(form), runDos_(runDos), dlgFiles_(dlgFiles),
      appFolder_(ApplicationFolder(ModulePath())),
      notice_(&BatchDriver::ShowFailureBox) {
    runDos_.SetFailureReporter([this](const std::wstring& message) { runFailure_ = message; });
}

void BatchDriver::ShowFailureBox(HWND owner, const std::wstring& text) {
    // Without its window (closed during the batch) the box comes to the front by itself.
    const UINT front = owner ? 0 : MB_SETFOREGROUND | MB_TOPMOST;
    MessageBoxW(owner, text.c_str(), kProgramTitle, MB_ICONWARNING | MB_OK | front);
}

void BatchDriver::AddFile(const std::wstring& path, const std::wstring& shownAs) {
    queue_.Add(path, shownAs);
    form_.AddFile(path);
}

void BatchDriver::OnDrop(IDataObject* data, DWORD* effect) {
    form_.ShowNormalBackground();
    if (effect) *effect = DROPEFFECT_COPY;
    SkipOnFailure([&] { ForEachDroppedPath(data, [&](const std::wstring& path) { AddFile(path); }); });
    SkipOnFailure([&] { CreateFolder(form_.OutputPath()); });
    ReadResizeOption();
    form_.ShowNormalBackground();
    form_.ArmTimer();
}

void BatchDriver::OnTick() {
    form_.DisarmTimer();
    // A batch that runs takes whatever was queued; its end re-arms the timer if needed.
    if (busy_) return;
    BusyScope busy(*this);
    queue_.Begin();
    ConvertAll(Driver::Drop);
    FinishBatch();
}

void BatchDriver::OnSurfaceClick() {
    if (busy_ || IsBusyCaption(form_.Text(Field::Prompt))) return;
    BusyScope busy(*this);

    dlgFiles_.SetFileName(L"");
    dlgFiles_.SetFilter(kOpenFilter);
    bool confirmed = false;
    SkipOnFailure([&] { confirmed = dlgFiles_.ShowOpen(form_.Window()); });
    if (!confirmed) return;
    const std::wstring chosen = dlgFiles_.FileName();
    if (chosen.empty()) {
        form_.ShowNormalBackground();
        return;
    }
    SkipOnFailure([&] { CreateFolder(std::wstring(kScratchFolder)); });
    queue_.Begin();
    SkipOnFailure([&] { QueueChosenFile(chosen); });
    form_.ShowNormalBackground();
    YieldToMessages();
    SkipOnFailure([&] { CreateFolder(form_.OutputPath()); });
    ReadResizeOption();
    form_.ShowPrompt();
    ConvertAll(Driver::Dialog);
    FinishBatch();
}

void BatchDriver::QueueChosenFile(const std::wstring& chosen) {
    if (form_.FileExists(chosen)) {
        AddFile(chosen);
        return;
    }
    if (chosen.find(L'.') == std::wstring::npos) {
        // No extension to give a scratch copy: report it rather than copy it nowhere.
        AddFile(chosen);
        refused_[queue_.Count() - 1] = WhyNotConvertible(chosen);
        return;
    }
    form_.SetText(Field::Prompt, kPreparingCaption);
    const ClaimedName copy = ClaimScratchCopy(chosen, queue_.Names());
    std::wstring failed = CopyToScratch(chosen, copy.path);
    AddFile(copy.path, chosen);
    if (!failed.empty()) refused_[queue_.Count() - 1] = std::move(failed);
}

void BatchDriver::ReadResizeOption() {
    form_.SetResize(tess::ReadResizeOption(form_.Text(Field::ResizeSwitch), form_.Text(Field::ResizeWidth)));
}

void BatchDriver::BuildCommandLine(const std::wstring& inputPath, const std::wstring& outputBaseName) {
    const std::wstring quality = form_.Text(Field::Quality);
    const std::wstring resize = form_.Resize();
    const std::wstring folder = form_.OutputPath();
    const std::wstring format = form_.Text(Field::Format);
    form_.SetCommand(tess::BuildCommandLine(
        {appFolder_, quality, inputPath, resize, folder, outputBaseName, format}));
}

void BatchDriver::RunConverter(std::size_t i) {
    form_.SetText(Field::Prompt, ProgressCaption(i, queue_.Count()));
    strProcessName = std::wstring(kConverterProcessName);
    YieldToMessages();
    runDos_.CommandLine(form_.Command());
    runFailure_.clear();
    runError_.clear();
    try {
        runDos_.ExecuteCommand(L"");
    } catch (...) {
        // The wait failed, not the start: the converter may still have written its output.
        runError_ = ToRuntimeError(std::current_exception()).description;
    }
}

void BatchDriver::ConvertAll(Driver driver) {
    while (std::optional<BatchEntry> entry = queue_.NextEntry()) {
        RunResult result = NotConverted(L"could not be prepared for the converter");
        SkipOnFailure([&] { result = ConvertEntry(*entry, driver); });
        queue_.RecordResult(result);
    }
}

RunResult BatchDriver::ConvertEntry(const BatchEntry& entry, Driver driver) {
    if (const auto refused = refused_.find(entry.index); refused != refused_.end())
        return NotConverted(refused->second);

    const std::wstring folder = form_.OutputPath();
    const std::wstring format = form_.Text(Field::Format);
    // A path the converter could not open (the code page cannot hold it) is converted from
    // a scratch copy, made now so that no later copy of the batch can take its place.
    const EntryPlan plan = driver == Driver::Drop || !SurvivesCodePage(entry.path)
                               ? PlanDroppedEntry(entry.path, folder, format, queue_.Names())
                               : PlanDialogEntry(entry.path, folder, format, queue_.Names());
    if (!plan.copyFrom.empty()) {
        std::wstring failed = CopyToScratch(plan.copyFrom, plan.inputPath);
        if (!failed.empty()) return NotConverted(std::move(failed));
    }

    BuildCommandLine(plan.inputPath, plan.outputBaseName);
    if (driver == Driver::Drop) form_.ShowPrompt();

    const FileStamp before = FileStamp::Of(plan.outputPath);
    RunConverter(entry.index);

    RunResult result;
    if (!runFailure_.empty()) {
        result.started = false;
        result.output = runFailure_;
        return result;
    }
    result.outputWritten = FileStamp::Of(plan.outputPath).WrittenSince(before);
    if (const auto code = runDos_.ExitCode()) result.exitCode = static_cast<int>(*code);
    result.output = runDos_.Outputs() + runError_;
    return result;
}

void BatchDriver::FinishBatch() {
    SkipOnFailure([&] {
        const std::string folder = SystemCodePage().Narrow(form_.OutputPath());
        Shell().shellExecute(nullptr, "open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    });
    const BatchOutcome outcome = queue_.Finish();
    refused_.clear();
    // The converted entries leave lstFile; entries dropped since stay for the next batch.
    while (form_.FileCount() > queue_.Count()) form_.RemoveFirstFile();
    form_.SetText(Field::Prompt, form_.PromptText());
    if (outcome.failures.empty()) return;
    std::wstring listPath;
    if (NeedsFailureList(outcome))
        SkipOnFailure([&] { listPath = KeepFailureList(outcome, form_.OutputPath(), form_.SettingsFolder()); });
    SkipOnFailure([&] { notice_(form_.Window(), FailureMessage(outcome, listPath)); });
}

}  // namespace tess
