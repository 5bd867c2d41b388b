#include "convert/get_file.h"

namespace tess {

std::wstring GetBaseName(std::wstring_view path) noexcept {
    try {
        if (path.empty()) return {};
        const auto slash = path.rfind(L'\\');
        const std::wstring_view file = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
        const auto dot = file.rfind(L'.');
        if (dot == std::wstring_view::npos) return {};
        return std::wstring(file.substr(0, dot));
    } catch (...) {
        return {};
    }
}

}  // namespace tess
