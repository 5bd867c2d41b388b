// Grid pictures decoded by the converter itself: the box reader, the tiles'
// places, every turn, and the grids it leaves to libheif.
#include <gtest/gtest.h>

#include <libde265/de265.h>
#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "run_helpers.h"
#include "tools/convert/fileio.h"
#include "tools/convert/heif_tiles.h"
#include "tools/convert/hevc_decoder.h"
#include "tools/convert/loaders.h"

using namespace convtest;

namespace {

// The converter's own reader: a missing fixture fails the test with its name.
std::vector<uint8_t> fileBytes(const std::string& path) { return conv::readWholeFile(conv::fromUtf8(path)); }

// A box: 32-bit size, type, payload.
std::vector<uint8_t> box(const char* type, const std::vector<uint8_t>& body) {
    const uint32_t n = uint32_t(body.size() + 8);
    std::vector<uint8_t> b = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(type[i]));
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}

// 'meta' with pitm naming item 2 and two infe entries, in the given box
// versions.
std::vector<uint8_t> metaFile(int pitmVersion, int infeVersion, const char* type2) {
    const auto id = [&](int v, uint32_t i) {
        return v == 0 || v == 2 ? std::vector<uint8_t>{0, uint8_t(i)} : std::vector<uint8_t>{0, 0, 0, uint8_t(i)};
    };
    const auto infe = [&](uint32_t i, const char* type) {
        std::vector<uint8_t> b = {uint8_t(infeVersion), 0, 0, 0};
        b = cat({b, id(infeVersion, i), {0, 0}});
        for (int k = 0; k < 4; ++k) b.push_back(uint8_t(type[k]));
        b.push_back(0);  // empty item name
        return box("infe", b);
    };
    const auto pitm = box("pitm", cat({{uint8_t(pitmVersion), 0, 0, 0}, id(pitmVersion, 2)}));
    const auto iinf = box("iinf", cat({{0, 0, 0, 0}, {0, 2}, infe(1, "hvc1"), infe(2, type2)}));
    return cat({box("ftyp", {'h', 'e', 'i', 'c', 0, 0, 0, 0}), box("meta", cat({{0, 0, 0, 0}, pitm, iinf}))});
}

TEST(HeifBoxes, PrimaryGridIsFoundInRealFilesAndEveryBoxVersion) {
    for (const char* name : {"grid.heic", "grid_irot1_imir0.heic"}) {
        const auto b = fileBytes(fixture(name));
        EXPECT_TRUE(conv::primaryItemIsGrid(b.data(), b.size())) << name;
    }
    for (const char* name : {"single.heic", "photo.heic", "alpha.heic", "irot1.heic"}) {
        const auto b = fileBytes(fixture(name));
        ASSERT_FALSE(b.empty()) << name;
        EXPECT_FALSE(conv::primaryItemIsGrid(b.data(), b.size())) << name;
    }
    for (int pitm : {0, 1})
        for (int infe : {2, 3}) {
            const auto grid = metaFile(pitm, infe, "grid"), single = metaFile(pitm, infe, "hvc1");
            EXPECT_TRUE(conv::primaryItemIsGrid(grid.data(), grid.size())) << pitm << infe;
            EXPECT_FALSE(conv::primaryItemIsGrid(single.data(), single.size())) << pitm << infe;
        }
}

TEST(HeifBoxes, BrokenOrForeignDataIsNotAGrid) {
    const auto grid = metaFile(0, 2, "grid");
    // Every cut of the boxes, and sizes that point past the end.
    for (size_t n = 0; n < grid.size(); ++n) EXPECT_FALSE(conv::primaryItemIsGrid(grid.data(), n)) << "cut at " << n;
    auto wrong = grid;
    wrong[3] = 0xff;  // ftyp claims 255 bytes
    EXPECT_FALSE(conv::primaryItemIsGrid(wrong.data(), wrong.size()));
    const std::string text = "this is not a picture at all";
    EXPECT_FALSE(conv::primaryItemIsGrid(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    // No infe entry names the primary item.
    const auto other =
        cat({box("ftyp", {'h', 'e', 'i', 'c'}),
             box("meta", cat({{0, 0, 0, 0}, box("pitm", {0, 0, 0, 0, 0, 9}), box("iinf", {0, 0, 0, 0, 0, 0})}))});
    EXPECT_FALSE(conv::primaryItemIsGrid(other.data(), other.size()));
}

// A file's planes as the converter decodes them itself.
struct Planes {
    size_t w[3] = {}, h[3] = {};
    std::vector<uint8_t> p;
    const uint8_t* plane(int c) const { return p.data() + (c == 0 ? 0 : w[0] * h[0] + size_t(c - 1) * w[1] * h[1]); }
};

Planes ownPlanes(const std::string& path) {
    const auto bytes = fileBytes(path);
    const auto tiles = conv::readPrimaryTiles(bytes.data(), bytes.size());
    Planes r;
    if (!tiles || !conv::decodeTilesYcc420(*tiles, 2, r.p)) throw std::runtime_error("cannot decode " + path);
    r.w[0] = tiles->shownWidth();
    r.h[0] = tiles->shownHeight();
    r.w[1] = r.w[2] = (r.w[0] + 1) / 2;
    r.h[1] = r.h[2] = (r.h[0] + 1) / 2;
    return r;
}

// libheif's planes: decoded, turned into RGB and back (which moves samples by
// a level or two), 8-bit 4:2:0 whatever the file holds.
Planes libheifPlanes(const std::string& path) {
    Planes r;
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* h = nullptr;
    heif_image* img = nullptr;
    heif_decoding_options* opt = heif_decoding_options_alloc();
    opt->convert_hdr_to_8bit = 1;
    if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
        heif_decode_image(h, &img, heif_colorspace_YCbCr, heif_chroma_420, opt).code == heif_error_Ok) {
        const heif_channel ch[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
        for (int c = 0; c < 3; ++c) {
            int stride = 0;
            const uint8_t* d = heif_image_get_plane_readonly(img, ch[c], &stride);
            r.w[c] = size_t(heif_image_get_width(img, ch[c]));
            r.h[c] = size_t(heif_image_get_height(img, ch[c]));
            for (size_t y = 0; y < r.h[c]; ++y)
                r.p.insert(r.p.end(), d + size_t(stride) * y, d + size_t(stride) * y + r.w[c]);
        }
        heif_image_release(img);
    }
    heif_decoding_options_free(opt);
    if (h) heif_image_handle_release(h);
    heif_context_free(ctx);
    if (r.p.empty()) throw std::runtime_error("libheif cannot decode " + path);
    return r;
}

TEST(HeifTiles, GridTilesLandExactlyWhereEachTileDecodesAlone) {
    const auto bytes = fileBytes(fixture("grid.heic"));
    const auto grid = conv::readPrimaryTiles(bytes.data(), bytes.size());
    ASSERT_TRUE(grid);
    ASSERT_EQ(grid->columns, 3u);
    ASSERT_EQ(grid->rows, 2u);
    const Planes got = ownPlanes(fixture("grid.heic"));
    ASSERT_EQ(got.w[0], 600u);
    ASSERT_EQ(got.h[0], 450u);
    size_t compared = 0, differing = 0;
    for (int t = 0; t < 6; ++t) {
        const Planes tile = ownPlanes(fixture("tile_" + std::to_string(t) + ".heic"));
        for (int c = 0; c < 3; ++c) {
            const size_t x0 = size_t(t % 3) * tile.w[c], y0 = size_t(t / 3) * tile.h[c];
            for (size_t y = 0; y < tile.h[c] && y0 + y < got.h[c]; ++y)
                for (size_t x = 0; x < tile.w[c] && x0 + x < got.w[c]; ++x) {
                    ++compared;
                    differing += got.plane(c)[(y0 + y) * got.w[c] + x0 + x] != tile.plane(c)[y * tile.w[c] + x];
                }
        }
    }
    EXPECT_EQ(compared, got.p.size());
    EXPECT_EQ(differing, 0u);
}

// 8-bit files, and 10-bit 4:2:0 and 4:2:2 (cameras'), single and grid, which
// libheif takes to 8 bits on its way through RGB.
TEST(HeifTiles, PlanesAreLibheifsWithoutItsRoundTripThroughRgb) {
    for (const char* name : {"single.heic", "photo.heic", "grid.heic", "grid_irot1_imir0.heic", "irot1.heic",
                             "deep10.heic", "deep10_422.heic", "deep10_422_odd.heic", "grid10_422.heic"}) {
        SCOPED_TRACE(name);
        const Planes got = ownPlanes(fixture(name)), ref = libheifPlanes(fixture(name));
        ASSERT_EQ(got.w[0], ref.w[0]);
        ASSERT_EQ(got.h[0], ref.h[0]);
        ASSERT_EQ(got.p.size(), ref.p.size());
        int worst = 0;
        size_t apart = 0;
        double sum = 0;
        for (size_t i = 0; i < got.p.size(); ++i) {
            const int d = std::abs(int(got.p[i]) - int(ref.p[i]));
            worst = std::max(worst, d);
            apart += d > 1;
            sum += d;
        }
        // Colours outside RGB are clipped on libheif's way, which moves a few
        // samples further; all but those are within a level, and on average
        // the two stay within half a level.
        EXPECT_LE(worst, 12);
        EXPECT_LT(double(apart), 0.01 * double(got.p.size()));
        EXPECT_LT(sum / double(got.p.size()), 0.5);
    }
}

// Deeper samples reach 8 bits rounded once from the coded values (libde265's
// own, read here from the decoder): luma v * 255 / 1023, chroma the same
// about the middle, a 4:2:2 picture's chroma from the mean of each pair of
// rows (the last row alone when the height is odd).
TEST(HeifTiles, DeepSamplesAreRoundedOnceFromTheCodedValues) {
    for (const char* name : {"deep10.heic", "deep10_422.heic", "deep10_422_odd.heic"}) {
        SCOPED_TRACE(name);
        const Planes got = ownPlanes(fixture(name));
        const auto bytes = fileBytes(fixture(name));
        const auto tiles = conv::readPrimaryTiles(bytes.data(), bytes.size());
        ASSERT_TRUE(tiles);
        const conv::HeifTiles::Tile& tile = tiles->tiles.at(0);
        conv::HevcDecoder hevc(0);
        for (const auto& ps : tile.parameterSets) hevc.pushNal(ps.data(), ps.size());
        ASSERT_TRUE(hevc.pushLengthPrefixed(tile.data.data(), tile.data.size(), tile.lengthBytes));
        const de265_image* pic = hevc.decode();
        ASSERT_TRUE(pic);
        ASSERT_EQ(de265_get_bits_per_pixel(pic, 0), 10);
        const bool pairs = de265_get_chroma_format(pic) == de265_chroma_422;
        EXPECT_EQ(pairs, std::string(name).find("422") != std::string::npos);
        auto coded = [&](int c, size_t x, size_t y) {
            int stride = 0;
            const uint8_t* plane = de265_get_image_plane(pic, c, &stride);
            const size_t rows = size_t(de265_get_image_height(pic, c));
            return double(reinterpret_cast<const uint16_t*>(plane + size_t(stride) * std::min(y, rows - 1))[x]);
        };
        double worst = 0;
        for (int c = 0; c < 3; ++c)
            for (size_t y = 0; y < got.h[c]; ++y)
                for (size_t x = 0; x < got.w[c]; ++x) {
                    const double v = c && pairs ? (coded(c, x, 2 * y) + coded(c, x, 2 * y + 1)) / 2 : coded(c, x, y);
                    const double exact = std::clamp(c ? 128 + (v - 512) * 255 / 1023 : v * 255 / 1023, 0.0, 255.0);
                    worst = std::max(worst, std::abs(got.plane(c)[y * got.w[c] + x] - exact));
                }
        EXPECT_LE(worst, 0.5 + 1e-9);
    }
}

TEST(HeifTiles, OneTileGridGivesTheSinglePicturesJpeg) {
    TempDir tmp;
    ASSERT_EQ(runConvert({"-quality", "85%", fixture("single.heic"), tmp.path("single.jpg")}).code, 0);
    ASSERT_EQ(runConvert({"-quality", "85%", fixture("grid1.heic"), tmp.path("grid1.jpg")}).code, 0);
    const Pixels a = decodeJpegFile(tmp.path("single.jpg")), b = decodeJpegFile(tmp.path("grid1.jpg"));
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    EXPECT_EQ(a.v, b.v);
}

// Each fixture is grid.heic's tiles with the container's turns: the converter
// turns the planes itself and must show what libheif shows.
TEST(HeifTiles, EveryTurnShowsWhatLibheifShows) {
    for (const char* name :
         {"irot1.heic", "imir1.heic", "grid.heic", "grid_irot1.heic", "grid_irot2.heic", "grid_irot3.heic",
          "grid_imir0.heic", "grid_imir1.heic", "grid_irot3_imir1.heic", "grid_irot1_imir0.heic"}) {
        SCOPED_TRACE(name);
        const auto bytes = fileBytes(fixture(name));
        ASSERT_TRUE(conv::readPrimaryTiles(bytes.data(), bytes.size()));
        TempDir tmp;
        ASSERT_EQ(runConvert({"-quality", "85%", fixture(name), tmp.path("out.jpg")}).code, 0);
        const Pixels got = decodeJpegFile(tmp.path("out.jpg")), ref = decodeHeifFile(fixture(name));
        ASSERT_EQ(got.width, ref.width);
        ASSERT_EQ(got.height, ref.height);
        EXPECT_GE(psnr(got, ref), libraryPsnrAt85(ref) - 0.3);
    }
}

// libheif's RGB of a file made into JPEG's planes by the formulas of BT.601 (full
// range), chroma averaged over each 2x2 block: libheif does the range and matrix.
Planes libheifRgbAsJpegPlanes(const std::string& path) {
    const Pixels rgb = decodeHeifFile(path);
    const double scale = 255.0 / (rgb.bits == 16 ? 1023.0 : 255.0);  // the 16-bit fixtures are 10-bit
    Planes r;
    r.w[0] = rgb.width;
    r.h[0] = rgb.height;
    r.w[1] = r.w[2] = (r.w[0] + 1) / 2;
    r.h[1] = r.h[2] = (r.h[0] + 1) / 2;
    std::vector<double> y(r.w[0] * r.h[0]), cb(y.size()), cr(y.size());
    for (uint32_t j = 0; j < rgb.height; ++j)
        for (uint32_t i = 0; i < rgb.width; ++i) {
            const double R = rgb.at(i, j, 0) * scale, G = rgb.at(i, j, 1) * scale, B = rgb.at(i, j, 2) * scale;
            const size_t k = size_t(j) * rgb.width + i;
            y[k] = 0.299 * R + 0.587 * G + 0.114 * B;
            cb[k] = 128 + (B - y[k]) / 1.772;
            cr[k] = 128 + (R - y[k]) / 1.402;
        }
    const auto byte = [](double v) { return uint8_t(std::clamp(std::lround(v), 0L, 255L)); };
    for (double v : y) r.p.push_back(byte(v));
    for (const auto* c : {&cb, &cr})
        for (size_t j = 0; j < r.h[1]; ++j)
            for (size_t i = 0; i < r.w[1]; ++i) {
                double sum = 0;
                int n = 0;
                for (size_t dy = 0; dy < 2 && 2 * j + dy < r.h[0]; ++dy)
                    for (size_t dx = 0; dx < 2 && 2 * i + dx < r.w[0]; ++dx, ++n) sum += (*c)[(2 * j + dy) * r.w[0] + 2 * i + dx];
                r.p.push_back(byte(sum / n));
            }
    return r;
}

// What phones write: limited range, the BT.709 matrix (in a tile's nclx box or
// the stream's VUI), single pictures turned by 'irot', 8 and 10 bits. The road
// is chosen from the headers and every picture is decoded once, on our own
// road; the planes are libheif's colours within a level, upright. (The tiles
// of grid_tiles_limited.heic are full-range samples labelled limited: their
// colours leave RGB, which libheif clips and JPEG's YCbCr keeps, so only the
// JPEG's likeness is asked of it.)
TEST(HeifTiles, PhonesLimitedRangeAndBt709PicturesAreDecodedOnceOnTheOwnRoad) {
    for (const char* name : {"grid_tiles709.heic", "grid_tiles_limited.heic", "phone_limited709_irot3.heic",
                             "phone_limited601.heic", "phone_limited709_10bit.heic"}) {
        SCOPED_TRACE(name);
        TempDir tmp;
        ASSERT_EQ(runConvert({"-quality", "85%", fixture(name), tmp.path("out.jpg")}).code, 0);
        const Pixels rgb = decodeHeifFile(fixture(name));
        if (rgb.bits == 8) {
            EXPECT_GE(psnr(decodeJpegFile(tmp.path("out.jpg")), rgb), libraryPsnrAt85(rgb) - 0.3);
        }
        if (std::string(name) == "grid_tiles_limited.heic") continue;
        const auto bytes = fileBytes(fixture(name));
        const auto tiles = conv::readPrimaryTiles(bytes.data(), bytes.size());
        ASSERT_TRUE(tiles);
        EXPECT_TRUE(conv::ownDecoderTakes(*tiles));

        conv::LoadOptions opt;
        opt.threads = 2;
        opt.allowYcc420 = true;
        const uint64_t before = conv::hevcPicturesDecoded();
        const conv::Image img = conv::loadHeif({conv::fromUtf8(fixture(name)), bytes}, opt);
        EXPECT_EQ(conv::hevcPicturesDecoded() - before, tiles->tiles.size());
        ASSERT_TRUE(img.isYcc420());

        const Planes ref = libheifRgbAsJpegPlanes(fixture(name));
        ASSERT_EQ(img.width, ref.w[0]);
        ASSERT_EQ(img.height, ref.h[0]);
        ASSERT_EQ(img.ycc420.size(), ref.p.size());
        size_t apart = 0;
        double sum = 0;
        for (size_t i = 0; i < ref.p.size(); ++i) {
            const int d = std::abs(int(img.ycc420[i]) - int(ref.p[i]));
            apart += d > 1;
            sum += d;
        }
        EXPECT_LT(double(apart), 0.01 * double(ref.p.size()));
        EXPECT_LT(sum / double(ref.p.size()), 0.5);
    }
}

// Pictures our own road does not take are decoded once all the same, by libheif.
TEST(HeifTiles, PicturesLeftToLibheifAreDecodedOnce) {
    for (const char* name : {"alpha.heic", "iden_irot1.heic"}) {
        SCOPED_TRACE(name);
        const auto bytes = fileBytes(fixture(name));
        conv::LoadOptions opt;
        opt.threads = 2;
        opt.allowYcc420 = true;
        const uint64_t before = conv::hevcPicturesDecoded();
        const conv::Image img = conv::loadHeif({conv::fromUtf8(fixture(name)), bytes}, opt);
        const uint64_t pictures = std::string(name) == "alpha.heic" ? 2 : 1;  // the colours and the alpha
        EXPECT_EQ(conv::hevcPicturesDecoded() - before, pictures);
        EXPECT_GT(img.width, 0u);
    }
}

TEST(HeifTiles, EveryCutOrFlipOfTheFileIsRefusedOrReadSafely) {
    const auto bytes = fileBytes(fixture("grid.heic"));
    ASSERT_TRUE(conv::readPrimaryTiles(bytes.data(), bytes.size()));
    // The last tile's data runs to the end, so no shorter file is whole.
    size_t accepted = 0;
    for (size_t n = 0; n < bytes.size(); n += n < 8192 ? 1 : 997)
        accepted += conv::readPrimaryTiles(bytes.data(), n).has_value();
    EXPECT_EQ(accepted, 0u);
    // Flips anywhere in 'meta' may still read as a grid; they must not crash,
    // and whatever reads must decode or be refused.
    for (size_t at = 0; at < 4096 && at < bytes.size(); at += 13) {
        auto flipped = bytes;
        flipped[at] ^= 0xA5;
        if (auto g = conv::readPrimaryTiles(flipped.data(), flipped.size())) {
            std::vector<uint8_t> planes;
            const uint64_t w = g->shownWidth(), h = g->shownHeight();
            if (w * h < 50'000'000 && conv::decodeTilesYcc420(*g, 2, planes)) {
                EXPECT_EQ(planes.size(), w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2)) << "flip at " << at;
            }
        }
    }
}

}  // namespace
