// What an HEVC sequence parameter set says about the decoded samples, read
// without decoding: size, chroma format, bit depths and the VUI's range and
// matrix. Enough to choose how a picture is decoded before decoding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace conv {

struct HevcSampleFormat {
    uint32_t width = 0, height = 0;  // coded size less the conformance window
    int chromaFormat = 1;            // 0 monochrome, 1 4:2:0, 2 4:2:2, 3 4:4:4
    int lumaBits = 8, chromaBits = 8;
    // The VUI's video signal type; absent, the stream is limited range with an
    // unspecified matrix (2).
    bool fullRange = false;
    int matrix = 2;
    int primaries = 2, transfer = 2;
};

// Parses one SPS NAL unit (two-byte NAL header first, emulation prevention
// bytes still in). Nothing when it is not an SPS or is cut short.
std::optional<HevcSampleFormat> readHevcSps(const uint8_t* nal, size_t size);

}  // namespace conv
