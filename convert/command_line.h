// The converter's command line and the texts around one converter run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tess {

// The image name of the converter process; the runner waits until none is left.
inline constexpr std::wstring_view kConverterProcessName = L"convert.exe";

// The resize fragment: " -resize " + width when the switch caption is exactly "YES"
// (letter case counts), otherwise "". The width text is used as it stands.
std::wstring ReadResizeOption(std::wstring_view switchCaption, std::wstring_view widthText);

// Everything one command line is made of; the texts are used exactly as they stand.
struct CommandLineInputs {
    std::wstring_view appFolder;       // no trailing backslash except at a drive root
    std::wstring_view quality;         // text of the quality box
    std::wstring_view inputPath;
    std::wstring_view resize;          // ReadResizeOption's fragment, possibly ""
    std::wstring_view outputFolder;    // used unchanged
    std::wstring_view outputBaseName;
    std::wstring_view formatWord;      // JPG, PNG, GIF, TIF or BMP
};

// appFolder\data\convert.exe -quality Q% "IN"[ -resize W] "OUTFOLDER\BASE.FMT"
// The converter path is not quoted; the two file paths are; nothing is escaped.
std::wstring BuildCommandLine(const CommandLineInputs& in);

// The folder of the program file: the module path without its last "\" and file name,
// keeping the backslash of a drive root (C:\app.exe gives C:\).
std::wstring ApplicationFolder(std::wstring_view modulePath);

// "Converting..." + (index + 1) + "/" + count, e.g. Converting...1/3.
std::wstring ProgressCaption(std::size_t index, std::size_t count);

// While a batch converts, the prompt's caption begins with "Conv": so many characters of
// the caption are enough to tell.
inline constexpr int kBusyPrefixLength = 4;
bool IsBusyCaption(std::wstring_view caption);

}  // namespace tess
