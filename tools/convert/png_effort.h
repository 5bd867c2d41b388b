// How -quality maps to PNG compression effort (PNG is lossless either way).
#pragma once

#include "tools/convert/image.h"

namespace conv {

struct PngEffort {
    int zlibLevel;  // 1..9
    int strategy;   // zlib strategy constant
    bool tryAllFilters;  // also try a filter chosen per row, keep the smaller
};

// -quality 85 (the default and what the window passes) and everything up to 89:
// level 2 with one fixed filter, the fast point that still compresses well.
// 90-97: level 6. 98-100: level 9, and a per-row filter choice tried as well.
// 1-49: level 1. Output is lossless at every setting.
PngEffort pngEffort(int quality, bool qualityGiven);

// The filter for every row (a PNG_FILTER_* mask): one filter picked by trying
// Sub, Up, Average and Paeth on sample rows and taking the one whose filtered
// bytes have the smallest sum of absolute values (as signed bytes).
int choosePngFilter(const Image& img);

}  // namespace conv
