#include "dialogs/common_dlgs_w.h"

#include "runner/runtime_error.h"

#include <algorithm>

namespace tess {

namespace {

constexpr std::int32_t kLightGrey = 12632256;  // RGB(192, 192, 192)

// Text up to its first NUL, or all of it when there is none.
std::wstring UpToFirstNul(const std::wstring& text) {
    return text.substr(0, text.find(L'\0'));
}

constexpr wchar_t kSource[] = L"CommonDlgsW";

// `text` followed by NULs up to `chars` characters in all.
std::wstring Padded(const std::wstring& text, std::size_t chars, const wchar_t* what) {
    if (text.size() > chars) {
        throw RuntimeError{kErrInvalidCall, kSource,
                           std::wstring(what) + L" is longer than " + std::to_wstring(chars) + L" characters"};
    }
    std::wstring buffer = text;
    buffer.resize(chars, L'\0');
    return buffer;
}

}  // namespace

DialogCalls DialogCalls::System() {
    return DialogCalls{
        [](OPENFILENAMEW* record) { return GetOpenFileNameW(record); },
        [](OPENFILENAMEW* record) { return GetSaveFileNameW(record); },
        [](CHOOSECOLORW* record) { return ChooseColorW(record); },
    };
}

CommonDlgsW::CommonDlgsW(DialogCalls calls) : calls_(std::move(calls)) {
    SetColor(kLightGrey);
    Filter_ = L"All files (*.*)|*.*";
    FilterIndex_ = 1;
    MaxFileSize_ = static_cast<std::int32_t>(kBufferChars);
}

void CommonDlgsW::SetColor(std::int32_t RHS) {
    if (RHS < 0) {
        Color_ = static_cast<std::int32_t>(GetSysColor(RHS & 0xFFFF));
    } else {
        Color_ = RHS;
    }
}

bool CommonDlgsW::ShowColor(HWND hWnd) {
    colorRecord_ = CHOOSECOLORW{};
    colorRecord_.lStructSize = sizeof(CHOOSECOLORW);
    colorRecord_.hwndOwner = hWnd;
    colorRecord_.Flags = kColorDialogFlags;
    colorRecord_.lpCustColors = CustomColors_;
    colorRecord_.rgbResult = static_cast<COLORREF>(Color_);
    if (!calls_.chooseColor(&colorRecord_)) return false;
    Color_ = static_cast<std::int32_t>(colorRecord_.rgbResult);
    return true;
}

bool CommonDlgsW::ShowOpen(HWND winHwnd) {
    return ShowFileDialog(winHwnd, calls_.getOpenFileName);
}

bool CommonDlgsW::ShowSave(HWND hWnd) {
    return ShowFileDialog(hWnd, calls_.getSaveFileName);
}

bool CommonDlgsW::ShowFileDialog(HWND owner, const std::function<BOOL(OPENFILENAMEW*)>& call) {
    PrepareFileDialog(owner);
    if (!call(&fileRecord_)) return false;
    ReadFileDialog();
    return true;
}

void CommonDlgsW::PrepareFileDialog(HWND owner) {
    // A MaxFileSize above the usual 256 gets a buffer of that many characters, so the
    // dialog never writes past what it was told it has; a negative one would tell it of
    // four billion.
    if (MaxFileSize_ < 0) throw RuntimeError{kErrInvalidCall, kSource, L"MaxFileSize is negative"};
    const std::size_t fileChars =
        std::max(kBufferChars, static_cast<std::size_t>(MaxFileSize_));
    // Both checks come first, so that a refused call leaves the previous record alone.
    std::wstring file = Padded(FileName_, fileChars, L"FileName");
    std::wstring initDir = Padded(InitDir_, kBufferChars, L"InitDir");

    filterText_ = Filter_;
    std::replace(filterText_.begin(), filterText_.end(), L'|', L'\0');
    filterText_.push_back(L'\0');  // the string's own terminator makes the second NUL
    fileBuffer_ = std::move(file);
    fileTitleBuffer_.assign(kBufferChars, L'\0');
    initDirBuffer_ = std::move(initDir);
    titleText_ = DialogTitle_;
    defaultExtText_ = DefaultExt_;

    fileRecord_.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    fileRecord_.hwndOwner = owner;
    fileRecord_.lpstrFilter = filterText_.c_str();
    fileRecord_.lpstrCustomFilter = nullptr;
    fileRecord_.nFilterIndex = static_cast<DWORD>(FilterIndex_);
    fileRecord_.lpstrFile = fileBuffer_.data();
    fileRecord_.nMaxFile = static_cast<DWORD>(MaxFileSize_);
    fileRecord_.lpstrFileTitle = fileTitleBuffer_.data();
    fileRecord_.nMaxFileTitle = static_cast<DWORD>(kBufferChars);
    fileRecord_.lpstrInitialDir = initDirBuffer_.c_str();
    fileRecord_.lpstrTitle = titleText_.empty() ? nullptr : titleText_.c_str();
    fileRecord_.Flags = Flags_;
    fileRecord_.lpstrDefExt = defaultExtText_.empty() ? nullptr : defaultExtText_.c_str();
    fileRecord_.lpTemplateName = nullptr;
}

void CommonDlgsW::ReadFileDialog() {
    FileName_ = fileBuffer_;
    FileTitle_.clear();
    // With multi-selection the dialog wrote the folder and the names separated by NULs:
    // FileName keeps the whole buffer and the caller splits it.
    if (!(Flags_ & kAllowMultiSelect)) {
        FileName_ = UpToFirstNul(FileName_);
        if (!(Flags_ & kNoValidate)) {
            FileTitle_ = UpToFirstNul(fileTitleBuffer_);
            Title_ = FileTitle_;
        }
    }
    Flags_ = fileRecord_.Flags;
}

}  // namespace tess
