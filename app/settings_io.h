// Reading and writing the settings file on disk; the text itself is settings_file.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/settings_file.h"

namespace tess {

// APPDATA + "\settingheic.ini", read from this process's environment now.
std::wstring SettingsPath();
// The folder of SettingsPath(): the path without its file name.
std::wstring SettingsFolder();

// The first lines of the file (at most four); nothing when no file exists at `path` or it
// cannot be read. Reading stops after a generous size limit, so a huge file cannot exhaust
// memory; its first lines are still returned.
std::optional<std::vector<std::wstring>> ReadSettingsFile(const std::wstring& path);

// Creates or truncates the file and writes the four lines. False when it could not be written.
bool WriteSettingsFile(const std::wstring& path, const SettingsValues& values);

}  // namespace tess
