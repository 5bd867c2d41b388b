// Module GetFile: the base name of a path.
#pragma once

#include <string>
#include <string_view>

namespace tess {

// The file name of a Windows path without its folder and without its last extension.
// Only "\" separates folders. "" for an empty path, and "" whenever the file name holds
// no "." at all (a path ending in "\" included). Never throws.
std::wstring GetBaseName(std::wstring_view path) noexcept;

}  // namespace tess
