// Turning pictures upright.
#pragma once

#include "tools/convert/image.h"

namespace conv {

// Applies an EXIF Orientation value (1..8) to the pixels: 2 mirror, 3 rotate 180,
// 4 flip, 5 transpose, 6 rotate 90 clockwise, 7 transverse, 8 rotate 270
// clockwise. 1, 0 and unknown values change nothing.
void applyOrientation(Image& img, int orientation);

}  // namespace conv
