// TIFF through libtiff: RGB or RGBA (alpha as an unassociated extra sample),
// 8 or 16 bits, one picture, strips compressed with Deflate after horizontal
// differencing (the predictor), top row first, Orientation 1. The ICC profile
// goes into the ICC tag, XMP into the XMLPacket tag, and EXIF is carried over
// as TIFF itself defines it: Make, Model, DateTime, ImageDescription, Artist,
// Copyright and Software in the main directory, the EXIF directory (date
// taken, exposure, lens, maker note, ...) and the GPS directory copied entry
// for entry. Left out: the EXIF directory's pointer to an Interoperability
// directory, and PixelXDimension/PixelYDimension (for compressed formats only).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/convert/savers.h"

namespace conv {

// How hard Deflate works for a -quality value (the file is lossless at every
// setting); the mapping is in save_tiff.cpp.
struct TiffEffort {
    int zlibLevel;     // 1..9
    int zlibStrategy;  // Z_RLE, Z_FILTERED or Z_DEFAULT_STRATEGY
};
TiffEffort tiffEffort(int quality, bool qualityGiven);

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

// Reads IFD0 and the EXIF and GPS directories of an EXIF block. Damaged parts
// are left out; an unreadable block gives empty lists.
ExifParts parseExif(const std::vector<uint8_t>& tiff);

// Lays out one directory (entry table, next-directory 0, then values longer
// than 4 bytes) to sit at file offset `base`, in little-endian or big-endian
// order as `bigEndian` says; values are converted from the source's order.
std::vector<uint8_t> serialiseIfd(const std::vector<TiffEntry>& entries, bool srcBigEndian, bool bigEndian,
                                  uint32_t base);

}  // namespace conv
