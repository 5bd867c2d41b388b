#include "app/option_controls.h"

#include <shlwapi.h>

#include <array>

#include "app/form1.h"
#include "core/codepage.h"
#include "core/shell_calls.h"
#include "core/skip_on_failure.h"

namespace tess {
namespace {

constexpr std::array<std::wstring_view, 5> kFormatCycle = {L"JPG", L"PNG", L"GIF", L"TIF", L"BMP"};
constexpr std::size_t kFolderBufferChars = 512;

}  // namespace

void ChooseOutputFolder(Form1& form) {
    BROWSEINFOA request{};
    request.hwndOwner = form.hwnd();
    request.lpszTitle = "Please select a folder:";
    request.ulFlags = BIF_RETURNONLYFSDIRS;

    UniqueIdList chosen;
    SkipOnFailure([&] { chosen.reset(Shell().browseForFolder(&request)); });

    std::wstring folder = Form1::kDefaultOutputPath;
    SkipOnFailure([&] {
        std::string buffer(kFolderBufferChars, '\0');
        if (chosen && Shell().getPathFromIDList(chosen.get(), buffer.data()))
            folder = SystemCodePage().Widen(buffer.c_str());
    });
    form.strOutputPath = folder;
    form.Command1.SetText(folder);
    form.lblPath.SetText(folder);
}

std::wstring NextFormatWord(std::wstring_view word) {
    for (std::size_t i = 0; i < kFormatCycle.size(); ++i)
        if (word == kFormatCycle[i]) return std::wstring(kFormatCycle[(i + 1) % kFormatCycle.size()]);
    return std::wstring(word);
}

void AdvanceFormat(Form1& form) { form.lblFormat.SetText(NextFormatWord(form.lblFormat.Text())); }

void ToggleResizeSwitch(Form1& form) {
    const bool on = form.Label5.Text() == L"NO";
    form.Label5.SetText(on ? L"YES" : L"NO");
    form.txtResize.SetEnabled(on);
}

void OpenProductPage() {
    SkipOnFailure([] { Shell().shellExecute(nullptr, "open", kProductPage, nullptr, nullptr, SW_SHOWNORMAL); });
}

bool FolderExists(std::wstring_view pstrFolder) {
    const std::string path = SystemCodePage().Narrow(pstrFolder);
    return PathFileExistsA(path.c_str()) == 1 && PathIsDirectoryA(path.c_str()) != 0;
}

bool FileExists(std::wstring_view pstrFile) {
    const std::string path = SystemCodePage().Narrow(pstrFile);
    return PathFileExistsA(path.c_str()) == 1 && PathIsDirectoryA(path.c_str()) == 0;
}

}  // namespace tess
