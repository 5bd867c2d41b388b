#include "convert/naming.h"

#include <ctime>

namespace tess {

LocalTime LocalNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

namespace {

void AppendDigits(std::wstring& out, int value, int width) {
    std::wstring digits = std::to_wstring(value < 0 ? 0 : value);
    if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), L'0');
    out += digits;
}

}  // namespace

std::wstring TimestampName(const LocalTime& t) {
    std::wstring s;
    AppendDigits(s, t.year, 4);
    AppendDigits(s, t.month, 2);
    AppendDigits(s, t.day, 2);
    s += L'-';
    AppendDigits(s, t.hour, 2);
    AppendDigits(s, t.minute, 2);
    AppendDigits(s, t.second, 2);
    return s;
}

std::wstring CleanBaseName(std::wstring_view baseName, const CodePage& cp, const Clock& now) {
    std::wstring name = AnsiRoundTrip(baseName, cp);
    // One character after the other, over the whole name each time; the length stays.
    for (wchar_t bad : {L'/', L'\\', L'<', L'>', L'?', L'"', L':', L'*', L'|'})
        for (wchar_t& c : name)
            if (c == bad) c = L' ';
    if (name.size() > 200) name.resize(200);
    if (name.find_first_not_of(L' ') == std::wstring::npos) name = TimestampName(now());
    return name;
}

std::wstring CleanBaseName(std::wstring_view baseName) {
    return CleanBaseName(baseName, SystemCodePage(), LocalNow);
}

std::wstring ExtensionOf(std::wstring_view path) {
    const auto dot = path.rfind(L'.');
    return std::wstring(dot == std::wstring_view::npos ? path : path.substr(dot + 1));
}

bool SurvivesCodePage(std::wstring_view path, const CodePage& cp) {
    return AnsiRoundTrip(path, cp) == path;
}

namespace {

// folder\name.extension, the parts used as they stand.
std::wstring FilePath(std::wstring_view folder, std::wstring_view name, std::wstring_view extension) {
    std::wstring p(folder);
    p += L'\\';
    p += name;
    p += L'.';
    p += extension;
    return p;
}

}  // namespace

std::wstring ScratchCopyPath(std::wstring_view cleanedName, std::wstring_view extension) {
    return FilePath(kScratchFolder, cleanedName, extension);
}

std::wstring ScratchExtensionOf(std::wstring_view path) {
    const auto slash = path.rfind(L'\\');
    const auto file = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
    return file.find(L'.') == std::wstring_view::npos ? std::wstring() : ExtensionOf(path);
}

std::wstring OutputPath(std::wstring_view outputFolder, std::wstring_view baseName,
                        std::wstring_view formatWord) {
    return FilePath(outputFolder, baseName, formatWord);
}

}  // namespace tess
