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

}  // namespace conv
