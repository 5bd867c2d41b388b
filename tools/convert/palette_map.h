// Mapping 8-bit RGB pixels onto a palette of up to 256 colours with
// Floyd-Steinberg error diffusion, in bands of rows dithered side by side on
// several threads, each band led in by the rows above it so that no seam
// shows; the result does not depend on the number of threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace conv {

// `rgba`: width x height pixels of 4 bytes (R, G, B, A). `palette`: entries as
// R | G << 8 | B << 16 | A << 24. Pixels whose alpha is 0 are left to the
// caller (their index is not written and they pass on no error); every other
// pixel is taken as opaque and gets the nearest (in RGB) entry whose alpha is
// at least 128, after the errors diffused into it are added. Nothing is written
// when no entry is opaque. `threads` changes the speed only, never the result.
// `rowsDone`, when given, counts the rows finished (every row above them is
// finished too), with a notify_all() after each step, so that another thread
// can take them while the rest are dithered; it ends at `height`.
void ditherToPalette(const uint8_t* rgba, uint32_t width, uint32_t height, const std::vector<uint32_t>& palette,
                     int threads, uint8_t* indexes, std::atomic<uint32_t>* rowsDone = nullptr);

// The same without diffusion: each pixel's nearest opaque entry.
void nearestInPalette(const uint8_t* rgba, uint32_t width, uint32_t height, const std::vector<uint32_t>& palette,
                      int threads, uint8_t* indexes);

}  // namespace conv
