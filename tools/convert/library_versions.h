// The versions of the imaging libraries linked into the converter, as they report
// themselves at run time.
#pragma once

#include <string>

namespace conv {

// One "name version" line per library, each ended by a newline.
std::string libraryVersions();

}  // namespace conv
