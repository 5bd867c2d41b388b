// BMP, written by us: what Windows' own programs read.
//   - without alpha: BITMAPINFOHEADER, 24 bits BGR;
//   - with alpha: BITMAPV5HEADER, 32 bits BGRA with explicit channel masks
//     (BI_BITFIELDS) and straight (not premultiplied) alpha, colour space sRGB.
// Rows bottom-up, each padded to a multiple of 4 bytes; 72 dpi. Pixels are
// converted to 8-bit sRGB first (BMP carries neither profile nor EXIF).
#pragma once

#include <cstdint>
#include <vector>

#include "tools/convert/savers.h"

namespace conv {

// The file header and info header for a picture of that size; throws
// ConvertError{kExitInput} naming `out` when the file would pass 4 GB.
std::vector<uint8_t> bmpHeaders(uint32_t width, uint32_t height, bool alpha, const OutFile& out);

}  // namespace conv
