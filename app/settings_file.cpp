#include "app/settings_file.h"

namespace tess {

std::string FormatSettings(const SettingsValues& values, const CodePage& cp) {
    std::string out;
    for (const std::wstring* v : {&values.format, &values.quality, &values.resizeSwitch, &values.width}) {
        out += cp.Narrow(*v);
        out += "\r\n";
    }
    return out;
}

namespace {

// Finds the end of the line starting at `pos`; sets `next` to where the following line starts.
std::size_t LineEnd(std::string_view bytes, std::size_t pos, std::size_t& next) {
    const std::size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
        next = bytes.size();
        return bytes.size();
    }
    next = end + 1;
    if (bytes[end] == '\r' && next < bytes.size() && bytes[next] == '\n') ++next;
    return end;
}

}  // namespace

std::vector<std::wstring> ParseSettingsLines(std::string_view bytes, const CodePage& cp) {
    std::vector<std::wstring> lines;
    std::size_t pos = 0;
    while (pos < bytes.size() && lines.size() < kSettingsLineCount) {
        std::size_t next = 0;
        const std::size_t end = LineEnd(bytes, pos, next);
        lines.push_back(cp.Widen(bytes.substr(pos, end - pos)));
        pos = next;
    }
    return lines;
}

std::wstring SettingsPathFor(std::wstring_view appData) {
    std::wstring path(appData);
    path += kSettingsFileName;
    return path;
}

}  // namespace tess
