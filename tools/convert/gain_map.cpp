#include "tools/convert/gain_map.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "tools/convert/exif.h"
#include "tools/convert/resize.h"

namespace conv {

double appleHeadroom(double tag33, double tag48) {
    // Stops above SDR white: one line in tag 48 for tag 33 below 1, another
    // from 1 up, each bending at tag 48 = 0.01.
    double stops;
    if (tag33 < 1.0)
        stops = tag48 <= 0.01 ? -20.0 * tag48 + 1.8 : -0.101 * tag48 + 1.601;
    else
        stops = tag48 <= 0.01 ? -70.0 * tag48 + 3.0 : -0.303 * tag48 + 2.303;
    return std::exp2(std::max(stops, 0.0));
}

bool appleHeadroomTags(const std::vector<uint8_t>& exif, double& tag33, double& tag48) {
    constexpr uint16_t kTagMakerNote = 0x927C;
    const ExifParts parts = parseExif(exif);
    const TiffEntry* note = findEntry(parts.exif, kTagMakerNote);
    // "Apple iOS\0", a version word, the byte order, then a directory whose
    // offsets count from the maker note's first byte.
    static const char kSig[] = "Apple iOS";
    if (!note || note->value.size() < 16 || std::memcmp(note->value.data(), kSig, sizeof kSig) != 0) return false;
    const std::vector<uint8_t>& m = note->value;
    bool big;
    if (m[12] == 'M' && m[13] == 'M') big = true;
    else if (m[12] == 'I' && m[13] == 'I') big = false;
    else return false;
    const size_t count = tiffU16(&m[14], big);
    bool have33 = false, have48 = false;
    for (size_t i = 0; i < count && 16 + 12 * (i + 1) <= m.size(); ++i) {
        const uint8_t* e = &m[16 + 12 * i];
        const uint16_t tag = tiffU16(e, big), type = tiffU16(e + 2, big);
        if ((tag != 33 && tag != 48) || tiffU32(e + 4, big) != 1) continue;
        double v;
        if (type == 5 || type == 10) {  // (signed) rational, stored at an offset
            const size_t at = tiffU32(e + 8, big);
            if (at > m.size() || m.size() - at < 8) continue;
            const uint32_t n = tiffU32(&m[at], big), d = tiffU32(&m[at + 4], big);
            if (d == 0) continue;
            v = type == 10 ? double(int32_t(n)) / double(int32_t(d)) : double(n) / double(d);
        } else if (type == 11) {  // float, in the entry itself
            const uint32_t bits = tiffU32(e + 8, big);
            float f;
            std::memcpy(&f, &bits, 4);
            v = f;
        } else {
            continue;
        }
        if (!std::isfinite(v)) continue;
        (tag == 33 ? tag33 : tag48) = v;
        (tag == 33 ? have33 : have48) = true;
    }
    return have33 && have48;
}

std::array<uint8_t, 256> appleToLogTable(double headroom) {
    std::array<uint8_t, 256> t{};
    const double range = std::log2(headroom);
    for (int v = 0; v < 256; ++v) {
        // Rec. 709's curve undone gives the linear gain.
        const double e = v / 255.0;
        const double g = e < 0.081 ? e / 4.5 : std::pow((e + 0.099) / 1.099, 1 / 0.45);
        const double r = range > 0 ? std::log2(1 + (headroom - 1) * g) / range : 0;
        t[size_t(v)] = uint8_t(std::lround(std::clamp(r, 0.0, 1.0) * 255));
    }
    return t;
}

namespace {

struct HandleFree { void operator()(heif_image_handle* h) const { heif_image_handle_release(h); } };
struct ImageFree { void operator()(heif_image* i) const { heif_image_release(i); } };

constexpr const char* kAppleGainMapType = "urn:com:apple:photo:2020:aux:hdrgainmap";

bool isAppleGainMap(const heif_image_handle* aux) {
    const char* type = nullptr;
    if (heif_image_handle_get_auxiliary_type(aux, &type).code != heif_error_Ok || !type) return false;
    const bool yes = std::strcmp(type, kAppleGainMapType) == 0;
    heif_image_handle_free_auxiliary_types(aux, &type);
    return yes;
}

bool xmpNamesGainMapVersion(const heif_image_handle* h) {
    const int n = heif_image_handle_get_number_of_metadata_blocks(h, "mime");
    if (n <= 0) return false;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_metadata_block_IDs(h, "mime", ids.data(), n);
    for (heif_item_id id : ids) {
        std::string block(heif_image_handle_get_metadata_size(h, id), '\0');
        if (block.empty() || heif_image_handle_get_metadata(h, id, block.data()).code != heif_error_Ok) continue;
        if (block.find("HDRGainMapVersion") != std::string::npos) return true;
    }
    return false;
}

}  // namespace

std::optional<GainMap> readAppleGainMap(heif_image_handle* primary, const std::vector<uint8_t>& exif,
                                        uint32_t shownWidth, uint32_t shownHeight) {
    double t33 = 0, t48 = 0;
    if (!appleHeadroomTags(exif, t33, t48)) return std::nullopt;
    const double headroom = appleHeadroom(t33, t48);
    if (!(headroom > 1.0)) return std::nullopt;

    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
    const int n = heif_image_handle_get_number_of_auxiliary_images(primary, filter);
    if (n <= 0) return std::nullopt;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_auxiliary_image_IDs(primary, filter, ids.data(), n);
    for (heif_item_id id : ids) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(primary, id, &raw).code != heif_error_Ok || !raw) continue;
        std::unique_ptr<heif_image_handle, HandleFree> aux(raw);
        if (!isAppleGainMap(aux.get()) || !xmpNamesGainMapVersion(aux.get())) continue;
        const int w = heif_image_handle_get_width(aux.get()), h = heif_image_handle_get_height(aux.get());
        // A map at most the picture's size, with its proportions (2 % either
        // way): otherwise it cannot be told where it belongs.
        if (w <= 0 || h <= 0 || uint32_t(w) > shownWidth || uint32_t(h) > shownHeight) continue;
        const double aspect = double(w) * shownHeight / (double(h) * shownWidth);
        if (aspect < 0.98 || aspect > 1.02) continue;
        // libheif turns a one-channel picture into planar RGB most cheaply;
        // the three planes are equal.
        heif_image* rawImage = nullptr;
        if (heif_decode_image(aux.get(), &rawImage, heif_colorspace_RGB, heif_chroma_444, nullptr).code !=
                heif_error_Ok ||
            !rawImage)
            continue;
        std::unique_ptr<heif_image, ImageFree> img(rawImage);
        int stride = 0;
        const uint8_t* plane = heif_image_get_plane_readonly(img.get(), heif_channel_G, &stride);
        if (!plane || heif_image_get_width(img.get(), heif_channel_G) != w ||
            heif_image_get_height(img.get(), heif_channel_G) != h)
            continue;
        GainMap gm;
        gm.map.allocate(uint32_t(w), uint32_t(h), 1, 8);
        const std::array<uint8_t, 256> toLog = appleToLogTable(headroom);
        for (int y = 0; y < h; ++y) {
            const uint8_t* s = plane + size_t(stride) * y;
            uint8_t* d = gm.map.px8.data() + size_t(w) * y;
            for (int x = 0; x < w; ++x) d[x] = toLog[s[x]];
        }
        gm.maxLog2 = gm.capacityMax = std::log2(headroom);
        return gm;
    }
    return std::nullopt;
}

void resizeGainMap(GainMap& gm, uint32_t fromW, uint32_t fromH, uint32_t toW, uint32_t toH, int threads) {
    if (fromW == 0 || fromH == 0 || (fromW == toW && fromH == toH)) return;
    auto scaled = [](uint32_t side, uint32_t to, uint32_t from) {
        return uint32_t(std::max(1.0, std::floor(double(side) * to / from + 0.5)));
    };
    resizeImage(gm.map, scaled(gm.map.width, toW, fromW), scaled(gm.map.height, toH, fromH), threads);
}

std::optional<GainMap> gainMapFromBoosts(const std::vector<float>& log2Boost, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || log2Boost.size() != size_t(width) * height) return std::nullopt;
    float top = 0;
    for (float v : log2Boost)
        if (v > top) top = v;  // NaN compares false and is left out
    const double range = std::min<double>(top, kMaxSceneBoostStops);
    if (!(range >= 1.0 / 64)) return std::nullopt;
    GainMap gm;
    gm.map.allocate(width, height, 1, 8);
    const float scale = float(255 / range);
    for (size_t i = 0; i < log2Boost.size(); ++i) {
        const float b = log2Boost[i];
        const float v = b == b ? std::clamp(b * scale, 0.0f, 255.0f) : 0.0f;  // NaN: no boost
        gm.map.px8[i] = uint8_t(v + 0.5f);
    }
    gm.maxLog2 = gm.capacityMax = range;
    return gm;
}

}  // namespace conv
