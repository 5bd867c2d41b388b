// The ANSI code page seam: window-independent code narrows and widens text through it,
// so that it behaves on Windows exactly as the system's ANSI entry points do and can
// still be tested natively.
#pragma once

#include <string>
#include <string_view>

namespace tess {

class CodePage {
public:
    virtual ~CodePage() = default;
    // Wide text to bytes of the code page; characters it cannot hold become the code
    // page's default character (or a best-fit look-alike, as the system does).
    virtual std::string Narrow(std::wstring_view text) const = 0;
    // Bytes of the code page back to wide text.
    virtual std::wstring Widen(std::string_view bytes) const = 0;
};

// Windows-1252, the Western code page; built into every build for tests.
const CodePage& Windows1252();

// On Windows: the system's ANSI code page (CP_ACP). Elsewhere: Windows-1252.
const CodePage& SystemCodePage();

// Wide text through the code page and back: what survives the ANSI entry points.
inline std::wstring AnsiRoundTrip(std::wstring_view text, const CodePage& cp = SystemCodePage()) {
    return cp.Widen(cp.Narrow(text));
}

}  // namespace tess
