// HEIC/HEIF (and AVIF) through libheif: the primary image with the container's
// crop, rotation and mirroring applied by libheif, grids assembled tile-parallel.
#include <libheif/heif.h>
#include <libheif/heif_items.h>

#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "tools/convert/bytes.h"
#include "tools/convert/colour.h"
#include "tools/convert/exif.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/hdr_transfer.h"
#include "tools/convert/heif_tiles.h"
#include "tools/convert/hevc_decoder.h"
#include "tools/convert/loaders.h"
#include "tools/convert/owned.h"

namespace conv {

namespace {

[[noreturn]] void fail(const InputFile& in, const heif_error& err, const char* doing) {
    // Memory that runs out inside libheif ends as it does in our own code.
    if (err.code == heif_error_Memory_allocation_error) throw ConvertError{kExitLimit, toUtf8(in.path) + ": out of memory"};
    if (err.subcode == heif_suberror_Security_limit_exceeded)
        throw ConvertError{kExitLimit, toUtf8(in.path) + ": the picture is larger than the decoder allows (" +
                                           std::string(err.message ? err.message : "") + ")"};
    inputError(in.path, std::string(doing) + ": " + (err.message ? err.message : "unknown error"));
}

void readMetadata(heif_image_handle* h, Image& img) {
    int n = heif_image_handle_get_number_of_metadata_blocks(h, nullptr);
    if (n <= 0) return;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_metadata_block_IDs(h, nullptr, ids.data(), n);
    for (heif_item_id id : ids) {
        const std::string type = heif_image_handle_get_metadata_type(h, id);
        const char* ct = heif_image_handle_get_metadata_content_type(h, id);
        const std::string content = ct ? ct : "";
        size_t size = heif_image_handle_get_metadata_size(h, id);
        if (size == 0) continue;
        std::vector<uint8_t> block(size);
        if (heif_image_handle_get_metadata(h, id, block.data()).code != heif_error_Ok) continue;
        if (type == "Exif" && img.exif.empty() && size > 4) {
            // The block starts with a 32-bit big-endian offset from its end to the
            // TIFF header (normally 0, or 6 when "Exif\0\0" precedes it).
            const uint32_t skip = be32(block.data());
            if (skip > size - 4) continue;
            std::vector<uint8_t> tiff(block.begin() + 4 + skip, block.end());
            if (normaliseExif(tiff)) img.exif = std::move(tiff);
        } else if (type == "mime" && content == "application/rdf+xml" && img.xmp.empty()) {
            img.xmp = std::move(block);
        }
    }
}

// True when item `from` has an item reference of this type (a four-letter code).
bool hasReference(const heif_context* ctx, heif_item_id from, const char* type) {
    const uint32_t want = be32(reinterpret_cast<const uint8_t*>(type));
    for (int index = 0;; ++index) {
        uint32_t kind = 0;
        heif_item_id* to = nullptr;
        const size_t n = heif_context_get_item_references(ctx, from, index, &kind, &to);
        if (to) heif_release_item_references(ctx, &to);
        if (n == 0) return false;
        if (kind == want) return true;
    }
}

void readColour(heif_image_handle* h, Image& img) {
    heif_color_profile_type t = heif_image_handle_get_color_profile_type(h);
    if (t == heif_color_profile_type_prof || t == heif_color_profile_type_rICC) {
        size_t size = heif_image_handle_get_raw_color_profile_size(h);
        if (size) {
            img.icc.resize(size);
            if (heif_image_handle_get_raw_color_profile(h, img.icc.data()).code != heif_error_Ok) img.icc.clear();
        }
        return;
    }
    heif_color_profile_nclx* raw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(h, &raw).code != heif_error_Ok || !raw) return;
    Owned<heif_nclx_color_profile_free> nclx(raw);
    img.icc = iccFromCicp(int(nclx->color_primaries), int(nclx->transfer_characteristics));
}

// An HDR gain map is decoded on a thread of its own while the picture is:
// another HEVC picture or grid, which would otherwise add its whole time. The
// standard's (ISO 21496-1) where the file has one that can be read and leads up
// from this picture, else Apple's.
std::shared_ptr<GainMap> readGainMapOf(const uint8_t* file, size_t size, std::vector<uint8_t> exif) {
    std::shared_ptr<GainMap> iso = readIsoGainMapOf(file, size);
    if (iso && !iso->leadsDown) return iso;
    return readAppleGainMapOf(file, size, std::move(exif));
}

// A PQ or HLG picture's own SDR rendition: an ISO 21496-1 map that leads down from it.
std::shared_ptr<GainMap> readMapDownOf(const uint8_t* file, size_t size, std::vector<uint8_t>) {
    std::shared_ptr<GainMap> iso = readIsoGainMapOf(file, size);
    return iso && iso->leadsDown ? iso : nullptr;
}

using MapReader = std::shared_ptr<GainMap> (*)(const uint8_t*, size_t, std::vector<uint8_t>);
std::future<std::shared_ptr<GainMap>> startMap(MapReader read, const InputFile& in, std::vector<uint8_t> exif) {
    const uint8_t* file = in.bytes.data();
    const size_t size = in.bytes.size();
    try {
        return std::async(std::launch::async, read, file, size, exif);
    } catch (const std::system_error&) {  // no thread to be had: here, now
        return std::async(std::launch::deferred, read, file, size, std::move(exif));
    }
}

std::future<std::shared_ptr<GainMap>> startGainMap(const InputFile& in, heif_image_handle* h, const LoadOptions& opt) {
    if (!opt.gainMap) return {};
    Image meta;
    readMetadata(h, meta);
    return startMap(readGainMapOf, in, std::move(meta.exif));
}

// The picture as JPEG's YCbCr from the file's own decoded planes.
std::optional<Image> ownYcc420(const InputFile& in, const HeifTiles& tiles, const LoadOptions& opt) {
    checkPixelLimit(tiles.width, tiles.height, opt, in.path);
    Image img;
    if (!decodeTilesYcc420(tiles, opt.threads, img.ycc420)) return std::nullopt;
    img.width = tiles.shownWidth();
    img.height = tiles.shownHeight();
    img.channels = 3;
    img.bits = 8;
    return img;
}

// True when libheif's 8-bit planes of the picture can be made JPEG's, as far as
// the headers tell before decoding: the file's nclx box, else the HEVC stream's.
bool libheifPlanesConvertible(heif_image_handle* handle, const std::optional<HeifTiles>& tiles) {
    heif_color_profile_nclx* raw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &raw).code == heif_error_Ok && raw) {
        Owned<heif_nclx_color_profile_free> nclx(raw);
        return planesConvertible(int(nclx->matrix_coefficients));
    }
    if (tiles)
        for (const HeifTiles::Tile& t : tiles->tiles)
            if (!planesConvertible(t.codedMatrix())) return false;
    return true;
}

// How the picture is coded for HDR screens, when its values are PQ- or HLG-coded,
// as far as the headers tell: the file's nclx box, else the HEVC stream's VUI.
std::optional<HdrCoding> hdrCodingOf(heif_image_handle* handle, const std::optional<HeifTiles>& tiles) {
    HdrCoding c;
    heif_color_profile_nclx* raw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &raw).code == heif_error_Ok && raw) {
        Owned<heif_nclx_color_profile_free> nclx(raw);
        c.primaries = int(nclx->color_primaries);
        c.transfer = int(nclx->transfer_characteristics);
    } else if (tiles && tiles->tiles.front().format) {
        c.primaries = tiles->tiles.front().format->primaries;
        c.transfer = tiles->tiles.front().format->transfer;
    } else {
        return std::nullopt;
    }
    if (!isHdrTransfer(c.transfer)) return std::nullopt;
    heif_mastering_display_colour_volume mdcv{};
    heif_decoded_mastering_display_colour_volume decoded{};
    if (c.transfer == kTransferPq && heif_image_handle_get_mastering_display_colour_volume(handle, &mdcv) &&
        heif_mastering_display_colour_volume_decode(&mdcv, &decoded).code == heif_error_Ok &&
        decoded.max_display_mastering_luminance > kSdrWhiteNits)
        c.peakNits = std::min(decoded.max_display_mastering_luminance, 10000.0);
    return c;
}

// The same through libheif, for the files our own decoding leaves to it. libheif
// hands over 4:2:0 planes as they were coded, in the picture's own matrix and
// range, made JPEG's here; nothing when the matrix is not one we convert, and
// the caller decodes to RGB instead.
std::optional<Image> libheifYcc420(const InputFile& in, heif_image_handle* handle, const LoadOptions& opt) {
    Owned<heif_decoding_options_free> dopt(heif_decoding_options_alloc());
    heif_image* rawImage = nullptr;
    heif_error err = heif_decode_image(handle, &rawImage, heif_colorspace_YCbCr, heif_chroma_420, dopt.get());
    if (err.code != heif_error_Ok) fail(in, err, "cannot decode the picture");
    Owned<heif_image_release> himg(rawImage);
    int matrix = 2;
    bool fullRange = true;
    heif_color_profile_nclx* rawNclx = nullptr;
    if (heif_image_get_nclx_color_profile(himg.get(), &rawNclx).code == heif_error_Ok && rawNclx) {
        Owned<heif_nclx_color_profile_free> nclx(rawNclx);
        matrix = int(nclx->matrix_coefficients);
        fullRange = nclx->full_range_flag != 0;
        if (!planesConvertible(matrix)) return std::nullopt;
    }
    const int w = heif_image_get_width(himg.get(), heif_channel_Y);
    const int h = heif_image_get_height(himg.get(), heif_channel_Y);
    checkPixelLimit(uint64_t(std::max(w, 0)), uint64_t(std::max(h, 0)), opt, in.path);
    const size_t cw = (size_t(w) + 1) / 2, ch = (size_t(h) + 1) / 2;
    Image img;
    img.width = uint32_t(w);
    img.height = uint32_t(h);
    img.channels = 3;
    img.bits = 8;
    img.ycc420.resize(size_t(w) * h + 2 * cw * ch);
    uint8_t* dst = img.ycc420.data();
    const heif_channel planes[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int k = 0; k < 3; ++k) {
        const size_t pw = k ? cw : size_t(w), ph = k ? ch : size_t(h);
        int stride = 0;
        const uint8_t* src = heif_image_get_plane_readonly(himg.get(), planes[k], &stride);
        if (!src || heif_image_get_width(himg.get(), planes[k]) < int(pw) ||
            heif_image_get_height(himg.get(), planes[k]) < int(ph))
            inputError(in.path, "the decoder returned incomplete pixels");
        for (size_t y = 0; y < ph; ++y) std::memcpy(dst + y * pw, src + size_t(stride) * y, pw);
        dst += pw * ph;
    }
    makeJpegYcc420(img.ycc420.data(), size_t(w), size_t(h), matrix, fullRange, opt.threads);
    return img;
}

// A PQ or HLG picture of more than 8 bits made SDR straight from libheif's YCbCr planes
// as coded (libheif's own conversion to RGB would take longer than the decoding);
// nothing when the planes are not 4:2:0, 4:2:2 or 4:4:4, and the caller decodes to RGB.
// `down` (when valid) gives the file's own map leading down from the picture, taken once
// the picture is decoded, so that both are decoded side by side.
std::optional<Image> sdrFromHdrPlanes(const InputFile& in, heif_image_handle* handle, const HdrCoding& hdr,
                                      std::future<std::shared_ptr<GainMap>>& down, const LoadOptions& opt) {
    Owned<heif_decoding_options_free> dopt(heif_decoding_options_alloc());
    heif_image* rawImage = nullptr;
    heif_error err = heif_decode_image(handle, &rawImage, heif_colorspace_YCbCr, heif_chroma_undefined, dopt.get());
    if (err.code != heif_error_Ok) fail(in, err, "cannot decode the picture");
    Owned<heif_image_release> himg(rawImage);
    YccPlanes planes;
    switch (heif_image_get_chroma_format(himg.get())) {
        case heif_chroma_420: planes.shiftX = planes.shiftY = 1; break;
        case heif_chroma_422: planes.shiftX = 1; planes.shiftY = 0; break;
        case heif_chroma_444: planes.shiftX = planes.shiftY = 0; break;
        default: return std::nullopt;
    }
    heif_color_profile_nclx* rawNclx = nullptr;
    if (heif_image_get_nclx_color_profile(himg.get(), &rawNclx).code == heif_error_Ok && rawNclx) {
        Owned<heif_nclx_color_profile_free> nclx(rawNclx);
        planes.matrix = int(nclx->matrix_coefficients);
        planes.fullRange = nclx->full_range_flag != 0;
    }
    const int w = heif_image_get_width(himg.get(), heif_channel_Y);
    const int h = heif_image_get_height(himg.get(), heif_channel_Y);
    checkPixelLimit(uint64_t(std::max(w, 0)), uint64_t(std::max(h, 0)), opt, in.path);
    planes.width = uint32_t(w);
    planes.height = uint32_t(h);
    planes.bits = heif_image_get_bits_per_pixel_range(himg.get(), heif_channel_Y);
    if (planes.bits <= 8 || planes.bits > 16) return std::nullopt;
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int k = 0; k < 3; ++k) {
        int stride = 0;
        const uint8_t* p = heif_image_get_plane_readonly(himg.get(), channels[k], &stride);
        const int pw = (w + (k ? (1 << planes.shiftX) - 1 : 0)) >> (k ? planes.shiftX : 0);
        const int ph = (h + (k ? (1 << planes.shiftY) - 1 : 0)) >> (k ? planes.shiftY : 0);
        if (!p || heif_image_get_width(himg.get(), channels[k]) < pw ||
            heif_image_get_height(himg.get(), channels[k]) < ph ||
            heif_image_get_bits_per_pixel_range(himg.get(), channels[k]) != planes.bits)
            inputError(in.path, "the decoder returned incomplete pixels");
        planes.plane[k] = reinterpret_cast<const uint16_t*>(p);
        planes.stride[k] = size_t(stride) / 2;
    }
    const std::shared_ptr<GainMap> map = down.valid() ? down.get() : nullptr;
    return hdrPlanesToSdr(planes, hdr, opt.gainMap, opt.threads, map.get(), opt.allowYcc420);
}

// The same from our own decoding of a single picture of more than 8 bits, straight from
// the decoder's planes (libheif would copy them once more); nothing when the picture is
// not one our decoding takes.
std::optional<Image> sdrFromOwnPlanes(const InputFile& in, const HeifTiles& tiles, const HdrCoding& hdr,
                                      std::future<std::shared_ptr<GainMap>>& down, const LoadOptions& opt) {
    if (tiles.tiles.size() != 1 || !tiles.tiles[0].format || tiles.tiles[0].format->lumaBits <= 8) return std::nullopt;
    checkPixelLimit(tiles.width, tiles.height, opt, in.path);
    std::optional<Image> img;
    withSinglePicture(tiles, opt.threads, [&](const DecodedPicture& d) {
        YccPlanes planes;
        planes.width = d.width;
        planes.height = d.height;
        planes.bits = d.bits;
        planes.shiftX = d.chromaFormat == 3 ? 0 : 1;
        planes.shiftY = d.chromaFormat == 1 ? 1 : 0;
        planes.matrix = d.matrix;
        planes.fullRange = d.fullRange;
        for (int k = 0; k < 3; ++k) {
            planes.plane[k] = reinterpret_cast<const uint16_t*>(d.plane[k]);
            planes.stride[k] = d.stride[k] / 2;
        }
        const std::shared_ptr<GainMap> map = down.valid() ? down.get() : nullptr;
        img = hdrPlanesToSdr(planes, hdr, opt.gainMap, opt.threads, map.get(), opt.allowYcc420);
    });
    return img;
}

Owned<heif_context_free> openContext(const InputFile& in, const LoadOptions& opt) {
    Owned<heif_context_free> ctx(heif_context_alloc());
    if (!ctx) inputError(in.path, "out of memory");
    heif_context_set_max_decoding_threads(ctx.get(), std::max(1, opt.threads));
    // Our pixel limit decides what is too large. libheif's own block limit (512 MB) is
    // below a plane of a picture at that limit (16 bits with alpha: 8 bytes a pixel).
    heif_security_limits limits = *heif_context_get_security_limits(ctx.get());
    limits.max_memory_block_size = std::max<uint64_t>(limits.max_memory_block_size, opt.maxPixels * 8 + (64u << 20));
    heif_context_set_security_limits(ctx.get(), &limits);
    // A single picture is decoded on every core; a grid's tiles already are, one per core.
    useHevcWorkers(primaryItemIsGrid(in.bytes.data(), in.bytes.size()) ? 0 : std::max(1, opt.threads));
    heif_error err = heif_context_read_from_memory_without_copy(ctx.get(), in.bytes.data(), in.bytes.size(), nullptr);
    if (err.code != heif_error_Ok) fail(in, err, "not a readable HEIF file");
    return ctx;
}

// The primary picture, refused when it cannot be decoded on its own or when its
// coded size (which decides the memory the decoder needs) is over the limit.
Owned<heif_image_handle_release> primaryPicture(const InputFile& in, heif_context* ctx, const LoadOptions& opt) {
    heif_image_handle* rawHandle = nullptr;
    const heif_error err = heif_context_get_primary_image_handle(ctx, &rawHandle);
    if (err.code != heif_error_Ok) fail(in, err, "no primary image");
    Owned<heif_image_handle_release> handle(rawHandle);
    // A picture predicted from another item cannot be decoded on its own: the decoder
    // would stand grey in for the missing reference and the result would not be the photo.
    if (hasReference(ctx, heif_image_handle_get_item_id(handle.get()), "pred"))
        inputError(in.path, "the picture is predicted from another picture in the file, which is not supported");
    int iw = heif_image_handle_get_ispe_width(handle.get());
    int ih = heif_image_handle_get_ispe_height(handle.get());
    if (iw <= 0 || ih <= 0) {
        iw = heif_image_handle_get_width(handle.get());
        ih = heif_image_handle_get_height(handle.get());
    }
    checkPixelLimit(uint64_t(std::max(iw, 0)), uint64_t(std::max(ih, 0)), opt, in.path);
    return handle;
}

// Interleaved RGB(A) through libheif: 8-bit pictures as they are, deeper ones
// widened to 16 bits.
Image decodeRgb(const InputFile& in, heif_image_handle* handle, const LoadOptions& opt) {
    const bool alpha = heif_image_handle_has_alpha_channel(handle) != 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                              : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    Owned<heif_decoding_options_free> dopt(heif_decoding_options_alloc());
    dopt->ignore_transformations = 0;
    dopt->convert_hdr_to_8bit = 0;
    heif_image* rawImage = nullptr;
    const heif_error err = heif_decode_image(handle, &rawImage, heif_colorspace_RGB, chroma, dopt.get());
    if (err.code != heif_error_Ok) fail(in, err, "cannot decode the picture");
    Owned<heif_image_release> himg(rawImage);

    const int w = heif_image_get_width(himg.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(himg.get(), heif_channel_interleaved);
    checkPixelLimit(uint64_t(std::max(w, 0)), uint64_t(std::max(h, 0)), opt, in.path);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(himg.get(), heif_channel_interleaved, &stride);
    if (!plane) inputError(in.path, "the decoder returned no pixels");

    Image img;
    const int ch = alpha ? 4 : 3;
    img.allocate(uint32_t(w), uint32_t(h), ch, deep ? 16 : 8);
    const size_t row = size_t(w) * ch;
    if (!deep) {
        if (size_t(stride) == row) std::memcpy(img.px8.data(), plane, row * h);
        else
            for (int y = 0; y < h; ++y) std::memcpy(img.px8.data() + row * y, plane + size_t(stride) * y, row);
        return img;
    }
    // Samples come as 'bits'-bit values in 16-bit words; widen to the full range
    // by repeating the top bits into the bottom (1023 -> 65535, 512 -> 32800).
    const int b = heif_image_get_bits_per_pixel_range(himg.get(), heif_channel_interleaved);
    const int up = 16 - (b > 0 && b <= 16 ? b : 16);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = plane + size_t(stride) * y;
        uint16_t* d = img.px16.data() + row * y;
        for (size_t i = 0; i < row; ++i) {
            const uint32_t v = le16(s + 2 * i);
            d[i] = up ? uint16_t(v << up | v >> (b - up)) : uint16_t(v);
        }
    }
    return img;
}

}  // namespace

Image loadHeif(const InputFile& in, const LoadOptions& opt) {
    const Owned<heif_context_free> ctx = openContext(in, opt);
    const Owned<heif_image_handle_release> handle = primaryPicture(in, ctx.get(), opt);
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());

    // Deeper pictures (cameras write 10 bits, often 4:2:2) are rounded to 8
    // bits in YCbCr by our own decoding; when it cannot take them they go the
    // 16-bit RGB way, as libheif's planes would keep their depth.
    // The road is chosen from the headers, so that the picture is decoded once.
    // PQ and HLG pictures are made SDR from their light, in RGB.
    std::optional<Image> img;
    const std::optional<HeifTiles> tiles = readPrimaryTiles(in.bytes.data(), in.bytes.size());
    const std::optional<HdrCoding> hdr = hdrCodingOf(handle.get(), tiles);
    // A PQ or HLG picture may carry its own way down to SDR, which is needed whatever the
    // output; any other picture may carry a way up, needed only for a gain map.
    std::future<std::shared_ptr<GainMap>> gainMap, mapDown;
    if (hdr) mapDown = startMap(readMapDownOf, in, {});
    else gainMap = startGainMap(in, handle.get(), opt);
    if (opt.allowYcc420 && !alpha && bits >= 8 && !hdr) {
        if (tiles && ownDecoderTakes(*tiles)) img = ownYcc420(in, *tiles, opt);
        if (!img && bits == 8 && libheifPlanesConvertible(handle.get(), tiles))
            img = libheifYcc420(in, handle.get(), opt);
    }
    if (hdr && !alpha && bits > 8 && tiles) img = sdrFromOwnPlanes(in, *tiles, *hdr, mapDown, opt);
    if (hdr && !alpha && bits > 8 && !img) img = sdrFromHdrPlanes(in, handle.get(), *hdr, mapDown, opt);
    const bool madeSdr = img && hdr;
    if (!img) img = decodeRgb(in, handle.get(), opt);
    if (!madeSdr) readColour(handle.get(), *img);
    if (hdr && !madeSdr) {
        const std::shared_ptr<GainMap> down = mapDown.valid() ? mapDown.get() : nullptr;
        hdrToSdr(*img, *hdr, opt.gainMap, opt.threads, down.get());
    }
    readMetadata(handle.get(), *img);
    if (gainMap.valid()) img->gainMap = gainMap.get();
    return std::move(*img);
}

}  // namespace conv
