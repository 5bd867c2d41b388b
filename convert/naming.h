// Names derived from one input path: the cleaned output base name, the extension of a
// chosen file, the scratch-copy path and the output path.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "core/codepage.h"

namespace tess {

struct LocalTime {
    int year = 0, month = 0, day = 0;       // month and day from 1
    int hour = 0, minute = 0, second = 0;   // 24-hour clock
};

// Where CleanBaseName takes "now" from; tests pass a fixed time.
using Clock = std::function<LocalTime()>;

// The computer's local date and time.
LocalTime LocalNow();

// "YYYYMMDD-HHMMSS", e.g. 20261207-175036.
std::wstring TimestampName(const LocalTime& t);

// The scratch folder for copies of photos whose path the ANSI code page cannot hold.
inline constexpr std::wstring_view kScratchFolder = L"c:\\tmp";

// A base name made safe for the converter's command line and for a file name: passed
// through the code page and back, each of / \ < > ? " : * | turned into a space, cut to
// 200 characters; a name that is blank after that becomes the timestamp of `now`.
// Not trimmed otherwise. Never "".
std::wstring CleanBaseName(std::wstring_view baseName, const CodePage& cp, const Clock& now);
// The same through the system's ANSI code page and the local clock.
std::wstring CleanBaseName(std::wstring_view baseName);

// The text after the last "." of the whole path, as it stands (C:\a\IMG.HEIC gives HEIC);
// the whole path when it holds no ".".
std::wstring ExtensionOf(std::wstring_view path);

// True when the path comes back unchanged from the code page: the converter, started
// through the ANSI entry points, can then open it where it lies.
bool SurvivesCodePage(std::wstring_view path, const CodePage& cp = SystemCodePage());

// "c:\tmp\" + name + "." + extension.
std::wstring ScratchCopyPath(std::wstring_view cleanedName, std::wstring_view extension);

// The extension a scratch copy of `path` gets: ExtensionOf(path) when the file name
// itself has a ".", otherwise none (the copy is then named "name." and Windows drops
// the trailing dot, so the copy and its base name still agree).
std::wstring ScratchExtensionOf(std::wstring_view path);

// folder + "\" + base name + "." + format word; the folder is used as it stands, so a
// drive root such as D:\ gives a doubled backslash.
std::wstring OutputPath(std::wstring_view outputFolder, std::wstring_view baseName,
                        std::wstring_view formatWord);

}  // namespace tess
