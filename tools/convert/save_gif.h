// GIF through giflib, with libimagequant choosing the 256 colours and our own
// Floyd-Steinberg diffusion (palette_map.h) on all cores; a picture with 256
// colours or fewer keeps them exactly, undithered. The pixels are converted to
// 8-bit sRGB first. Alpha becomes one transparent palette entry: pixels less
// than half opaque are transparent, the rest opaque. XMP goes into the
// "XMP DataXMP" application extension; GIF has no place for EXIF or profiles.
#pragma once

#include "tools/convert/savers.h"

namespace conv {

// libimagequant's speed (1 slowest and best .. 10 fastest) for a -quality value;
// the mapping is in save_gif.cpp.
int gifQuantiserSpeed(int quality, bool qualityGiven);

}  // namespace conv
