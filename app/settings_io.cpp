#include "app/settings_io.h"

#include <windows.h>

#include "core/scoped_win.h"

namespace tess {
namespace {

constexpr DWORD kChunk = 64 * 1024;
constexpr std::size_t kReadLimit = 64u * 1024 * 1024;

}  // namespace

std::wstring SettingsPath() {
    std::wstring value;
    const DWORD needed = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (needed > 0) {
        value.resize(needed);
        const DWORD got = GetEnvironmentVariableW(L"APPDATA", value.data(), needed);
        value.resize(got < needed ? got : 0);
    }
    return SettingsPathFor(value);
}

std::wstring SettingsFolder() {
    const std::wstring path = SettingsPath();
    return path.substr(0, path.size() - kSettingsFileName.size());
}

std::optional<std::vector<std::wstring>> ReadSettingsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::nullopt;
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string bytes;
    while (bytes.size() < kReadLimit) {
        const std::size_t at = bytes.size();
        bytes.resize(at + kChunk);
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + at, kChunk, &got, nullptr)) {
            bytes.resize(at);
            break;
        }
        bytes.resize(at + got);
        if (got == 0) break;
    }
    return ParseSettingsLines(bytes);
}

bool WriteSettingsFile(const std::wstring& path, const SettingsValues& values) {
    const std::string text = FormatSettings(values);
    const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

}  // namespace tess
