// The program's name, as its window, its message boxes and its errors show it.
#pragma once

namespace tess {

inline constexpr wchar_t kProgramTitle[] = L"Tessaline";

}  // namespace tess
