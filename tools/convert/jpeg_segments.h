// What a JPEG marker segment holds, for the writers that put metadata into one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace conv {

// The most a marker segment carries after its two length bytes.
constexpr size_t kMaxSegmentPayload = 65533;

// An ICC profile as APP2 segments: "ICC_PROFILE\0", sequence number, count, then
// up to 65519 bytes of the profile each. Calls put(head, 14, data, size) once a
// segment, none when the profile would need more than 255.
template <typename Put>
void forEachIccSegment(const std::vector<uint8_t>& icc, Put put) {
    constexpr size_t chunk = kMaxSegmentPayload - 14;
    const size_t count = (icc.size() + chunk - 1) / chunk;
    if (count == 0 || count > 255) return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t head[14];
        std::memcpy(head, "ICC_PROFILE\0", 12);
        head[12] = uint8_t(i + 1);
        head[13] = uint8_t(count);
        const size_t off = i * chunk;
        put(head, size_t(14), icc.data() + off, std::min(chunk, icc.size() - off));
    }
}

}  // namespace conv
