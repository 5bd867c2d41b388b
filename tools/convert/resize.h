// Resampling with a separable Lanczos-3 filter (widened when shrinking, so it
// also averages like a box), in bands of rows spread over worker threads.
#pragma once

#include "tools/convert/image.h"

namespace conv {

// Resizes img to w x h in place, keeping bit depth, channels and metadata.
// Alpha is resampled premultiplied so transparent pixels do not bleed colour.
// A picture held as YCbCr 4:2:0 planes is resampled plane by plane and stays so.
void resizeImage(Image& img, uint32_t w, uint32_t h, int threads);

}  // namespace conv
