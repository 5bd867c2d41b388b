// PNG input through libpng: every colour type to 8- or 16-bit RGB(A), with iCCP,
// eXIf (its Orientation applied, as browsers do) and the XMP iTXt chunk.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/orient.h"

namespace conv {

namespace {

struct ReadCtx {
    const InputFile* in = nullptr;
    size_t pos = 0;
    std::string error;
    bool overLimit = false;
    ConvertError limitError{};
};

void onRead(png_structp png, png_bytep data, png_size_t len) {
    auto* ctx = static_cast<ReadCtx*>(png_get_io_ptr(png));
    if (ctx->pos + len > ctx->in->bytes.size()) png_error(png, "the file ends early (truncated)");
    std::memcpy(data, ctx->in->bytes.data() + ctx->pos, len);
    ctx->pos += len;
}

void onError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<ReadCtx*>(png_get_error_ptr(png));
    ctx->error = msg;
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

}  // namespace

Image loadPng(const InputFile& in, const LoadOptions& opt) {
    ReadCtx ctx;
    ctx.in = &in;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
    if (!png) inputError(in.path, "out of memory");
    png_infop info = png_create_info_struct(png);
    Image img;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        if (ctx.overLimit) throw ctx.limitError;
        inputError(in.path, "not a readable PNG file: " + ctx.error);
    }
    png_set_read_fn(png, &ctx, onRead);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_WARN_DISCARD);
    png_read_info(png, info);
    png_uint_32 w = 0, h = 0;
    int depth = 0, type = 0, interlace = 0;
    png_get_IHDR(png, info, &w, &h, &depth, &type, &interlace, nullptr, nullptr);
    try {
        checkPixelLimit(w, h, opt, in.path);
    } catch (const ConvertError& e) {
        ctx.overLimit = true;
        ctx.limitError = e;
        png_error(png, "limit");
    }
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (depth < 8) png_set_expand(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    const int bits = depth == 16 ? 16 : 8;
    if (bits == 16) {
        uint16_t probe = 1;
        if (*reinterpret_cast<uint8_t*>(&probe) == 1) png_set_swap(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int ch = png_get_channels(png, info);
    if (ch != 3 && ch != 4) png_error(png, "unexpected channel count");
    img.allocate(w, h, ch, bits);
    const size_t rowBytes = img.rowSamples() * (bits / 8);
    if (png_get_rowbytes(png, info) != rowBytes) png_error(png, "unexpected row size");
    rows.resize(h);
    uint8_t* base = bits == 8 ? img.px8.data() : reinterpret_cast<uint8_t*>(img.px16.data());
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = base + rowBytes * y;
    png_read_image(png, rows.data());
    png_read_end(png, info);

    png_charp name = nullptr;
    int comp = 0;
    png_bytep prof = nullptr;
    png_uint_32 profLen = 0;
    if (png_get_iCCP(png, info, &name, &comp, &prof, &profLen) && prof && profLen) img.icc.assign(prof, prof + profLen);
    png_bytep exif = nullptr;
    png_uint_32 exifLen = 0;
    if (png_get_eXIf_1(png, info, &exifLen, &exif) && exif && exifLen) {
        std::vector<uint8_t> t(exif, exif + exifLen);
        if (normaliseExif(t)) img.exif = std::move(t);
    }
    png_textp text = nullptr;
    int numText = 0;
    png_get_text(png, info, &text, &numText);
    for (int i = 0; i < numText; ++i)
        if (text[i].key && std::strcmp(text[i].key, "XML:com.adobe.xmp") == 0 && text[i].text)
            img.xmp.assign(text[i].text, text[i].text + (text[i].itxt_length ? text[i].itxt_length : text[i].text_length));
    png_destroy_read_struct(&png, &info, nullptr);
    applyOrientation(img, exifOrientation(img.exif));
    return img;
}

}  // namespace conv
