#include "convert/batch_names.h"

#include "convert/naming.h"

namespace tess {
namespace {

wchar_t FoldChar(wchar_t c) {
    if (c >= L'a' && c <= L'z') return c - 0x20;
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;           // à..þ, not ÷
    if (c == 0xFF) return 0x178;                               // ÿ -> Ÿ
    if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137)) return c & ~1;  // Ā ā ... Ķ ķ
    if (c >= 0x139 && c <= 0x148) return (c & 1) ? c : c - 1;  // Ĺ ĺ ... Ň ň
    if (c >= 0x14A && c <= 0x177) return c & ~1;               // Ŋ ŋ ... Ŷ ŷ
    if (c >= 0x179 && c <= 0x17E) return (c & 1) ? c : c - 1;  // Ź ź Ż ż Ž ž
    if (c == 0x3C2) return 0x3A3;                              // final sigma
    if (c >= 0x3B1 && c <= 0x3C9) return c - 0x20;             // Greek
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;             // Cyrillic а..я
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;             // ѐ..џ
    if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;           // full-width a..z
    return c;
}

}  // namespace

std::wstring FoldCase(std::wstring_view text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = FoldChar(c);
    return out;
}

template <typename MakePath>
ClaimedName BatchNames::Claim(std::wstring_view baseName, MakePath makePath) {
    ClaimedName name{std::wstring(baseName), makePath(baseName)};
    for (int n = 2; !taken_.insert(FoldCase(name.path)).second; ++n) {
        name.baseName = std::wstring(baseName) + L" (" + std::to_wstring(n) + L")";
        name.path = makePath(name.baseName);
    }
    return name;
}

ClaimedName BatchNames::ClaimOutput(std::wstring_view outputFolder, std::wstring_view baseName,
                                    std::wstring_view formatWord) {
    return Claim(baseName, [&](std::wstring_view base) {
        return OutputPath(outputFolder, base, formatWord);
    });
}

ClaimedName BatchNames::ClaimScratch(std::wstring_view cleanedName, std::wstring_view extension) {
    return Claim(cleanedName, [&](std::wstring_view base) {
        return ScratchCopyPath(base, extension);
    });
}

}  // namespace tess
