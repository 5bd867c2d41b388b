// The settings file's text: four CR LF-ended lines of ANSI text holding the format word,
// the quality text, the resize switch word and the resize width text, in that order.
// Values are kept exactly as they stand: nothing is trimmed, checked or quoted.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/codepage.h"

namespace tess {

struct SettingsValues {
    std::wstring format;        // lblFormat caption
    std::wstring quality;       // Text1 text
    std::wstring resizeSwitch;  // Label5 caption
    std::wstring width;         // txtResize text
};

inline constexpr std::size_t kSettingsLineCount = 4;
inline constexpr std::wstring_view kSettingsFileName = L"\\settingheic.ini";

// The whole file: each value narrowed to the code page and followed by CR LF.
std::string FormatSettings(const SettingsValues& values, const CodePage& cp = SystemCodePage());

// The first lines of the file (at most four), each without its line end and widened from the
// code page. A line ends at CR LF, at a lone CR or at a lone LF; text after the last line end
// is a line too. A file with fewer lines gives fewer values.
std::vector<std::wstring> ParseSettingsLines(std::string_view bytes,
                                             const CodePage& cp = SystemCodePage());

// The file's path from the value of APPDATA: the value followed directly by the file name,
// with no separator check. An unset variable gives the root of the current drive.
std::wstring SettingsPathFor(std::wstring_view appData);

}  // namespace tess
