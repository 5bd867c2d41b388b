// The pieces of the HEIF container that our own readers share: the box walk,
// and turning a plane as an 'irot' or 'imir' property says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/convert/bytes.h"

namespace conv {

struct Box {
    uint32_t type = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
};

// Calls f(box) for each box in [p, p + n), in order; false at the first one
// that does not fit (those before it have been seen).
template <typename F>
bool forEachBox(const uint8_t* p, size_t n, const F& f) {
    while (n > 0) {
        if (n < 8) return false;
        uint64_t size = be32(p);
        size_t header = 8;
        if (size == 1) {  // a 64-bit size follows the type
            if (n < 16) return false;
            size = beN(p + 8, 8);
            header = 16;
        } else if (size == 0) {  // to the end of the enclosing data
            size = n;
        }
        if (size < header || size > n) return false;
        f(Box{be32(p + 4), p + header, size_t(size) - header});
        p += size;
        n -= size_t(size);
    }
    return true;
}

// The boxes in [p, p + n). False when one of them does not fit.
inline bool readBoxes(const uint8_t* p, size_t n, std::vector<Box>& out) {
    return forEachBox(p, n, [&out](const Box& b) { out.push_back(b); });
}

// An item's rotation ('irot', quarter turns anticlockwise) or mirroring
// ('imir', 0 exchanging top and bottom, 1 left and right).
struct HeifTurn {
    bool mirror = false;
    int value = 0;
};

// One plane of w x h bytes turned into dst (h x w when the turn swaps the sides).
void turnPlane(const uint8_t* src, size_t w, size_t h, const HeifTurn& turn, uint8_t* dst);

}  // namespace conv
