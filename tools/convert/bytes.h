// Numbers stored byte by byte in the formats we read and write: big- and
// little-endian 16- and 32-bit fields, read from memory, written in place, or
// appended to a buffer. The caller has checked that the bytes are there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace conv {

inline uint16_t be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint16_t le16(const uint8_t* p) { return uint16_t(p[1] << 8 | p[0]); }
inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
// A big-endian field of n bytes (at most 8).
inline uint64_t beN(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// In the byte order a TIFF structure declares ("MM" big, "II" little).
inline uint16_t read16(const uint8_t* p, bool bigEndian) { return bigEndian ? be16(p) : le16(p); }
inline uint32_t read32(const uint8_t* p, bool bigEndian) { return bigEndian ? be32(p) : le32(p); }
inline void write16(uint8_t* p, uint16_t v, bool bigEndian) {
    p[0] = uint8_t(bigEndian ? v >> 8 : v);
    p[1] = uint8_t(bigEndian ? v : v >> 8);
}
inline void write32(uint8_t* p, uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (bigEndian ? 24 - 8 * i : 8 * i));
}

inline void appendBe16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}
inline void appendBe32(std::vector<uint8_t>& v, uint32_t x) {
    appendBe16(v, x >> 16);
    appendBe16(v, x & 0xFFFF);
}
inline void appendLe16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void appendLe32(std::vector<uint8_t>& v, uint32_t x) {
    appendLe16(v, x & 0xFFFF);
    appendLe16(v, x >> 16);
}

// A box or chunk type as its four characters read big-endian: fourcc("ftyp").
constexpr uint32_t fourcc(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
           uint8_t(s[3]);
}

}  // namespace conv
