// The open, save and colour dialogs through their wide-character entry points, so that
// paths outside the ANSI code page travel intact. The caller sets the public fields,
// calls a Show operation and reads the fields back.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tess {

// The three system calls, replaceable so that the records handed to them can be examined.
struct DialogCalls {
    std::function<BOOL(OPENFILENAMEW*)> getOpenFileName;
    std::function<BOOL(OPENFILENAMEW*)> getSaveFileName;
    std::function<BOOL(CHOOSECOLORW*)> chooseColor;

    // GetOpenFileNameW, GetSaveFileNameW and ChooseColorW of comdlg32.
    static DialogCalls System();
};

class CommonDlgsW {
public:
    static constexpr std::uint32_t kAllowMultiSelect = OFN_ALLOWMULTISELECT;
    static constexpr std::uint32_t kNoValidate = OFN_NOVALIDATE;
    // Texts the dialog record's buffers are padded to.
    static constexpr std::size_t kBufferChars = 256;
    static constexpr DWORD kColorDialogFlags = CC_RGBINIT | CC_FULLOPEN | CC_ANYCOLOR;

    explicit CommonDlgsW(DialogCalls calls = DialogCalls::System());
    // The record points into this object's own texts.
    CommonDlgsW(const CommonDlgsW&) = delete;
    CommonDlgsW& operator=(const CommonDlgsW&) = delete;

    std::uint32_t Flags() const { return Flags_; }
    void SetFlags(std::uint32_t value) { Flags_ = value; }
    const std::wstring& DefaultExt() const { return DefaultExt_; }
    void SetDefaultExt(std::wstring value) { DefaultExt_ = std::move(value); }
    const std::wstring& DialogTitle() const { return DialogTitle_; }
    void SetDialogTitle(std::wstring value) { DialogTitle_ = std::move(value); }
    const std::wstring& Title() const { return Title_; }
    void SetTitle(std::wstring value) { Title_ = std::move(value); }
    const std::wstring& FileName() const { return FileName_; }
    void SetFileName(std::wstring value) { FileName_ = std::move(value); }
    const std::wstring& FileTitle() const { return FileTitle_; }
    void SetFileTitle(std::wstring value) { FileTitle_ = std::move(value); }
    const std::wstring& Filter() const { return Filter_; }
    void SetFilter(std::wstring value) { Filter_ = std::move(value); }
    std::int32_t FilterIndex() const { return FilterIndex_; }
    void SetFilterIndex(std::int32_t value) { FilterIndex_ = value; }
    const std::wstring& InitDir() const { return InitDir_; }
    void SetInitDir(std::wstring value) { InitDir_ = std::move(value); }
    std::int32_t MaxFileSize() const { return MaxFileSize_; }
    void SetMaxFileSize(std::int32_t value) { MaxFileSize_ = value; }

    // A COLORREF. Setting a negative value stores the current RGB of the system colour
    // whose index is in the low 16 bits.
    std::int32_t Color() const { return Color_; }
    void SetColor(std::int32_t RHS);

    // Each returns true when the user confirmed the dialog; a cancelled or failed dialog
    // changes no public field. ShowOpen and ShowSave raise an invalid-call RuntimeError,
    // before any dialog opens, when FileName or InitDir does not fit into its buffer or
    // MaxFileSize is negative.
    bool ShowColor(HWND hWnd);
    bool ShowOpen(HWND winHwnd);
    bool ShowSave(HWND hWnd);

private:
    void PrepareFileDialog(HWND owner);
    void ReadFileDialog();
    bool ShowFileDialog(HWND owner, const std::function<BOOL(OPENFILENAMEW*)>& call);

    DialogCalls calls_;

    std::uint32_t Flags_ = 0;
    std::wstring DefaultExt_;
    std::wstring DialogTitle_;
    std::wstring Title_;
    std::wstring FileName_;
    std::wstring FileTitle_;
    std::wstring Filter_;
    std::int32_t FilterIndex_ = 0;
    std::wstring InitDir_;
    std::int32_t MaxFileSize_ = 0;
    std::int32_t Color_ = 0;

    CHOOSECOLORW colorRecord_{};
    COLORREF CustomColors_[16]{};
    OPENFILENAMEW fileRecord_{};
    std::wstring filterText_;
    std::wstring fileBuffer_;
    std::wstring fileTitleBuffer_;
    std::wstring initDirBuffer_;
    std::wstring titleText_;
    std::wstring defaultExtText_;
};

}  // namespace tess
