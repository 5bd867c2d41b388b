// A libheif decoder plugin for HEVC on libde265. It differs from the binding
// libheif ships in one way only: the number of worker threads per picture.
// The data libheif pushes is a run of NAL units, each preceded by its length
// as a 32-bit big-endian number (the parameter sets from 'hvcC' first).
#include "tools/convert/hevc_decoder.h"

#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace conv {

namespace {

std::atomic<int> gWorkers{0};

struct Decoder {
    de265_decoder_context* ctx = nullptr;
    bool strict = false;
};

constexpr heif_error kOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};

heif_error pluginError(heif_suberror_code sub, const char* message) {
    return {heif_error_Decoder_plugin_error, sub, message};
}

const char* pluginName() { return "libde265 HEVC decoder (multi-threaded)"; }

void initPlugin() { de265_init(); }

void deinitPlugin() { de265_free(); }

int supports(heif_compression_format format) {
    // Above the built-in binding's 100, so libheif picks this one.
    return format == heif_compression_HEVC ? 200 : 0;
}

heif_error newDecoder(void** out) {
    auto* d = new Decoder;
    d->ctx = de265_new_decoder();
    if (!d->ctx) {
        delete d;
        return pluginError(heif_suberror_Unspecified, "cannot create an HEVC decoder");
    }
    const int workers = gWorkers.load();
    // Without worker threads libde265 decodes everything on the calling thread.
    if (workers > 0 && !de265_isOK(de265_start_worker_threads(d->ctx, workers)))
        de265_start_worker_threads(d->ctx, 1);
    *out = d;
    return kOk;
}

void freeDecoder(void* raw) {
    auto* d = static_cast<Decoder*>(raw);
    de265_free_decoder(d->ctx);
    delete d;
}

void setStrict(void* raw, int flag) { static_cast<Decoder*>(raw)->strict = flag != 0; }

heif_error pushData(void* raw, const void* data, size_t size) {
    auto* d = static_cast<Decoder*>(raw);
    const auto* p = static_cast<const uint8_t*>(data);
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return pluginError(heif_suberror_End_of_data, "the HEVC data ends inside a length field");
        const uint32_t n = uint32_t(p[at]) << 24 | uint32_t(p[at + 1]) << 16 | uint32_t(p[at + 2]) << 8 | p[at + 3];
        at += 4;
        if (n > size - at || n > 0x7fffffffu)
            return pluginError(heif_suberror_End_of_data, "an HEVC unit is longer than the data holding it");
        // Units shorter than their two-byte header are refused by libde265 itself.
        de265_push_NAL(d->ctx, p + at, int(n), 0, nullptr);
        at += n;
    }
    return kOk;
}

// Copies a decoded picture into a new libheif image: planar YCbCr, or one plane
// for a monochrome picture (an alpha or depth image).
heif_error toHeifImage(const de265_image* pic, heif_image** out) {
    const de265_chroma chroma = de265_get_chroma_format(pic);
    const bool mono = chroma == de265_chroma_mono;
    heif_chroma hc = heif_chroma_monochrome;
    if (chroma == de265_chroma_420) hc = heif_chroma_420;
    else if (chroma == de265_chroma_422) hc = heif_chroma_422;
    else if (chroma == de265_chroma_444) hc = heif_chroma_444;
    heif_image* img = nullptr;
    heif_error err = heif_image_create(de265_get_image_width(pic, 0), de265_get_image_height(pic, 0),
                                       mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr, hc, &img);
    if (err.code != heif_error_Ok) return err;

    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    const int bits = de265_get_bits_per_pixel(pic, 0);
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int w = de265_get_image_width(pic, c), h = de265_get_image_height(pic, c);
        if (de265_get_bits_per_pixel(pic, c) != bits) {
            heif_image_release(img);
            return {heif_error_Unsupported_feature, heif_suberror_Unsupported_color_conversion,
                    "the picture's planes have different bit depths"};
        }
        if (w <= 0 || h <= 0) {
            heif_image_release(img);
            return pluginError(heif_suberror_Invalid_image_size, "the decoder returned an empty plane");
        }
        err = heif_image_add_plane(img, channels[c], w, h, bits);
        if (err.code != heif_error_Ok) {
            heif_image_release(img);
            return err;
        }
        int srcStride = 0, dstStride = 0;
        const uint8_t* src = de265_get_image_plane(pic, c, &srcStride);
        uint8_t* dst = heif_image_get_plane(img, channels[c], &dstStride);
        const size_t row = size_t(w) * size_t((bits + 7) / 8);
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + size_t(dstStride) * size_t(y), src + size_t(srcStride) * size_t(y), row);
    }

    // The stream's own colour description; libheif replaces it with the
    // container's when the file has one. Values the setters refuse stay unset.
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
        heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(de265_get_image_colour_primaries(pic)));
        heif_nclx_color_profile_set_transfer_characteristics(nclx,
                                                             uint16_t(de265_get_image_transfer_characteristics(pic)));
        heif_nclx_color_profile_set_matrix_coefficients(nclx, uint16_t(de265_get_image_matrix_coefficients(pic)));
        nclx->full_range_flag = uint8_t(de265_get_image_full_range_flag(pic) != 0);
        heif_image_set_nclx_color_profile(img, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    *out = img;
    return kOk;
}

heif_error decodeImage(void* raw, heif_image** out) {
    auto* d = static_cast<Decoder*>(raw);
    *out = nullptr;
    de265_flush_data(d->ctx);
    heif_error result = kOk;
    int more = 1;
    while (more) {
        more = 0;
        const de265_error e = de265_decode(d->ctx, &more);
        if (e != DE265_OK) break;
        if (const de265_image* pic = de265_get_next_picture(d->ctx)) {
            // An item holds one picture; should a stream carry more, the last one counts.
            if (*out) heif_image_release(*out);
            *out = nullptr;
            result = toHeifImage(pic, out);
            de265_release_next_picture(d->ctx);
            if (result.code != heif_error_Ok) return result;
        }
    }
    if (!*out) return pluginError(heif_suberror_Unspecified, "the HEVC data holds no complete picture");
    if (d->strict && de265_get_warning(d->ctx) != DE265_OK) {
        heif_image_release(*out);
        *out = nullptr;
        return pluginError(heif_suberror_Unspecified, "the HEVC data is damaged");
    }
    return kOk;
}

const heif_decoder_plugin kPlugin = {
    3,           pluginName, initPlugin,  deinitPlugin, supports, newDecoder, freeDecoder, pushData,
    decodeImage, setStrict,  "libde265-mt",
};

// One ISO BMFF box: its type and payload. size 1 means a 64-bit size follows,
// size 0 runs to the end of the enclosing data.
struct Box {
    uint32_t type = 0;
    const uint8_t* body = nullptr;
    size_t size = 0;
};

uint32_t be(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

constexpr uint32_t fourcc(const char (&s)[5]) { return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 | uint8_t(s[3]); }

// Calls f(box) for each box in [p, p + n) until f returns true or the data ends or breaks.
template <class F>
bool eachBox(const uint8_t* p, size_t n, F&& f) {
    while (n >= 8) {
        uint64_t size = be(p, 4);
        size_t header = 8;
        if (size == 1) {
            if (n < 16) return false;
            size = uint64_t(be(p + 8, 4)) << 32 | be(p + 12, 4);
            header = 16;
        } else if (size == 0) {
            size = n;
        }
        if (size < header || size > n) return false;
        if (f(Box{be(p + 4, 4), p + header, size_t(size) - header})) return true;
        p += size;
        n -= size_t(size);
    }
    return false;
}

}  // namespace

bool primaryItemIsGrid(const uint8_t* data, size_t size) {
    Box meta;
    if (!eachBox(data, size, [&](const Box& b) {
            if (b.type != fourcc("meta")) return false;
            meta = b;
            return true;
        }) ||
        meta.size < 4)
        return false;
    // 'meta' is a full box: version and flags come before its children.
    bool havePrimary = false;
    uint32_t primary = 0;
    Box iinf;
    eachBox(meta.body + 4, meta.size - 4, [&](const Box& b) {
        if (b.type == fourcc("pitm") && b.size >= 6) {
            primary = b.body[0] == 0 ? be(b.body + 4, 2) : (b.size >= 8 ? be(b.body + 4, 4) : 0);
            havePrimary = b.body[0] == 0 || b.size >= 8;
        } else if (b.type == fourcc("iinf")) {
            iinf = b;
        }
        return false;
    });
    if (!havePrimary || iinf.size < 6) return false;
    const size_t countBytes = iinf.body[0] == 0 ? 2 : 4;
    if (iinf.size < 4 + countBytes) return false;
    bool grid = false;
    eachBox(iinf.body + 4 + countBytes, iinf.size - 4 - countBytes, [&](const Box& b) {
        // Item types are named from 'infe' version 2 on: id (16 bits in 2, 32 in 3),
        // protection index, type.
        if (b.type != fourcc("infe") || b.size < 4) return false;
        const int version = b.body[0];
        if (version < 2) return false;
        const size_t idBytes = version == 2 ? 2 : 4;
        if (b.size < 4 + idBytes + 2 + 4) return false;
        if (be(b.body + 4, int(idBytes)) != primary) return false;
        grid = be(b.body + 4 + idBytes + 2, 4) == fourcc("grid");
        return true;
    });
    return grid;
}

void useHevcWorkers(int workers) {
    static std::once_flag registered;
    gWorkers.store(std::clamp(workers, 0, 32));
    std::call_once(registered, [] { heif_register_decoder_plugin(&kPlugin); });
}

}  // namespace conv
