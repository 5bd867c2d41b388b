// Shared by the fuzz targets: the input split into the pieces a target needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace fuzz {

// Takes bytes off the front of the input; past the end everything is zero/empty.
class Bytes {
public:
    Bytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    uint8_t byte() { return n_ ? (--n_, *p_++) : 0; }
    uint32_t u32() { return uint32_t(byte()) | uint32_t(byte()) << 8 | uint32_t(byte()) << 16 | uint32_t(byte()) << 24; }
    // Up to the next NUL byte (or the end), the NUL dropped.
    std::string text() {
        std::string s;
        while (n_) {
            char c = char(byte());
            if (c == '\0') break;
            s.push_back(c);
        }
        return s;
    }
    // UTF-16 little-endian code units up to a 0 unit.
    std::wstring wide() {
        std::wstring s;
        while (n_ >= 2) {
            wchar_t c = wchar_t(byte() | byte() << 8);
            if (c == 0) break;
            s.push_back(c);
        }
        return s;
    }
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> v(p_, p_ + n_);
        p_ += n_;
        n_ = 0;
        return v;
    }
    bool empty() const { return n_ == 0; }

private:
    const uint8_t* p_;
    size_t n_;
};

// A property of the code that must hold for every input: stops the fuzzer with a finding.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            __builtin_trap();                                                         \
        }                                                                             \
    } while (0)

}  // namespace fuzz
