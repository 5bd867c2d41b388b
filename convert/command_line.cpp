#include "convert/command_line.h"

namespace tess {

std::wstring ReadResizeOption(std::wstring_view switchCaption, std::wstring_view widthText) {
    if (switchCaption != L"YES") return {};
    return std::wstring(L" -resize ") + std::wstring(widthText);
}

std::wstring BuildCommandLine(const CommandLineInputs& in) {
    std::wstring s;
    s.reserve(64 + in.appFolder.size() + in.inputPath.size() + in.outputFolder.size() +
              in.outputBaseName.size());
    s += in.appFolder;
    s += L"\\data\\convert.exe -quality ";
    s += in.quality;
    s += L"% ";
    s += L'"';
    s += in.inputPath;
    s += L'"';
    s += in.resize;
    s += L' ';
    s += L'"';
    s += in.outputFolder;
    s += L'\\';
    s += in.outputBaseName;
    s += L'.';
    s += in.formatWord;
    s += L'"';
    return s;
}

std::wstring ApplicationFolder(std::wstring_view modulePath) {
    const auto slash = modulePath.rfind(L'\\');
    if (slash == std::wstring_view::npos) return {};
    std::wstring folder(modulePath.substr(0, slash));
    if (!folder.empty() && folder.back() == L':') folder += L'\\';
    return folder;
}

std::wstring ProgressCaption(std::size_t index, std::size_t count) {
    return L"Converting..." + std::to_wstring(index + 1) + L"/" + std::to_wstring(count);
}

bool IsBusyCaption(std::wstring_view caption) {
    return caption.substr(0, kBusyPrefixLength) == L"Conv";
}

}  // namespace tess
