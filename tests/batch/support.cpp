#include "tests/batch/support.h"

#include <shlobj.h>
#include <winternl.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "app/form1.h"
#include "app/option_controls.h"
#include "app/settings_io.h"
#include "tests/support/handle_count.h"

namespace tess::testing {
namespace {

// One clipboard format with its bytes, handed out as a fresh HGLOBAL on every request.
class DropData final : public IDataObject {
public:
    DropData(CLIPFORMAT format, std::string bytes) : format_(format), bytes_(std::move(bytes)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDataObject) {
            *object = static_cast<IDataObject*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetData(FORMATETC* format, STGMEDIUM* medium) override {
        if (QueryGetData(format) != S_OK) return DV_E_FORMATETC;
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes_.size());
        if (!memory) return E_OUTOFMEMORY;
        std::memcpy(GlobalLock(memory), bytes_.data(), bytes_.size());
        GlobalUnlock(memory);
        medium->tymed = TYMED_HGLOBAL;
        medium->hGlobal = memory;
        medium->pUnkForRelease = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* format) override {
        if (!format || format->cfFormat != format_) return DV_E_FORMATETC;
        return (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_TYMED;
    }
    HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC*, FORMATETC* out) override {
        if (out) out->ptd = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override {
        return OLE_E_ADVISENOTSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }

private:
    ~DropData() = default;
    ULONG refs_ = 1;
    CLIPFORMAT format_;
    std::string bytes_;
};

std::string AsBytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

// The first double-quoted token after " -quality ": the input path.
std::wstring InputOf(const std::wstring& commandLine) {
    const auto open = commandLine.find(L'"', commandLine.find(L" -quality "));
    if (open == std::wstring::npos) return {};
    const auto close = commandLine.find(L'"', open + 1);
    return commandLine.substr(open + 1, close - open - 1);
}

// The GDI handle table the system shares with the process (the PEB's GdiSharedHandleTable),
// one 24-byte entry per handle value; an entry in use has a type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"  // NtCurrentTeb reads through gs
unsigned long GdiObjectsInSharedTable() {
    struct Entry {
        UINT64 object;
        ULONG owner;
        USHORT unique;
        UCHAR type;
        UCHAR flags;
        UINT64 user;
    };
    static_assert(sizeof(Entry) == 24);
    constexpr std::size_t kTableOffset = 0xF8, kEntries = 0x10000;
    const auto* peb = reinterpret_cast<const unsigned char*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const auto* table = *reinterpret_cast<const Entry* const*>(peb + kTableOffset);
    if (!table) return 0;
    unsigned long used = 0;
    for (std::size_t i = 0; i < kEntries; ++i) used += table[i].type != 0;
    return used;
}
#pragma GCC diagnostic pop

}  // namespace

ResourceCounts CountResources() {
    ResourceCounts c;
    c.handles = tess::testing::OwnHandleCount();
    c.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (c.gdiObjects == 0) c.gdiObjects = GdiObjectsInSharedTable();
    return c;
}

IDataObject* NewFileDrop(const std::vector<std::wstring>& paths) {
    DROPFILES header{};
    header.pFiles = sizeof(DROPFILES);
    header.fWide = TRUE;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    for (const std::wstring& p : paths) bytes += AsBytes(p);
    bytes.append(sizeof(wchar_t), '\0');
    return new DropData(CF_HDROP, std::move(bytes));
}

IDataObject* NewTextDrop(const std::wstring& text) { return new DropData(CF_UNICODETEXT, AsBytes(text)); }

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring ProgramFolder() {
    wchar_t buf[MAX_PATH * 2] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    std::wstring self(buf, n);
    return self.substr(0, self.rfind(L'\\'));
}

std::string ReadBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

bool IsFile(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::set<std::wstring> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder), ignored))
        if (entry.is_regular_file()) names.insert(entry.path().filename().wstring());
    return {names.begin(), names.end()};
}

ShellRecorder::ShellRecorder() : saved_(Shell()) {
    Shell().browseForFolder = [this](BROWSEINFOA* request) -> PIDLIST_ABSOLUTE {
        browses.push_back(*request);
        browseTitles.emplace_back(request->lpszTitle ? request->lpszTitle : "");
        if (chosenFolder.empty()) return nullptr;
        ++idListsHandedOut;
        // An empty item-identifier list, allocated as the shell allocates its own.
        auto* list = static_cast<PIDLIST_ABSOLUTE>(CoTaskMemAlloc(sizeof(USHORT)));
        list->mkid.cb = 0;
        return list;
    };
    Shell().getPathFromIDList = [this](PCIDLIST_ABSOLUTE list, char* path) -> BOOL {
        if (!list || pathConversionFails) return FALSE;
        std::strcpy(path, chosenFolder.c_str());
        return TRUE;
    };
    Shell().shellExecute = [this](HWND owner, const char* verb, const char* file, const char* parameters,
                                  const char* directory, int show) {
        executes.push_back({owner, verb ? verb : "", file ? file : "", parameters == nullptr,
                            directory == nullptr, show});
        if (onExecute) onExecute();
        return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
    };
}

ShellRecorder::~ShellRecorder() { Shell() = saved_; }

ConverterLog::ConverterLog(const std::wstring& folder) : path_(folder + L"\\convert.log") {
    DeleteFileW(path_.c_str());
    SetEnvironmentVariableW(L"TESS_FAKECONV_LOG", path_.c_str());
}

std::vector<std::string> ConverterLog::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadBytes(path_));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::wstring> ConverterLog::CommandLines() const {
    std::vector<std::wstring> commands;
    for (const std::string& line : Lines()) {
        if (line.rfind("start ", 0) != 0) continue;
        const auto space = line.find(' ', 6);
        commands.push_back(FromUtf8(line.substr(space + 1)));
    }
    return commands;
}

std::vector<std::wstring> ConverterLog::Inputs() const {
    std::vector<std::wstring> inputs;
    for (const std::wstring& c : CommandLines()) inputs.push_back(InputOf(c));
    return inputs;
}

bool ConverterLog::NeverOverlapped() const {
    int running = 0;
    for (const std::string& line : Lines()) {
        if (line.rfind("start ", 0) == 0 && ++running > 1) return false;
        if (line.rfind("end ", 0) == 0) --running;
    }
    return true;
}

FakeForm::FakeForm() {
    window_ = CreateWindowExW(0, L"STATIC", L"Tessaline", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    texts[Field::Prompt] = Form1::kPrompt;
    texts[Field::Format] = L"JPG";
    texts[Field::Quality] = L"85";
    texts[Field::ResizeSwitch] = L"NO";
    texts[Field::ResizeWidth] = L"1600";
    outputPath = L"C:\\output";
}

FakeForm::~FakeForm() {
    if (window_) DestroyWindow(window_);
}

std::wstring FakeForm::Text(Field field) const {
    const auto it = texts.find(field);
    return it == texts.end() ? std::wstring() : it->second;
}

void FakeForm::SetText(Field field, const std::wstring& text) {
    texts[field] = text;
    if (field == Field::Prompt) captions.push_back(text);
}

std::wstring FakeForm::PromptText() const { return Form1::kPrompt; }

bool FakeForm::FileExists(const std::wstring& path) const { return tess::FileExists(path); }

std::wstring FakeForm::SettingsFolder() const { return tess::SettingsFolder(); }

}  // namespace tess::testing
