// HDR gain maps: beside the ordinary (SDR) picture, a one-channel map of how
// much brighter each place may be shown on a screen that can go above paper
// white. Read from a phone's HEIC or made from a Radiance picture's scene
// light; written into JPEGs by ultrahdr_jpeg.h.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tools/convert/image.h"

struct heif_image_handle;

namespace conv {

// The map as JPEG gain-map readers take it: a sample v (0..255) stands for the
// boost 2^G, G = minLog2 + (v / 255)^(1 / gamma) * (maxLog2 - minLog2), in linear
// light, HDR = (SDR + offsetSdr) * 2^G - offsetHdr; the whole boost applies on
// screens with at least 2^capacityMax of headroom, none below 2^capacityMin.
// A map of three channels boosts R, G and B each by its own sample and numbers;
// a one-channel map has its numbers in the first.
struct GainMap {
    Image map;  // 1 or 3 channels, 8 bits, any size: readers stretch it over the picture
    std::array<double, 3> minLog2{}, maxLog2{}, gamma{1, 1, 1}, offsetSdr{}, offsetHdr{};
    double capacityMin = 0, capacityMax = 0;
    // A map read from a file whose base picture is the HDR one leads down from it:
    // SDR = (HDR + offsetHdr) * 2^G - offsetSdr (G mostly below 0); the capacities keep
    // their sides (capacityMax is the HDR base's headroom). Only maps leading up are
    // written.
    bool leadsDown = false;

    int channels() const { return map.channels == 3 ? 3 : 1; }
    // G of sample v in channel c.
    double log2Boost(int c, double v) const {
        const size_t k = size_t(c);
        return minLog2[k] + std::pow(v / 255, 1 / gamma[k]) * (maxLog2[k] - minLog2[k]);
    }
};

// The auxiliary type of Apple's HDR gain maps, in HEIC and in JPEG.
constexpr const char* kAppleGainMapType = "urn:com:apple:photo:2020:aux:hdrgainmap";

// Apple's headroom (the ratio of the brightest HDR white to SDR white) from
// maker-note tags 33 and 48, as Apple's developer note gives it.
double appleHeadroom(double tag33, double tag48);

// Tags 33 and 48 of an Apple maker note in an EXIF block (a TIFF structure);
// false when the block has no Apple maker note or either tag is missing.
bool appleHeadroomTags(const std::vector<uint8_t>& exif, double& tag33, double& tag48);

// Apple's map samples (linear gain g in [0, 1] under the Rec. 709 curve) to
// ours for a headroom H: log2(1 + (H - 1) g) / log2 H, times 255.
std::array<uint8_t, 256> appleToLogTable(double headroom);

// The headroom of a photo from its EXIF's Apple maker note (appleHeadroom of tags 33
// and 48); nothing when a tag is missing or the headroom is 1.
std::optional<double> appleHeadroomOf(const std::vector<uint8_t>& exif);

// A map of Apple's samples (gm.map, one channel) made ours for headroom H
// (appleToLogTable), with GainMapMax and HDRCapacityMax log2 H.
void fromAppleMap(GainMap& gm, double headroom);

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

// The ISO 21496-1 metadata of a map leading up (big-endian, explicit fractions, one or
// three channels as the map has, applied in the picture's own colour space), as JPEGs
// and HEIF carry it.
std::vector<uint8_t> iso21496Metadata(const GainMap& gm);

// Reads ISO 21496-1 metadata into gm's numbers; `channels` is set to 1 or 3. The map
// leads down (gm.leadsDown) when the base picture's headroom is above the alternate's.
// False for a version this reader does not know or a damaged block.
bool readIso21496Metadata(const uint8_t* data, size_t size, GainMap& gm, int& channels);

// The ISO 21496-1 gain map of a HEIF or AVIF file (the whole file): its 'tmap' item's
// metadata and the map item it derives from the primary picture (one or three
// channels), turned as the map's own 'irot'/'imir' say or else as the primary's, on a
// libheif context of its own. Either direction: see GainMap::leadsDown. Null when there
// is none, or one that cannot be read or is not in the picture's proportions.
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
