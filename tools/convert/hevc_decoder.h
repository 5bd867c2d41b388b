#pragma once

#include <cstddef>
#include <cstdint>

namespace conv {

// Makes libheif decode HEVC pictures through our own libde265 binding, which runs
// `workers` decoding threads per picture (wavefront rows, tiles and the in-loop
// filters in parallel). libheif's built-in binding uses a single worker, which
// leaves every other core idle on a single-image photo. 0 decodes on the calling
// thread. The setting applies to decoders created from then on.
void useHevcWorkers(int workers);

// True when the file's primary item is a grid of tiles, read from the 'pitm'
// and 'iinf' boxes. libheif decodes the tiles of a grid side by side, one per
// core, so those need no workers of their own. False for anything unreadable.
bool primaryItemIsGrid(const uint8_t* data, size_t size);

}  // namespace conv
