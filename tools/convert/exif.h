// Small EXIF (TIFF structure) helpers: the Orientation tag is all the converter
// touches; everything else is carried through byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace conv {

// Orientation (tag 0x0112 in IFD0), 1..8; 0 when absent or unreadable.
int exifOrientation(const std::vector<uint8_t>& tiff);

// Sets Orientation to `value` in place; true when the tag was present and
// rewritten. A block without the tag is left as it is (readers then assume 1).
bool setExifOrientation(std::vector<uint8_t>& tiff, int value);

// Strips a leading "Exif\0\0" so the block starts at the TIFF header; returns
// false when what remains is not a TIFF structure.
bool normaliseExif(std::vector<uint8_t>& block);

}  // namespace conv
