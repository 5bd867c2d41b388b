// HDR gain maps: beside the ordinary (SDR) picture, a one-channel map of how
// much brighter each place may be shown on a screen that can go above paper
// white. Read from a phone's HEIC or made from a Radiance picture's scene
// light; written into JPEGs by ultrahdr_jpeg.h.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tools/convert/image.h"

struct heif_image_handle;

namespace conv {

// The map as JPEG gain-map readers take it: a sample v (0..255) stands for the
// boost 2^(minLog2 + (v / 255)^(1 / gamma) * (maxLog2 - minLog2)) in linear
// light, HDR = (SDR + offsetSdr) * boost - offsetHdr; the whole boost applies
// on screens with at least 2^capacityMax of headroom, none below 2^capacityMin.
struct GainMap {
    Image map;  // 1 channel, 8 bits, any size: readers stretch it over the picture
    double minLog2 = 0, maxLog2 = 0;
    double gamma = 1;
    double offsetSdr = 0, offsetHdr = 0;
    double capacityMin = 0, capacityMax = 0;
};

// Apple's headroom (the ratio of the brightest HDR white to SDR white) from
// maker-note tags 33 and 48, as Apple's developer note gives it.
double appleHeadroom(double tag33, double tag48);

// Tags 33 and 48 of an Apple maker note in an EXIF block (a TIFF structure);
// false when the block has no Apple maker note or either tag is missing.
bool appleHeadroomTags(const std::vector<uint8_t>& exif, double& tag33, double& tag48);

// Apple's map samples (linear gain g in [0, 1] under the Rec. 709 curve) to
// ours for a headroom H: log2(1 + (H - 1) g) / log2 H, times 255.
std::array<uint8_t, 256> appleToLogTable(double headroom);

// Apple's HDR gain map of a HEIC's primary picture (`file` is the whole
// HEIC), ready to write: present, flagged by HDRGainMapVersion in its XMP,
// with both maker-note tags in the picture's EXIF and a headroom above 1. It
// is turned as the map item's own 'irot'/'imir' say, or, when it has none,
// as the primary's; then it must have the primary's proportions once turned.
// Anything else (or a map that fails to decode) gives nothing, and the
// picture goes out as it would without.
std::optional<GainMap> readAppleGainMap(heif_image_handle* primary, const uint8_t* file, size_t fileSize,
                                        const std::vector<uint8_t>& exif, uint32_t shownWidth,
                                        uint32_t shownHeight);

// The same from the HEIC's bytes, on a libheif context of its own, so that it
// can run on a thread beside the picture's decoding; null when there is none.
std::shared_ptr<GainMap> readAppleGainMapOf(const uint8_t* file, size_t fileSize, std::vector<uint8_t> exif);

// The ISO 21496-1 metadata of a map (big-endian, explicit fractions, one
// channel, applied in the picture's own colour space), as JPEGs and HEIF carry it.
std::vector<uint8_t> iso21496Metadata(const GainMap& gm);

// Reads ISO 21496-1 metadata into gm's numbers: one channel, applied to an SDR base
// picture (the only kind gm can hold). False for anything else or a damaged block.
bool readIso21496Metadata(const uint8_t* data, size_t size, GainMap& gm);

// The ISO 21496-1 gain map of a HEIF or AVIF file (the whole file): its 'tmap' item's
// metadata and the map item it derives from the primary picture, turned as the map's
// own 'irot'/'imir' say or else as the primary's, on a libheif context of its own.
// Null when there is none, or one that cannot be read (see readIso21496Metadata) or
// is not in the picture's proportions.
std::shared_ptr<GainMap> readIsoGainMapOf(const uint8_t* file, size_t fileSize);

// Scales the map in proportion when its picture is resized from
// (fromW x fromH) to (toW x toH).
void resizeGainMap(GainMap& gm, uint32_t fromW, uint32_t fromH, uint32_t toW, uint32_t toH, int threads);

// Most stops a map made from scene light keeps above the SDR picture.
constexpr double kMaxSceneBoostStops = 4.0;

// Per-pixel boosts in steps of 1/kBoostSteps stop (two bytes a pixel where a
// float would take four; 4 stops are 32768 steps).
constexpr int kBoostSteps = 8192;
inline uint16_t boostSteps(float log2Boost) {
    const float s = log2Boost * float(kBoostSteps);
    return s > 0 ? uint16_t(std::min(s, float(kMaxSceneBoostStops * kBoostSteps)) + 0.5f) : 0;  // NaN: 0
}

// A map from per-pixel boosts (scene light over the SDR picture's light, both
// linear, >= 1), `steps` row by row at the picture's size (boostSteps). The
// range is the picture's own, from no boost to its largest, at most
// kMaxSceneBoostStops; nothing when no pixel gains a 64th of a stop.
std::optional<GainMap> gainMapFromBoosts(const std::vector<uint16_t>& steps, uint32_t width, uint32_t height);

}  // namespace conv
