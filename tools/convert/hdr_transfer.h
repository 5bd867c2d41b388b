// Pictures coded for HDR screens with a transfer of ITU-R BT.2100 (PQ or HLG):
// the light their values stand for, the SDR picture made from that light, and
// the gain map that leads from the SDR picture back up to it.
#pragma once

#include <cstdint>

#include "tools/convert/image.h"

namespace conv {

// CICP transfer characteristics (ITU-T H.273).
constexpr int kTransferPq = 16, kTransferHlg = 18;
inline bool isHdrTransfer(int transfer) { return transfer == kTransferPq || transfer == kTransferHlg; }

// SDR white in HDR pictures (BT.2408's reference white): light 1 below.
constexpr double kSdrWhiteNits = 203;

struct HdrCoding {
    int primaries = 9;  // CICP primaries of the coded values; codes not known here count as BT.2020
    int transfer = kTransferPq;
    // The most light the picture can hold, in cd/m²: PQ's mastering display peak where
    // the file gives it, else 1000 (for HLG, the display its OOTF is taken for).
    double peakNits = 1000;
};

// PQ (SMPTE ST 2084): coded value in [0, 1] <-> absolute light in cd/m².
double pqToNits(double e);
double nitsToPq(double nits);
// HLG's inverse OETF: coded value in [0, 1] -> scene light in [0, 1].
double hlgToScene(double e);

// The tone map from light relative to SDR white to SDR light in [0, 1], for a
// picture whose brightest light is `peak`: unchanged up to the knee (0.8), then a
// roll-off that leaves the knee at slope 1 and reaches white exactly at the peak.
float sdrToneCurve(float light, float peak);

// Replaces the coded values in img (RGB or RGBA, 8 or 16 bits, as decoded; alpha
// kept) by the SDR picture: 16 bits, sRGB without a profile, or Display P3 with its
// profile in img.icc when the picture shows colours outside sRGB. With `gainMap`,
// img.gainMap leads from it back to the source's light wherever that is brighter
// than SDR white. With `down` (a map of the file's own leading down from this picture,
// GainMap::leadsDown, of any size), the SDR picture is the one that map makes instead
// of our tone map's.
void hdrToSdr(Image& img, const HdrCoding& coding, bool gainMap, int threads, const GainMap* down = nullptr);

// A picture's coded YCbCr planes, as a decoder gives them: samples of `bits` bits in
// 16-bit words, chroma halved across (shiftX 1) and down (shiftY 1) as coded.
struct YccPlanes {
    uint32_t width = 0, height = 0;
    const uint16_t* plane[3] = {};  // Y, Cb, Cr
    size_t stride[3] = {};          // in samples
    int bits = 10;
    int shiftX = 1, shiftY = 1;
    int matrix = 9;  // CICP matrix coefficients (BT.2020's for those not known here)
    bool fullRange = true;
};

// The same from the planes, turned to RGB here on the way (each pixel with the chroma
// sample it was coded with), without an RGB copy of the coded picture; with `ycc`, the
// SDR picture is JPEG's planes (Image::ycc420) instead of 16-bit RGB.
Image hdrPlanesToSdr(const YccPlanes& planes, const HdrCoding& coding, bool gainMap, int threads,
                     const GainMap* down = nullptr, bool ycc = false);

}  // namespace conv
