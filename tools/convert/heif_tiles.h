// The primary picture of a HEIC read by our own box reader and decoded straight
// into the 8-bit 4:2:0 planes a JPEG stores: a single coded picture, or a grid of
// them (what phones write). libheif 1.15 turns every decoded picture into RGB,
// and back into YCbCr when asked for planes: a fifth of the work, the grid's
// half of it on one core, and two roundings of every sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "tools/convert/heif_boxes.h"
#include "tools/convert/hevc_sps.h"

namespace conv {

// True when the file's primary item is a grid of tiles ('pitm' and 'iinf').
// False for anything unreadable.
bool primaryItemIsGrid(const uint8_t* data, size_t size);

// The primary picture as tiles: a grid's, or a single picture as its one tile.
struct HeifTiles {
    uint32_t width = 0, height = 0;  // the picture: the top-left of the tiled area
    uint32_t columns = 1, rows = 1;
    uint32_t tileWidth = 0, tileHeight = 0;  // from the first tile's 'ispe'
    struct Tile {
        std::vector<std::vector<uint8_t>> parameterSets;  // from 'hvcC'
        int lengthBytes = 4;                              // of each NAL unit's length
        std::vector<uint8_t> data;
        // The tile's 'colr' nclx, when it has one: it overrides the stream's own.
        bool hasNclx = false;
        int matrix = 2;
        bool fullRange = false;
        // What its SPS says of the decoded samples, when it could be read.
        std::optional<HevcSampleFormat> format;
        // The matrix and range the samples are coded in: the nclx box's, else the VUI's.
        int codedMatrix() const { return hasNclx || !format ? matrix : format->matrix; }
        bool codedFullRange() const { return hasNclx || !format ? fullRange : format->fullRange; }
    };
    std::vector<Tile> tiles;  // row by row
    // The picture's rotations ('irot', quarter turns anticlockwise) and
    // mirrorings ('imir', 0 exchanging top and bottom, 1 left and right), in
    // the order the file lists them, as libheif applies them.
    using Turn = HeifTurn;
    std::vector<Turn> turns;

    // The size of the picture once turned.
    bool swapsSides() const;
    uint32_t shownWidth() const { return swapsSides() ? height : width; }
    uint32_t shownHeight() const { return swapsSides() ? width : height; }
};

// An ISO 21496-1 gain map: the 'tmap' item's data, and the item of the map itself.
struct HeifToneMap {
    std::vector<uint8_t> metadata;
    uint32_t mapItem = 0;
};

// The 'tmap' item whose base picture (its first 'dimg' reference) is the primary one,
// when the file has one; nothing otherwise.
std::optional<HeifToneMap> readToneMapItem(const uint8_t* data, size_t size);

// What turns an item's picture: its 'irot' and 'imir' (even those that change nothing)
// in the order its 'ipma' lists them, and whether it has a 'clap'.
struct HeifGeometry {
    std::vector<HeifTurn> turns;
    bool cropped = false;
    bool any() const { return cropped || !turns.empty(); }
};

// The geometry of the primary item and of item `id`; nothing when the boxes that tell
// it cannot be read.
std::optional<std::pair<HeifGeometry, HeifGeometry>> readGeometry(const uint8_t* data, size_t size, uint32_t id);

// The primary picture's layout and coding, when it is HEVC with no cropping
// and no rotation or mirroring on a grid's tiles themselves. Otherwise (or when
// any box is damaged) nothing, and libheif decodes the file.
std::optional<HeifTiles> readPrimaryTiles(const uint8_t* data, size_t size);

// True when decodeTilesYcc420 takes the picture, as its headers tell before
// anything is decoded: every tile 4:2:0 or 4:2:2 of 8 to 12 bits in the size
// 'ispe' gave, coded in a matrix that planesConvertible() takes, in either range.
bool ownDecoderTakes(const HeifTiles& tiles);

// Decodes the tiles into `planes`: Y, then Cb, then Cr, 8-bit 4:2:0 as JPEG
// stores them (full-range BT.601), of the turned picture's size (chroma rounded
// up), the turns applied. A grid's tiles are decoded side by side on `threads`
// threads; a single picture gets `threads` libde265 workers. Every output sample
// is rounded once, from the coded values: deeper samples to 8 bits, limited range
// to full, 4:2:2 chroma rows averaged in pairs, BT.709 to BT.601. 8-bit 4:2:0
// full-range BT.601 is copied as it is. Each tile is decoded once; false when
// one fails to decode or does not turn out as its headers said, and the caller
// then leaves the file to libheif.
bool decodeTilesYcc420(const HeifTiles& tiles, int threads, std::vector<uint8_t>& planes);

// A single picture's planes as its decoder gives them: samples of more than 8 bits in
// 16-bit words; chroma as coded (1 4:2:0, 2 4:2:2, 3 4:4:4).
struct DecodedPicture {
    uint32_t width = 0, height = 0;
    const uint8_t* plane[3] = {};
    size_t stride[3] = {};  // in bytes
    int bits = 8, chromaFormat = 1;
    int matrix = 2;  // as coded: the nclx box's, else the VUI's
    bool fullRange = false;
};

// Decodes the primary when it is a single picture without turns, of 8 to 12 bits,
// with every core inside libde265, and hands its planes to `use` while they live.
// False (and `use` not called) for any other picture or one that does not decode as
// its headers said.
bool withSinglePicture(const HeifTiles& tiles, int threads, const std::function<void(const DecodedPicture&)>& use);

// Matrices read as BT.601, as libheif reads them (matrices it does not know
// count as BT.601 there too): all but 1 BT.709, 4 FCC, 7 SMPTE 240M, 9/10
// BT.2020 and 12/13 (from the primaries).
inline bool bt601Matrix(int m) { return m != 1 && m != 4 && m != 7 && m != 9 && m != 10 && m != 12 && m != 13; }

// True when decoded samples are what JPEG stores: full-range BT.601 YCbCr.
inline bool jpegCompatibleYcc(int m, bool fullRange) { return fullRange && bt601Matrix(m); }

// True when samples in this matrix are made JPEG's on the planes: BT.601 and
// BT.709, in either range. Others (BT.2020 among them) go to libheif's RGB.
inline bool planesConvertible(int m) { return m == 1 || bt601Matrix(m); }

// 8-bit 4:2:0 planes of w x h (chroma rounded up) in the given matrix and range
// made JPEG's in place; the same rounding as decodeTilesYcc420's.
void makeJpegYcc420(uint8_t* planes, size_t w, size_t h, int matrix, bool fullRange, int threads);

}  // namespace conv
