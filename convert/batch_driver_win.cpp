#include "convert/batch_driver_win.h"

#include <shellapi.h>

#include <optional>
#include <vector>

#include "app/option_controls.h"
#include "app/shell_calls.h"
#include "app/steps.h"
#include "convert/command_line.h"
#include "convert/get_file.h"
#include "convert/naming.h"
#include "core/codepage.h"
#include "dialogs/common_dlgs_w.h"
#include "runner/dos_outputs.h"
#include "runner/message_pump.h"
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

using Control = FormHost::Control;

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The system's text for an error code, on one line.
std::wstring SystemMessage(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n ? std::wstring(text, n) : L"error " + std::to_wstring(code);
    if (text) LocalFree(text);
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
struct FileStamp {
    bool exists = false;
    FILETIME written{};
    DWORD sizeHigh = 0, sizeLow = 0;

    static FileStamp Of(const std::wstring& path) {
        FileStamp s;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            s.exists = true;
            s.written = data.ftLastWriteTime;
            s.sizeHigh = data.nFileSizeHigh;
            s.sizeLow = data.nFileSizeLow;
        }
        return s;
    }
    // A file is there now that was not there before, or has been written since.
    bool WrittenSince(const FileStamp& before) const {
        if (!exists) return false;
        return !before.exists || CompareFileTime(&written, &before.written) != 0 ||
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

// The data's file-drop list, read path by path; `add` is called with each as it comes.
template <class Add>
void ForEachDroppedPath(IDataObject* data, Add add) {
    if (!data) return;
    FORMATETC format{CF_HDROP, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (data->QueryGetData(&format) != S_OK) return;
    STGMEDIUM medium{};
    if (FAILED(data->GetData(&format, &medium))) return;
    struct Release {
        STGMEDIUM& m;
        ~Release() { ReleaseStgMedium(&m); }
    } release{medium};
    const auto drop = static_cast<HDROP>(medium.hGlobal);
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT k = 0; k < count; ++k) {
        const UINT length = DragQueryFileW(drop, k, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        path.resize(DragQueryFileW(drop, k, path.data(), length + 1));
        Step([&] { add(path); });
    }
}

}  // namespace

// Marks the driver busy for one handler; when it ends, anything still queued (dropped
// after the batch's last look at the list) gets a tick of its own.
class BatchDriver::BusyScope {
public:
    explicit BusyScope(BatchDriver& d) : d_(d) { d_.busy_ = true; }
    ~BusyScope() {
        d_.busy_ = false;
        if (d_.queue_.Count() > 0) Step([&] { d_.form_.ArmTimer(); });
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    BatchDriver& d_;
};

BatchDriver::BatchDriver(FormHost& form, DOSOutputs& runDos, CommonDlgsW& dlgFiles)
    : form_(form), runDos_(runDos), dlgFiles_(dlgFiles),
      appFolder_(ApplicationFolder(ModulePath())),
      notice_([](HWND owner, const std::wstring& text) {
          MessageBoxW(owner, text.c_str(), L"Tessaline", MB_ICONWARNING | MB_OK);
      }) {
    runDos_.SetFailureReporter([this](const std::wstring& message) { runFailure_ = message; });
}

void BatchDriver::AddFile(const std::wstring& path, const std::wstring& shownAs) {
    queue_.Add(path, shownAs);
    Step([&] { form_.AddFile(path); });
}

void BatchDriver::OnDrop(IDataObject* data, DWORD* effect) {
    Step([&] { form_.ShowNormalBackground(); });
    Step([&] {
        if (effect) *effect = DROPEFFECT_COPY;
    });
    Step([&] { ForEachDroppedPath(data, [&](const std::wstring& path) { AddFile(path); }); });
    Step([&] { CreateFolder(form_.OutputPath()); });
    Step([&] { ReadResizeOption(); });
    Step([&] { form_.ShowNormalBackground(); });
    Step([&] { form_.ArmTimer(); });
}

void BatchDriver::OnTick() {
    Step([&] { form_.DisarmTimer(); });
    // A batch that runs takes whatever was queued; its end re-arms the timer if needed.
    if (busy_) return;
    BusyScope busy(*this);
    queue_.Begin();
    ConvertAll(Driver::Drop);
    FinishBatch();
}

void BatchDriver::OnSurfaceClick() {
    if (busy_) return;
    bool converting = false;
    Step([&] { converting = IsBusyCaption(form_.Text(Control::Label1)); });
    if (converting) return;
    BusyScope busy(*this);

    Step([&] { dlgFiles_.SetFileName(L""); });
    Step([&] { dlgFiles_.SetFilter(kOpenFilter); });
    bool confirmed = false;
    Step([&] { confirmed = dlgFiles_.ShowOpen(form_.Window()); });
    if (!confirmed) return;
    std::wstring chosen;
    Step([&] { chosen = dlgFiles_.FileName(); });
    if (chosen.empty()) {
        Step([&] { form_.ShowNormalBackground(); });
        return;
    }
    Step([&] { CreateFolder(std::wstring(kScratchFolder)); });
    queue_.Begin();
    Step([&] { QueueChosenFile(chosen); });
    Step([&] { form_.ShowNormalBackground(); });
    Step([&] { YieldToMessages(); });
    Step([&] { CreateFolder(form_.OutputPath()); });
    Step([&] { ReadResizeOption(); });
    Step([&] { form_.ShowPrompt(); });
    ConvertAll(Driver::Dialog);
    FinishBatch();
}

void BatchDriver::QueueChosenFile(const std::wstring& chosen) {
    if (FileExists(chosen)) {
        AddFile(chosen);
        return;
    }
    if (chosen.find(L'.') == std::wstring::npos) {
        // No extension to give a scratch copy: report it rather than copy it nowhere.
        AddFile(chosen);
        refused_[queue_.Count() - 1] = WhyNotConvertible(chosen);
        return;
    }
    const std::wstring name = CleanBaseName(GetBaseName(chosen));
    Step([&] { form_.SetText(Control::Label1, kPreparingCaption); });
    const ClaimedName copy = queue_.Names().ClaimScratch(name, ScratchExtensionOf(chosen));
    const bool copied = CopyFileW(chosen.c_str(), copy.path.c_str(), FALSE);
    const DWORD error = copied ? 0 : GetLastError();
    AddFile(copy.path, chosen);
    if (!copied)
        refused_[queue_.Count() - 1] = L"could not be copied to c:\\tmp: " + SystemMessage(error);
}

void BatchDriver::ReadResizeOption() {
    form_.SetResize(tess::ReadResizeOption(form_.Text(Control::Label5), form_.Text(Control::txtResize)));
}

void BatchDriver::BuildCommandLine(const std::wstring& inputPath, const std::wstring& outputBaseName) {
    const std::wstring quality = form_.Text(Control::Text1);
    const std::wstring resize = form_.Resize();
    const std::wstring folder = form_.OutputPath();
    const std::wstring format = form_.Text(Control::lblFormat);
    form_.SetCommand(tess::BuildCommandLine(
        {appFolder_, quality, inputPath, resize, folder, outputBaseName, format}));
}

void BatchDriver::RunConverter(std::size_t i) {
    Step([&] { form_.SetText(Control::Label1, ProgressCaption(i, queue_.Count())); });
    Step([&] { strProcessName = std::wstring(kConverterProcessName); });
    Step([&] { YieldToMessages(); });
    Step([&] { runDos_.CommandLine(form_.Command()); });
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
        Step([&] { result = ConvertEntry(*entry, driver); });
        Step([&] { queue_.RecordResult(result); });
    }
}

RunResult BatchDriver::ConvertEntry(const BatchEntry& entry, Driver driver) {
    if (const auto refused = refused_.find(entry.index); refused != refused_.end())
        return NotConverted(refused->second);

    std::wstring input = entry.path;
    std::wstring baseName =
        driver == Driver::Drop ? CleanBaseName(GetBaseName(input)) : GetBaseName(input);

    if (!SurvivesCodePage(input)) {
        // The converter could not open this path: it converts a copy under a clean name,
        // made now so that no later copy of the batch can take its place.
        baseName = CleanBaseName(GetBaseName(input));
        const ClaimedName copy = queue_.Names().ClaimScratch(baseName, ScratchExtensionOf(input));
        CreateFolder(std::wstring(kScratchFolder));
        if (!CopyFileW(input.c_str(), copy.path.c_str(), FALSE))
            return NotConverted(L"could not be copied to c:\\tmp: " + SystemMessage(GetLastError()));
        input = copy.path;
    }

    const ClaimedName output =
        queue_.Names().ClaimOutput(form_.OutputPath(), baseName, form_.Text(Control::lblFormat));
    BuildCommandLine(input, output.baseName);
    if (driver == Driver::Drop) Step([&] { form_.ShowPrompt(); });

    const FileStamp before = FileStamp::Of(output.path);
    RunConverter(entry.index);

    RunResult result;
    if (!runFailure_.empty()) {
        result.started = false;
        result.output = runFailure_;
        return result;
    }
    result.outputWritten = FileStamp::Of(output.path).WrittenSince(before);
    if (const auto code = runDos_.ExitCode()) result.exitCode = static_cast<int>(*code);
    result.output = runDos_.Outputs() + runError_;
    return result;
}

void BatchDriver::FinishBatch() {
    Step([&] {
        const std::string folder = SystemCodePage().Narrow(form_.OutputPath());
        Shell().shellExecute(nullptr, "open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    });
    std::wstring failures;
    Step([&] { failures = queue_.Finish(); });
    refused_.clear();
    // The converted entries leave lstFile; entries dropped since stay for the next batch.
    Step([&] {
        while (form_.FileCount() > queue_.Count()) form_.RemoveFirstFile();
    });
    Step([&] { form_.SetText(Control::Label1, kPromptCaption); });
    if (!failures.empty()) Step([&] { notice_(form_.Window(), failures); });
}

}  // namespace tess
