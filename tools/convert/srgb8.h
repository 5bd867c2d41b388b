// For formats that carry no colour profile and only 8 bits: the picture in
// 8-bit sRGB, copied only when it is not that already.
#pragma once

#include "tools/convert/colour.h"
#include "tools/convert/image.h"

namespace conv {

// Returns img itself when it is 8-bit without a profile, else `scratch` filled
// with a converted copy (profile conversion at the source depth first, then
// rounding to 8 bits). Metadata is not copied.
inline const Image& srgb8(const Image& img, Image& scratch) {
    if (img.bits == 8 && img.icc.empty()) return img;
    scratch.width = img.width;
    scratch.height = img.height;
    scratch.channels = img.channels;
    scratch.bits = img.bits;
    scratch.px8 = img.px8;
    scratch.px16 = img.px16;
    scratch.icc = img.icc;
    toSRGB(scratch);
    to8Bit(scratch);
    return scratch;
}

}  // namespace conv
