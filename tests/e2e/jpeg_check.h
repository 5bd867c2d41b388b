// What the end-to-end tests look at in a JPEG the converter wrote: its size, ICC profile
// and EXIF Orientation from the markers, and its pixels (decoded by the same libjpeg-turbo
// the Windows converter links).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tess::e2e {

struct JpegMarkers {
    bool valid = false;        // SOI, a frame header and a scan were found
    int width = 0, height = 0;  // from the frame header
    std::string icc;           // the APP2 ICC_PROFILE chunks joined in their order
    bool hasExif = false;
    int orientation = 0;       // EXIF IFD0 Orientation; 0 when there is none
};

// Reads the markers up to the first scan.
JpegMarkers ReadJpegMarkers(const std::string& jpeg);

struct Pixels {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

// Decodes to RGB, shrunk by 1/scaleDenominator in the decoder (1, 2, 4 or 8); empty
// pixels when the data cannot be decoded.
Pixels DecodeJpeg(const std::string& jpeg, int scaleDenominator = 1);

// Peak signal-to-noise ratio over every sample in dB; a large number (1000) for
// identical pixels, and -1 when the sizes differ or there are no pixels.
double Psnr(const Pixels& a, const Pixels& b);

}  // namespace tess::e2e
