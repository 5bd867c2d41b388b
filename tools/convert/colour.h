// Colour and sample-depth conversions shared by loaders and savers.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tools/convert/image.h"

namespace conv {

// Converts the pixels from img.icc to sRGB with lcms2 (perceptual intent, alpha
// carried along) and clears img.icc. Does nothing when img.icc is empty. A
// profile lcms2 cannot use is dropped and the pixels are taken as sRGB.
// Keeps the bit depth.
void toSRGB(Image& img);

// Turns Image::ycc420 into 8-bit RGB in px8 (chroma interpolated between
// sample centres); nothing when the picture holds no YCbCr planes.
void expandYcc420(Image& img);

// 16-bit to 8-bit with rounding (v * 255 + 32767) / 65535; nothing for 8-bit.
void to8Bit(Image& img);

// Drops alpha by compositing onto white (8 and 16 bit); nothing without alpha.
void flattenOnWhite(Image& img);

// The chromaticities (CIE 1931 x, y) of a set of colour primaries given by its
// CICP code point (ITU-T H.273), white point last; nothing for codes not known here.
struct Chromaticities {
    double red[2], green[2], blue[2], white[2];
};
std::optional<Chromaticities> cicpChromaticities(int primaries);

// Builds an ICC profile for a colour description given as CICP code points
// (ITU-T H.273: primaries, transfer characteristics), as HEIF's nclx boxes and
// AVIF carry them. Empty when the description is sRGB already or unknown.
std::vector<uint8_t> iccFromCicp(int primaries, int transfer);

}  // namespace conv
