// Where the running program lies.
#pragma once

#include <string>

namespace tess {

// The full path of the running program's file, whatever its length; "" when it cannot
// be had.
std::wstring ModulePath();

}  // namespace tess
