// JPEG marker segments: the one walk every reader of a JPEG's metadata makes, and
// what a segment holds, for the writers that put metadata into one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace conv {

// Calls segment(marker, payload, size) for each marker segment of the JPEG at
// `jpeg` (SOI first) up to its first scan, in file order, as long as it returns
// true. Stops at the first segment that does not fit in `size`.
template <typename Segment>
void forEachJpegSegment(const uint8_t* jpeg, size_t size, Segment segment) {
    if (size < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return;
    size_t i = 2;
    while (i + 4 <= size) {
        if (jpeg[i] != 0xFF) return;
        const uint8_t m = jpeg[i + 1];
        if (m == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) {
            i += 2;
            continue;
        }
        if (m == 0xDA || m == 0xD9 || m == 0xD8) return;  // a scan, the end, another picture
        const size_t len = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
        if (len < 2 || i + 2 + len > size) return;
        if (!segment(m, jpeg + i + 4, len - 2)) return;
        i += 2 + len;
    }
}

// The most a marker segment carries after its two length bytes.
constexpr size_t kMaxSegmentPayload = 65533;

// The namespace that starts an APP1 XMP segment, written with its NUL.
constexpr char kJpegXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";

// True when a segment (marker, payload, size) is an XMP packet, which then starts
// sizeof kJpegXmpNamespace bytes into the payload.
inline bool isXmpSegment(uint8_t marker, const uint8_t* payload, size_t size) {
    return marker == 0xE1 && size > sizeof kJpegXmpNamespace &&
           std::memcmp(payload, kJpegXmpNamespace, sizeof kJpegXmpNamespace) == 0;
}

// Appends one marker segment: FF, marker, length, `head` (a namespace, say), then
// `body`. False, having appended nothing, when the two would not fit in a segment.
inline bool appendJpegSegment(std::vector<uint8_t>& v, uint8_t marker, const void* head, size_t headLen,
                              const void* body, size_t bodyLen) {
    if (headLen + bodyLen > kMaxSegmentPayload) return false;
    const size_t len = 2 + headLen + bodyLen;
    v.insert(v.end(), {0xFF, marker, uint8_t(len >> 8), uint8_t(len)});
    const uint8_t* h = static_cast<const uint8_t*>(head);
    const uint8_t* b = static_cast<const uint8_t*>(body);
    v.insert(v.end(), h, h + headLen);
    v.insert(v.end(), b, b + bodyLen);
    return true;
}

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

// Appends an ICC profile as its APP2 segments (nothing when it needs more than 255).
inline void appendJpegIcc(std::vector<uint8_t>& v, const std::vector<uint8_t>& icc) {
    forEachIccSegment(icc, [&](const uint8_t* head, size_t headLen, const uint8_t* data, size_t len) {
        appendJpegSegment(v, 0xE2, head, headLen, data, len);
    });
}

}  // namespace conv
