// Small EXIF (TIFF structure) helpers: Orientation read and reset (everything
// else in a kept block is carried through byte for byte), a fresh block for
// camera raw files, and directories copied between TIFF structures (a TIFF
// input's EXIF, a TIFF output's EXIF and GPS directories).
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

constexpr uint16_t kTagExifIfd = 34665;
constexpr uint16_t kTagGpsIfd = 34853;

// One directory of a TIFF structure, entries as found (values in the
// structure's byte order), for copying into another file.
struct TiffEntry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint8_t> value;  // count * size of type bytes
};
struct ExifParts {
    bool bigEndian = false;
    std::vector<TiffEntry> ifd0, exif, gps;
};

const TiffEntry* findEntry(const std::vector<TiffEntry>& ifd, uint16_t tag);

// Reads IFD0 and the EXIF and GPS directories of an EXIF block, or of a TIFF
// file (the same structure). Damaged parts are left out; an unreadable block
// gives empty lists. Left out of the EXIF directory: the pointer to an
// Interoperability directory, and PixelXDimension/PixelYDimension (the size of
// the picture they came with, not of the one they go with).
ExifParts parseExif(const std::vector<uint8_t>& tiff);

// Lays out one directory (entry table, next-directory 0, then values longer
// than 4 bytes) to sit at file offset `base`, in little-endian or big-endian
// order as `bigEndian` says; values are converted from the source's order.
std::vector<uint8_t> serialiseIfd(const std::vector<TiffEntry>& entries, bool srcBigEndian, bool bigEndian,
                                  uint32_t base);

// The tags of a TIFF file's main directory that describe the shot rather than
// the pixels, all ASCII: ImageDescription, Make, Model, Software, DateTime,
// Artist, Copyright.
constexpr uint16_t kShotTags[] = {270, 271, 272, 305, 306, 315, 33432};

// What becomes of a maker note when its directory moves to a new block.
enum class MakerNotes {
    AsFound,            // kept byte for byte
    // Kept only when its offsets count from the note itself (Nikon's with its
    // own TIFF header, Olympus/OM System, Fujifilm, Apple), so they stay valid
    // wherever it goes, and when the whole block still fits one JPEG APP1
    // segment. Other makers' notes point into the file they came from.
    SelfContainedOnly,
};

// Largest EXIF block a JPEG's APP1 segment holds after its "Exif\0\0".
constexpr size_t kMaxJpegExif = 65533 - 6;

// The EXIF block of a TIFF file: the shot tags of its main directory with
// Orientation 1, and its EXIF and GPS directories entry for entry (maker note
// as `notes` says), little-endian. Empty when the file has neither directory
// and no shot tag but Software.
std::vector<uint8_t> exifFromTiffFile(const std::vector<uint8_t>& file, MakerNotes notes = MakerNotes::AsFound);

// True when a maker note's value keeps its meaning wherever it is placed.
bool makerNoteSelfContained(const std::vector<uint8_t>& value);

}  // namespace conv
