// Where the end-to-end tests find their photos, as Windows paths (the build tree is on
// Wine's drive Z:).
#pragma once

#include <string>

namespace tess::e2e {

// A photo made by make-photos.
std::wstring Photo(const std::wstring& name);
// The native converter's JPG of the photo with this base name (made by make-references).
std::wstring Reference(const std::wstring& baseName);
// A real phone photo in the shared samples folder (which may be missing).
std::wstring Sample(const std::wstring& name);
std::wstring DisplayP3Profile();
// The Windows spelling of a Linux path: "/a/b" -> "Z:\a\b".
std::wstring FromLinuxPath(const std::string& utf8Path);

}  // namespace tess::e2e
