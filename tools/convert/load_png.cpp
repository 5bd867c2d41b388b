// PNG input through libpng: every colour type to 8- or 16-bit RGB(A), with iCCP,
// eXIf (its Orientation applied, as browsers do) and the XMP iTXt chunk.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/orient.h"
#include "tools/convert/png_structs.h"

namespace conv {

namespace {

// libpng reports errors by longjmp, which must never leave a C++ frame with
// something to destroy, nor a catch handler. So every libpng call that can fail
// is made from a shim below, whose frame holds the setjmp and nothing with a
// destructor; the callbacks that libpng jumps out of hold nothing either.
// libpng's complaint is kept in ReadCtx and thrown once libpng is left behind.
struct ReadCtx {
    const uint8_t* data = nullptr;
    size_t size = 0, pos = 0;
    char message[200] = {};
};

void onRead(png_structp png, png_bytep out, png_size_t len) {
    auto* ctx = static_cast<ReadCtx*>(png_get_io_ptr(png));
    if (len > ctx->size - ctx->pos) png_error(png, "the file ends early (truncated)");
    std::memcpy(out, ctx->data + ctx->pos, len);
    ctx->pos += len;
}

struct PngLayout {
    png_uint_32 width, height;
    int depth, colourType;
    int channels;     // after the transformations
    size_t rowBytes;  // after the transformations
};

// Shim: the chunks before the pixels, read. False when libpng failed.
bool pngReadHead(png_structp png, png_infop info, ReadCtx* ctx, PngLayout* out) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_read_fn(png, ctx, onRead);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_crc_action(png, PNG_CRC_DEFAULT, PNG_CRC_WARN_DISCARD);
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &out->width, &out->height, &out->depth, &out->colourType, &interlace, nullptr, nullptr);
    return true;
}

// Shim: every colour type to 8- or 16-bit RGB(A) in native byte order. False
// when libpng failed.
bool pngSetUpRgb(png_structp png, png_infop info, PngLayout* l) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (l->colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (l->colourType == PNG_COLOR_TYPE_GRAY || l->colourType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (l->depth < 8) png_set_expand(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (l->depth == 16) {
        uint16_t probe = 1;
        if (*reinterpret_cast<uint8_t*>(&probe) == 1) png_set_swap(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    l->channels = png_get_channels(png, info);
    l->rowBytes = png_get_rowbytes(png, info);
    return true;
}

// Shim: the pixels and the chunks after them. False when libpng failed.
bool pngReadPixels(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_image(png, rows);
    png_read_end(png, info);
    return true;
}

}  // namespace

Image loadPng(const InputFile& in, const LoadOptions& opt) {
    ReadCtx ctx;
    ctx.data = in.bytes.data();
    ctx.size = in.bytes.size();
    PngReader reader(ctx);
    if (!reader.valid()) inputError(in.path, "out of memory");
    png_structp png = reader.png();
    png_infop info = reader.info();
    auto fail = [&]() { inputError(in.path, std::string("not a readable PNG file: ") + ctx.message); };

    PngLayout l{};
    if (!pngReadHead(png, info, &ctx, &l)) fail();
    checkPixelLimit(l.width, l.height, opt, in.path);
    if (!pngSetUpRgb(png, info, &l)) fail();
    const int bits = l.depth == 16 ? 16 : 8;
    if (l.channels != 3 && l.channels != 4) inputError(in.path, "not a readable PNG file: unexpected channel count");
    Image img;
    img.allocate(l.width, l.height, l.channels, bits);
    const size_t rowBytes = img.rowSamples() * (bits / 8);
    if (l.rowBytes != rowBytes) inputError(in.path, "not a readable PNG file: unexpected row size");
    std::vector<png_bytep> rows(l.height);
    uint8_t* base = bits == 8 ? img.px8.data() : reinterpret_cast<uint8_t*>(img.px16.data());
    for (png_uint_32 y = 0; y < l.height; ++y) rows[y] = base + rowBytes * y;
    if (!pngReadPixels(png, info, rows.data())) fail();

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
    applyOrientation(img, exifOrientation(img.exif));
    return img;
}

}  // namespace conv
