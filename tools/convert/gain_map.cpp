#include "tools/convert/gain_map.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "tools/convert/bytes.h"
#include "tools/convert/exif.h"
#include "tools/convert/heif_boxes.h"
#include "tools/convert/heif_tiles.h"
#include "tools/convert/orient.h"
#include "tools/convert/owned.h"
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
    const size_t count = read16(&m[14], big);
    bool have33 = false, have48 = false;
    for (size_t i = 0; i < count && 16 + 12 * (i + 1) <= m.size(); ++i) {
        const uint8_t* e = &m[16 + 12 * i];
        const uint16_t tag = read16(e, big), type = read16(e + 2, big);
        if ((tag != 33 && tag != 48) || read32(e + 4, big) != 1) continue;
        double v;
        if (type == 5 || type == 10) {  // (signed) rational, stored at an offset
            const size_t at = read32(e + 8, big);
            if (at > m.size() || m.size() - at < 8) continue;
            const uint32_t n = read32(&m[at], big), d = read32(&m[at + 4], big);
            if (d == 0) continue;
            v = type == 10 ? double(int32_t(n)) / double(int32_t(d)) : double(n) / double(d);
        } else if (type == 11) {  // float, in the entry itself
            const uint32_t bits = read32(e + 8, big);
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

std::optional<double> appleHeadroomOf(const std::vector<uint8_t>& exif) {
    double t33 = 0, t48 = 0;
    if (!appleHeadroomTags(exif, t33, t48)) return std::nullopt;
    const double headroom = appleHeadroom(t33, t48);
    if (!(headroom > 1.0)) return std::nullopt;
    return headroom;
}

void fromAppleMap(GainMap& gm, double headroom) {
    const std::array<uint8_t, 256> toLog = appleToLogTable(headroom);
    for (uint8_t& v : gm.map.px8) v = toLog[v];
    gm.maxLog2[0] = gm.capacityMax = std::log2(headroom);
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

// Applies one turn to a map of any channels: the EXIF orientation that does the same.
void turnMap(Image& m, const HeifTurn& t) {
    static const int kQuarterTurnsAnticlockwise[4] = {1, 8, 3, 6};
    applyOrientation(m, t.mirror ? (t.value ? 2 : 4) : kQuarterTurnsAnticlockwise[t.value & 3]);
}

// A map describes the primary's stored pixels: when it has no turn of its own, it
// takes the primary's, which the caller applies (libheif applies a map's own).
std::vector<HeifTurn> inheritedTurns(const uint8_t* file, size_t fileSize, uint32_t mapItem) {
    const auto geometry = readGeometry(file, fileSize, mapItem);
    if (!geometry || geometry->second.any()) return {};
    return geometry->first.turns;
}

}  // namespace

std::optional<GainMap> readAppleGainMap(heif_image_handle* primary, const uint8_t* file, size_t fileSize,
                                        const std::vector<uint8_t>& exif, uint32_t shownWidth,
                                        uint32_t shownHeight) {
    const std::optional<double> headroom = appleHeadroomOf(exif);
    if (!headroom) return std::nullopt;

    const int filter = LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH;
    const int n = heif_image_handle_get_number_of_auxiliary_images(primary, filter);
    if (n <= 0) return std::nullopt;
    std::vector<heif_item_id> ids(static_cast<size_t>(n));
    heif_image_handle_get_list_of_auxiliary_image_IDs(primary, filter, ids.data(), n);
    for (heif_item_id id : ids) {
        heif_image_handle* raw = nullptr;
        if (heif_image_handle_get_auxiliary_image_handle(primary, id, &raw).code != heif_error_Ok || !raw) continue;
        Owned<heif_image_handle_release> aux(raw);
        if (!isAppleGainMap(aux.get()) || !xmpNamesGainMapVersion(aux.get())) continue;
        // Never larger than the picture, whichever way it is turned (checked
        // before decoding, so a damaged file cannot ask for a huge one).
        const uint32_t longest = std::max(shownWidth, shownHeight);
        const int cw = heif_image_handle_get_width(aux.get()), ch = heif_image_handle_get_height(aux.get());
        if (cw <= 0 || ch <= 0 || uint32_t(cw) > longest || uint32_t(ch) > longest) continue;
        const std::vector<HeifTurn> inherited = inheritedTurns(file, fileSize, id);
        Owned<heif_decoding_options_free> dopt(heif_decoding_options_alloc());
        dopt->ignore_transformations = inherited.empty() ? 0 : 1;
        // libheif turns a one-channel picture into planar RGB most cheaply;
        // the three planes are equal.
        heif_image* rawImage = nullptr;
        if (heif_decode_image(aux.get(), &rawImage, heif_colorspace_RGB, heif_chroma_444, dopt.get()).code !=
                heif_error_Ok ||
            !rawImage)
            continue;
        Owned<heif_image_release> img(rawImage);
        int stride = 0;
        const uint8_t* plane = heif_image_get_plane_readonly(img.get(), heif_channel_G, &stride);
        const int w = heif_image_get_width(img.get(), heif_channel_G), h = heif_image_get_height(img.get(), heif_channel_G);
        if (!plane || w <= 0 || h <= 0) continue;
        GainMap gm;
        gm.map.allocate(uint32_t(w), uint32_t(h), 1, 8);
        for (int y = 0; y < h; ++y) std::memcpy(gm.map.px8.data() + size_t(w) * y, plane + size_t(stride) * y, size_t(w));
        fromAppleMap(gm, *headroom);
        img.reset();
        for (const HeifTurn& t : inherited) turnMap(gm.map, t);
        // A map at most the picture's size, with its proportions (2 % either
        // way): otherwise it cannot be told where it belongs.
        const uint32_t mw = gm.map.width, mh = gm.map.height;
        const double aspect = double(mw) * shownHeight / (double(mh) * shownWidth);
        if (mw > shownWidth || mh > shownHeight || aspect < 0.98 || aspect > 1.02) continue;
        return gm;
    }
    return std::nullopt;
}

std::shared_ptr<GainMap> readAppleGainMapOf(const uint8_t* file, size_t fileSize, std::vector<uint8_t> exif) {
    if (!appleHeadroomOf(exif)) return nullptr;  // most files: no context needed
    Owned<heif_context_free> ctx(heif_context_alloc());
    if (!ctx) return nullptr;
    // One thread: the picture's decoding has the others.
    heif_context_set_max_decoding_threads(ctx.get(), 1);
    heif_image_handle* raw = nullptr;
    if (heif_context_read_from_memory_without_copy(ctx.get(), file, fileSize, nullptr).code != heif_error_Ok ||
        heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok)
        return nullptr;
    Owned<heif_image_handle_release> primary(raw);
    // libheif's size of the primary is the turned one, as the picture comes out.
    const int w = heif_image_handle_get_width(primary.get()), h = heif_image_handle_get_height(primary.get());
    if (w <= 0 || h <= 0) return nullptr;
    auto gm = readAppleGainMap(primary.get(), file, fileSize, exif, uint32_t(w), uint32_t(h));
    return gm ? std::make_shared<GainMap>(std::move(*gm)) : nullptr;
}

void resizeGainMap(GainMap& gm, uint32_t fromW, uint32_t fromH, uint32_t toW, uint32_t toH, int threads) {
    if (fromW == 0 || fromH == 0 || (fromW == toW && fromH == toH)) return;
    auto scaled = [](uint32_t side, uint32_t to, uint32_t from) {
        return uint32_t(std::max(1.0, std::floor(double(side) * to / from + 0.5)));
    };
    resizeImage(gm.map, scaled(gm.map.width, toW, fromW), scaled(gm.map.height, toH, fromH), threads);
}

std::optional<GainMap> gainMapFromBoosts(const std::vector<uint16_t>& steps, uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || steps.size() != size_t(width) * height) return std::nullopt;
    const uint16_t top = *std::max_element(steps.begin(), steps.end());
    if (top < kBoostSteps / 64) return std::nullopt;
    GainMap gm;
    gm.map.allocate(width, height, 1, 8);
    const float scale = 255.0f / top;
    for (size_t i = 0; i < steps.size(); ++i) gm.map.px8[i] = uint8_t(float(steps[i]) * scale + 0.5f);
    gm.maxLog2[0] = gm.capacityMax = double(top) / kBoostSteps;
    return gm;
}

namespace {

// Signed and unsigned fractions over one millionth.
constexpr uint32_t kDenominator = 1000000;
void putFraction(std::vector<uint8_t>& v, double x, bool isSigned) {
    const double n = std::round(x * kDenominator);
    appendBe32(v, isSigned ? uint32_t(int32_t(std::clamp(n, -2147483648.0, 2147483647.0)))
                      : uint32_t(std::clamp(n, 0.0, 4294967295.0)));
    appendBe32(v, kDenominator);
}

}  // namespace

std::vector<uint8_t> iso21496Metadata(const GainMap& gm) {
    constexpr uint8_t kMultiChannel = 0x80, kUseBaseColourSpace = 0x40;
    std::vector<uint8_t> v;
    appendBe16(v, 0);  // minimum version a reader needs
    appendBe16(v, 0);  // writer version
    v.push_back(uint8_t(kUseBaseColourSpace | (gm.channels() == 3 ? kMultiChannel : 0)));  // a denominator per value
    putFraction(v, gm.capacityMin, false);  // base headroom
    putFraction(v, gm.capacityMax, false);  // alternate headroom
    for (size_t c = 0; c < size_t(gm.channels()); ++c) {
        putFraction(v, gm.minLog2[c], true);
        putFraction(v, gm.maxLog2[c], true);
        putFraction(v, gm.gamma[c], false);
        putFraction(v, gm.offsetSdr[c], true);
        putFraction(v, gm.offsetHdr[c], true);
    }
    return v;
}

bool readIso21496Metadata(const uint8_t* data, size_t size, GainMap& gm, int& channels) {
    constexpr uint8_t kMultiChannel = 0x80, kCommonDenominator = 0x08;
    if (size < 5 || be16(data) != 0) return false;  // a version this reader does not know
    const uint8_t flags = data[4];
    size_t at = 5;
    bool ok = true;
    auto word = [&] {
        if (at + 4 > size) {
            ok = false;
            return uint32_t(0);
        }
        at += 4;
        return be32(data + at - 4);
    };
    const bool common = flags & kCommonDenominator;
    const uint32_t shared = common ? word() : 0;
    auto fraction = [&](bool isSigned) {
        const uint32_t n = word(), d = common ? shared : word();
        if (d == 0) ok = false;
        return ok ? (isSigned ? double(int32_t(n)) : double(n)) / d : 0.0;
    };
    GainMap m;
    const double baseHeadroom = fraction(false), alternateHeadroom = fraction(false);
    // Whichever side has the more headroom is the HDR one.
    m.leadsDown = baseHeadroom > alternateHeadroom;
    m.capacityMin = std::min(baseHeadroom, alternateHeadroom);
    m.capacityMax = std::max(baseHeadroom, alternateHeadroom);
    const int n = flags & kMultiChannel ? 3 : 1;
    for (size_t c = 0; c < size_t(n); ++c) {
        m.minLog2[c] = fraction(true);
        m.maxLog2[c] = fraction(true);
        m.gamma[c] = fraction(false);
        const double baseOffset = fraction(true), alternateOffset = fraction(true);
        m.offsetSdr[c] = m.leadsDown ? alternateOffset : baseOffset;
        m.offsetHdr[c] = m.leadsDown ? baseOffset : alternateOffset;
        if (!(m.gamma[c] > 0) || m.maxLog2[c] < m.minLog2[c]) ok = false;
    }
    if (!ok) return false;
    m.map = std::move(gm.map);
    gm = std::move(m);
    channels = n;
    return true;
}

std::shared_ptr<GainMap> readIsoGainMapOf(const uint8_t* file, size_t fileSize) {
    const std::optional<HeifToneMap> tmap = readToneMapItem(file, fileSize);
    // The item's data: a version (0), then the ISO 21496-1 metadata.
    if (!tmap || tmap->metadata.size() < 2 || tmap->metadata[0] != 0) return nullptr;
    GainMap gm;
    int channels = 1;
    if (!readIso21496Metadata(tmap->metadata.data() + 1, tmap->metadata.size() - 1, gm, channels)) return nullptr;

    Owned<heif_context_free> ctx(heif_context_alloc());
    if (!ctx || heif_context_read_from_memory_without_copy(ctx.get(), file, fileSize, nullptr).code != heif_error_Ok)
        return nullptr;
    heif_image_handle* raw = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok || !raw) return nullptr;
    Owned<heif_image_handle_release> primary(raw);
    raw = nullptr;
    if (heif_context_get_image_handle(ctx.get(), tmap->mapItem, &raw).code != heif_error_Ok || !raw) return nullptr;
    Owned<heif_image_handle_release> item(raw);
    const int pw = heif_image_handle_get_width(primary.get()), ph = heif_image_handle_get_height(primary.get());
    const int cw = heif_image_handle_get_width(item.get()), ch = heif_image_handle_get_height(item.get());
    const int longest = std::max(pw, ph);
    if (pw <= 0 || ph <= 0 || cw <= 0 || ch <= 0 || cw > longest || ch > longest) return nullptr;
    const std::vector<HeifTurn> inherited = inheritedTurns(file, fileSize, tmap->mapItem);
    Owned<heif_decoding_options_free> dopt(heif_decoding_options_alloc());
    dopt->ignore_transformations = inherited.empty() ? 0 : 1;
    // One channel as libheif's grey plane; three as interleaved RGB, deeper ones in
    // 16-bit words.
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(item.get()) > 8;
    const heif_colorspace space = channels == 1 ? heif_colorspace_monochrome : heif_colorspace_RGB;
    const heif_chroma chroma = channels == 1 ? heif_chroma_monochrome
                               : deep        ? heif_chroma_interleaved_RRGGBB_LE
                                             : heif_chroma_interleaved_RGB;
    const heif_channel plane = channels == 1 ? heif_channel_Y : heif_channel_interleaved;
    heif_image* rawImage = nullptr;
    if (heif_decode_image(item.get(), &rawImage, space, chroma, dopt.get()).code != heif_error_Ok || !rawImage)
        return nullptr;
    Owned<heif_image_release> img(rawImage);
    int stride = 0;
    const uint8_t* samples = heif_image_get_plane_readonly(img.get(), plane, &stride);
    const int w = heif_image_get_width(img.get(), plane), h = heif_image_get_height(img.get(), plane);
    const int bits = heif_image_get_bits_per_pixel_range(img.get(), plane);
    if (!samples || w <= 0 || h <= 0 || bits < 8 || bits > 16 || (bits > 8) != deep) return nullptr;
    gm.map.allocate(uint32_t(w), uint32_t(h), channels, 8);
    const size_t row = size_t(w) * size_t(channels);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = samples + size_t(stride) * y;
        uint8_t* d = gm.map.px8.data() + row * size_t(y);
        if (bits == 8) std::memcpy(d, s, row);
        else  // deeper maps to 8 bits, rounded
            for (size_t x = 0; x < row; ++x)
                d[x] = uint8_t((uint32_t(le16(s + 2 * x)) * 255 * 2 + ((1u << bits) - 1)) / (2 * ((1u << bits) - 1)));
    }
    img.reset();
    for (const HeifTurn& t : inherited) turnMap(gm.map, t);
    const double aspect = double(gm.map.width) * ph / (double(gm.map.height) * pw);
    if (aspect < 0.98 || aspect > 1.02) return nullptr;
    return std::make_shared<GainMap>(std::move(gm));
}

}  // namespace conv
