// The HEIF box reader and the direct HEVC-to-planes road: any bytes as a file.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/heif_tiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    conv::primaryItemIsGrid(data, size);
    auto tiles = conv::readPrimaryTiles(data, size);
    if (!tiles) return 0;
    FUZZ_CHECK(!tiles->tiles.empty());
    FUZZ_CHECK(uint64_t(tiles->columns) * tiles->rows == tiles->tiles.size());
    // Decoding is the slow part: only pictures small enough to keep the fuzzer quick.
    if (uint64_t(tiles->width) * tiles->height > 256 * 256 || tiles->tiles.size() > 16) return 0;
    std::vector<uint8_t> planes;
    if (conv::decodeTilesYcc420(*tiles, 1, planes)) {
        const uint64_t w = tiles->shownWidth(), h = tiles->shownHeight();
        FUZZ_CHECK(planes.size() == w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
    }
    return 0;
}
