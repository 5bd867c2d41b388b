// What the test child writes for "out N": N bytes of a fixed printable pattern, the
// same in every code page, so that a test can rebuild the expected text.
#pragma once

#include <cstddef>
#include <string>

namespace tess::testing {

inline char PatternByte(std::size_t i) {
    static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return kAlphabet[i % (sizeof kAlphabet - 1)];
}

inline std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = PatternByte(i);
    return s;
}

}  // namespace tess::testing
