#include "tests/e2e/e2e_paths.h"

#include <windows.h>

#include "tests/support/utf8.h"

namespace tess::e2e {

std::wstring FromLinuxPath(const std::string& utf8Path) {
    std::wstring path = testing::FromUtf8(utf8Path);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

std::wstring Photo(const std::wstring& name) { return FromLinuxPath(E2E_PHOTOS) + L"\\" + name; }
std::wstring Reference(const std::wstring& baseName) {
    return FromLinuxPath(E2E_REFERENCES) + L"\\" + baseName + L".JPG";
}
std::wstring Sample(const std::wstring& name) { return FromLinuxPath(E2E_SAMPLES) + L"\\" + name; }
std::wstring DisplayP3Profile() { return FromLinuxPath(DISPLAY_P3_ICC); }

}  // namespace tess::e2e
