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

#include <string>

namespace conv {

// What a camera raw file tells about the shot, for a fresh EXIF block.
struct ShotInfo {
    std::string make, model;
    std::string dateTime;       // "YYYY:MM:DD HH:MM:SS", empty when unknown
    double exposureTime = 0;    // seconds
    double fNumber = 0;
    double iso = 0;
    double focalLength = 0;     // mm
    bool hasGps = false;
    double latitude[3] = {0, 0, 0}, longitude[3] = {0, 0, 0};  // degrees, minutes, seconds
    char latRef = 'N', lonRef = 'E';
    double altitude = 0;
    bool belowSeaLevel = false;
};

// A little-endian TIFF structure with IFD0 (Make, Model, Orientation 1,
// DateTime), the EXIF IFD and, when known, the GPS IFD.
std::vector<uint8_t> buildExif(const ShotInfo& s);

}  // namespace conv
