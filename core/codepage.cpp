#include "core/codepage.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace tess {
namespace {

// Code points of bytes 0x80..0x9F in Windows-1252; 0 marks the five unused bytes.
constexpr wchar_t kHigh1252[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

class Table1252 final : public CodePage {
public:
    std::string Narrow(std::wstring_view text) const override {
        std::string out;
        out.reserve(text.size());
        for (wchar_t c : text) out.push_back(static_cast<char>(ByteFor(c)));
        return out;
    }
    std::wstring Widen(std::string_view bytes) const override {
        std::wstring out;
        out.reserve(bytes.size());
        for (unsigned char b : bytes) {
            if (b >= 0x80 && b < 0xA0)
                out.push_back(kHigh1252[b - 0x80] ? kHigh1252[b - 0x80] : static_cast<wchar_t>(b));
            else
                out.push_back(static_cast<wchar_t>(b));
        }
        return out;
    }

private:
    static unsigned char ByteFor(wchar_t c) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
        for (int i = 0; i < 32; ++i)
            if (kHigh1252[i] == c) return static_cast<unsigned char>(0x80 + i);
        return '?';
    }
};

#ifdef _WIN32
class SystemAnsi final : public CodePage {
public:
    std::string Narrow(std::wstring_view text) const override {
        if (text.empty()) return {};
        const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0, nullptr, nullptr);
        std::string out(n > 0 ? n : 0, '\0');
        if (n > 0)
            WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                                nullptr, nullptr);
        return out;
    }
    std::wstring Widen(std::string_view bytes) const override {
        if (bytes.empty()) return {};
        const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                          nullptr, 0);
        std::wstring out(n > 0 ? n : 0, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
        return out;
    }
};
#endif

}  // namespace

const CodePage& Windows1252() {
    static const Table1252 cp;
    return cp;
}

const CodePage& SystemCodePage() {
#ifdef _WIN32
    static const SystemAnsi cp;
    return cp;
#else
    return Windows1252();
#endif
}

}  // namespace tess
