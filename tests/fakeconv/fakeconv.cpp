// A stand-in for the converter, for tests of the window program under Wine. It takes
// the converter's command line
//
//   <folder>\data\convert.exe -quality Q% "IN" [-resize W] "OUT"
//
// and writes OUT as a copy of IN followed by a line "#convert <its command line>". Like the
// real converter it writes a new file beside OUT, gives it IN's modification time and
// renames it into place.
// Markers in the input's file name or in its first 64 KB change what it does:
//   FAIL       exit 2 with a message on stderr, no output
//   NOOUT      exit 0 without writing anything
//   MUTE       say nothing on stderr when failing
//   SLOW<ms>   take that many milliseconds first
//   CRASH      end by an access violation that nothing handles, no output
// Every call is logged to the file named by TESS_FAKECONV_LOG, or convert.log beside
// the program, as two UTF-8 lines: "start <pid> <command line>" and "end <pid> <code>".
#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include "core/scoped_win.h"
#include "tests/support/utf8.h"

using tess::UniqueHandle;
using tess::testing::Utf8;

namespace {

// Messages go out in the ANSI code page, as a console program's do.
void Say(const std::wstring& text) {
    std::wstring line = text + L"\r\n";
    const int n = WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::wstring LogPath() {
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetEnvironmentVariableW(L"TESS_FAKECONV_LOG", buf, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) return std::wstring(buf, n);
    const DWORD m = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
    std::wstring self(buf, m);
    return self.substr(0, self.rfind(L'\\') + 1) + L"convert.log";
}

void Log(const std::string& line) {
    UniqueHandle f(CreateFileW(LogPath().c_str(), FILE_APPEND_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(f.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

struct Arguments {
    std::wstring quality, input, resize, output;
};

// Splits after " -quality ": a token in double quotes runs to the next double quote
// (nothing is escaped), any other token to the next space.
bool Parse(const std::wstring& commandLine, Arguments& args) {
    const auto at = commandLine.find(L" -quality ");
    if (at == std::wstring::npos) return false;
    std::vector<std::pair<std::wstring, bool>> tokens;  // text, quoted
    std::size_t i = at + 10;
    while (i < commandLine.size()) {
        if (commandLine[i] == L' ') {
            ++i;
        } else if (commandLine[i] == L'"') {
            const auto end = commandLine.find(L'"', i + 1);
            if (end == std::wstring::npos) return false;
            tokens.emplace_back(commandLine.substr(i + 1, end - i - 1), true);
            i = end + 1;
        } else {
            auto end = commandLine.find(L' ', i);
            if (end == std::wstring::npos) end = commandLine.size();
            tokens.emplace_back(commandLine.substr(i, end - i), false);
            i = end;
        }
    }
    if (tokens.size() == 3) {
        if (!tokens[1].second || !tokens[2].second) return false;
    } else if (tokens.size() == 5) {
        if (!tokens[1].second || tokens[2].first != L"-resize" || tokens[3].second ||
            !tokens[4].second)
            return false;
        args.resize = tokens[3].first;
    } else {
        return false;
    }
    args.quality = tokens[0].first;
    if (args.quality.empty() || args.quality.back() != L'%' || tokens[0].second) return false;
    args.input = tokens[1].first;
    args.output = tokens.back().first;
    return true;
}

bool ReadAll(const std::wstring& path, std::string& bytes) {
    UniqueHandle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) bytes.append(buf, got);
    return true;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    UniqueHandle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD written = 0;
    return WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Gives `to` the last-write time of `from`.
bool CopyWriteTime(const std::wstring& from, const std::wstring& to) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(from.c_str(), GetFileExInfoStandard, &data)) return false;
    UniqueHandle f(CreateFileW(to.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    return f && SetFileTime(f.get(), nullptr, nullptr, &data.ftLastWriteTime);
}

struct Markers {
    bool fail = false, noOutput = false, mute = false, crash = false;
    DWORD slowMs = 0;
};

Markers FindMarkers(const std::string& text) {
    Markers m;
    m.fail = text.find("FAIL") != std::string::npos;
    m.noOutput = text.find("NOOUT") != std::string::npos;
    m.mute = text.find("MUTE") != std::string::npos;
    m.crash = text.find("CRASH") != std::string::npos;
    const auto slow = text.find("SLOW");
    if (slow != std::string::npos)
        for (std::size_t i = slow + 4; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            m.slowMs = m.slowMs * 10 + static_cast<DWORD>(text[i] - '0');
    return m;
}

int Convert(const std::wstring& commandLine) {
    Arguments args;
    if (!Parse(commandLine, args)) {
        Say(L"convert: usage: convert -quality Q% \"IN\" [-resize W] \"OUT\"");
        return 1;
    }
    std::string photo;
    if (!ReadAll(args.input, photo)) {
        Say(L"convert: unable to open image '" + args.input + L"'");
        return 1;
    }
    const std::wstring name = args.input.substr(args.input.rfind(L'\\') + 1);
    const Markers m = FindMarkers(Utf8(name) + "\n" + photo.substr(0, 65536));
    if (m.slowMs) Sleep(m.slowMs);
    if (m.crash) RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    if (m.fail) {
        if (!m.mute) Say(L"convert: " + name + L": the photo is marked to fail");
        return 2;
    }
    if (m.noOutput) return 0;
    const std::wstring partial = args.output + L".partial";
    if (!WriteAll(partial, photo + "\n#convert " + Utf8(commandLine) + "\n") ||
        !CopyWriteTime(args.input, partial) ||
        !MoveFileExW(partial.c_str(), args.output.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(partial.c_str());
        if (!m.mute) Say(L"convert: unable to write '" + args.output + L"'");
        return 1;
    }
    return 0;
}

}  // namespace

int main() {
    const std::wstring commandLine = GetCommandLineW();
    const std::string pid = std::to_string(GetCurrentProcessId());
    Log("start " + pid + " " + Utf8(commandLine));
    const int code = Convert(commandLine);
    Log("end " + pid + " " + std::to_string(code));
    return code;
}
