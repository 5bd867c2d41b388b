// HevcDecoder, and a libheif decoder plugin on it that differs from the binding
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
#include <limits>
#include <memory>
#include <mutex>
#include <new>

#include "tools/convert/owned.h"

namespace conv {

namespace {
std::atomic<uint64_t> gPicturesDecoded{0};
}  // namespace

uint64_t hevcPicturesDecoded() { return gPicturesDecoded.load(); }

HevcDecoder::HevcDecoder(int workers) {
    de265_decoder_context* ctx = de265_new_decoder();
    if (!ctx) return;
    // Workers that cannot be started (short of memory for their stacks) are done
    // without: the decoder then runs on the ones that did, or on this thread.
    if (workers > 0) de265_start_worker_threads(ctx, workers);
    ctx_ = ctx;
}

HevcDecoder::~HevcDecoder() {
    if (!ctx_) return;
    if (picture_) de265_release_next_picture(ctx_);
    de265_free_decoder(ctx_);
}

void HevcDecoder::pushNal(const uint8_t* data, size_t size) {
    // libde265 refuses units shorter than their two-byte header by itself.
    if (size <= size_t(std::numeric_limits<int>::max())) de265_push_NAL(ctx_, data, int(size), 0, nullptr);
}

bool HevcDecoder::pushLengthPrefixed(const uint8_t* data, size_t size, int lengthBytes) {
    if (lengthBytes < 1 || lengthBytes > 4) return false;
    const size_t lb = size_t(lengthBytes);
    size_t at = 0;
    while (at < size) {
        if (size - at < lb) return false;
        size_t n = 0;
        for (size_t i = 0; i < lb; ++i) n = n << 8 | data[at + i];
        at += lb;
        if (n > size - at) return false;
        pushNal(data + at, n);
        at += n;
    }
    return true;
}

const de265_image* HevcDecoder::decode() {
    if (picture_) return picture_;
    de265_flush_data(ctx_);
    // A picture reaches the output queue once the decoder is done with it; it
    // stays there (and `more` stays set) until it is released.
    int more = 1;
    while (more) {
        more = 0;
        if (de265_decode(ctx_, &more) != DE265_OK) break;
        if ((picture_ = de265_get_next_picture(ctx_))) break;
    }
    if (!picture_) picture_ = de265_get_next_picture(ctx_);
    if (picture_) ++gPicturesDecoded;
    return picture_;
}

bool HevcDecoder::hadWarnings() { return de265_get_warning(ctx_) != DE265_OK; }

namespace {

std::atomic<int> gWorkers{0};

constexpr heif_error kOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};

heif_error pluginError(heif_suberror_code sub, const char* message) {
    return {heif_error_Decoder_plugin_error, sub, message};
}

// libheif keeps the message of an error in the object that failed, and that object
// is released here before libheif reads the message: hand it back with our own.
heif_error withOwnMessage(heif_error err) {
    err.message = err.code == heif_error_Memory_allocation_error ? "out of memory" : "cannot make the decoded picture";
    return err;
}

const char* pluginName() { return "libde265 HEVC decoder (multi-threaded)"; }

void initPlugin() { de265_init(); }

void deinitPlugin() { de265_free(); }

int supports(heif_compression_format format) {
    // Above the built-in binding's 100, so libheif picks this one.
    return format == heif_compression_HEVC ? 200 : 0;
}

struct PluginDecoder {
    HevcDecoder hevc{gWorkers.load()};
    bool strict = false;
};

heif_error newDecoder(void** out) {
    // libheif calls in from C: nothing may be thrown back at it.
    std::unique_ptr<PluginDecoder> d(new (std::nothrow) PluginDecoder);
    if (!d || !d->hevc.valid()) return pluginError(heif_suberror_Unspecified, "cannot create an HEVC decoder");
    *out = d.release();
    return kOk;
}

void freeDecoder(void* raw) { delete static_cast<PluginDecoder*>(raw); }

void setStrict(void* raw, int flag) { static_cast<PluginDecoder*>(raw)->strict = flag != 0; }

heif_error pushData(void* raw, const void* data, size_t size) {
    if (!static_cast<PluginDecoder*>(raw)->hevc.pushLengthPrefixed(static_cast<const uint8_t*>(data), size, 4))
        return pluginError(heif_suberror_End_of_data, "an HEVC unit is longer than the data holding it");
    return kOk;
}

// Copies a decoded picture into a new libheif image: planar YCbCr, or one plane
// for a monochrome picture (an alpha or depth image).
heif_error toHeifImage(const de265_image* pic, heif_image** out) {
    const de265_chroma chroma = de265_get_chroma_format(pic);
    const bool mono = chroma == de265_chroma_mono;
    heif_chroma hc = heif_chroma_monochrome;
    if (chroma == de265_chroma_420)
        hc = heif_chroma_420;
    else if (chroma == de265_chroma_422)
        hc = heif_chroma_422;
    else if (chroma == de265_chroma_444)
        hc = heif_chroma_444;
    heif_image* raw = nullptr;
    heif_error err = heif_image_create(de265_get_image_width(pic, 0), de265_get_image_height(pic, 0),
                                       mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr, hc, &raw);
    if (err.code != heif_error_Ok) return withOwnMessage(err);
    Owned<heif_image_release> img(raw);

    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    const int bits = de265_get_bits_per_pixel(pic, 0);
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        const int w = de265_get_image_width(pic, c), h = de265_get_image_height(pic, c);
        if (de265_get_bits_per_pixel(pic, c) != bits)
            return {heif_error_Unsupported_feature, heif_suberror_Unsupported_color_conversion,
                    "the picture's planes have different bit depths"};
        if (w <= 0 || h <= 0) return pluginError(heif_suberror_Invalid_image_size, "the decoder returned an empty plane");
        err = heif_image_add_plane(img.get(), channels[c], w, h, bits);
        if (err.code != heif_error_Ok) return withOwnMessage(err);
        int srcStride = 0, dstStride = 0;
        const uint8_t* src = de265_get_image_plane(pic, c, &srcStride);
        uint8_t* dst = heif_image_get_plane(img.get(), channels[c], &dstStride);
        const size_t row = size_t(w) * size_t((bits + 7) / 8);
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + size_t(dstStride) * size_t(y), src + size_t(srcStride) * size_t(y), row);
    }

    // The stream's own colour description; libheif replaces it with the
    // container's when the file has one. Values the setters refuse stay unset.
    if (Owned<heif_nclx_color_profile_free> nclx{heif_nclx_color_profile_alloc()}) {
        heif_nclx_color_profile_set_color_primaries(nclx.get(), uint16_t(de265_get_image_colour_primaries(pic)));
        heif_nclx_color_profile_set_transfer_characteristics(nclx.get(),
                                                             uint16_t(de265_get_image_transfer_characteristics(pic)));
        heif_nclx_color_profile_set_matrix_coefficients(nclx.get(), uint16_t(de265_get_image_matrix_coefficients(pic)));
        nclx->full_range_flag = uint8_t(de265_get_image_full_range_flag(pic) != 0);
        heif_image_set_nclx_color_profile(img.get(), nclx.get());
    }
    *out = img.release();
    return kOk;
}

heif_error decodeImage(void* raw, heif_image** out) {
    auto* d = static_cast<PluginDecoder*>(raw);
    *out = nullptr;
    const de265_image* pic = d->hevc.decode();
    if (!pic) return pluginError(heif_suberror_Unspecified, "the HEVC data holds no complete picture");
    if (d->strict && d->hevc.hadWarnings()) return pluginError(heif_suberror_Unspecified, "the HEVC data is damaged");
    return toHeifImage(pic, out);
}

const heif_decoder_plugin kPlugin = {
    3,           pluginName, initPlugin,  deinitPlugin, supports,      newDecoder,
    freeDecoder, pushData,   decodeImage, setStrict,    "libde265-mt",
};

}  // namespace

void useHevcWorkers(int workers) {
    static std::once_flag registered;
    gWorkers.store(std::clamp(workers, 0, 32));
    std::call_once(registered, [] { heif_register_decoder_plugin(&kPlugin); });
}

}  // namespace conv
