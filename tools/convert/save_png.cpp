// PNG through libpng. Every row uses one filter, chosen once per picture by
// trying the candidates on a sample of rows, then zlib at a level that follows
// -quality (see pngEffort).
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>

#include "tools/convert/png_effort.h"
#include "tools/convert/savers.h"

namespace conv {

namespace {

struct WriteCtx {
    OutFile* out;
    std::string error;
};

void onWrite(png_structp png, png_bytep data, png_size_t len) {
    auto* ctx = static_cast<WriteCtx*>(png_get_io_ptr(png));
    try {
        ctx->out->write(data, len);
    } catch (const ConvertError& e) {
        ctx->error = e.message;
        png_error(png, "write failed");
    }
}
void onFlush(png_structp) {}
void onError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<WriteCtx*>(png_get_error_ptr(png));
    if (ctx && ctx->error.empty()) ctx->error = msg;
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

}  // namespace

void savePng(const Image& img, const SaveOptions& opt, OutFile& out) {
    const PngEffort effort = pngEffort(opt.quality, opt.qualityGiven);
    const int filter = choosePngFilter(img, effort);

    WriteCtx ctx{&out, {}};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, onError, onWarning);
    if (!png) throw ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": out of memory"};
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw ConvertError{kExitOutput, ctx.error.find(toUtf8(out.finalPath())) == 0
                                            ? ctx.error
                                            : toUtf8(out.finalPath()) + ": " + ctx.error};
    }
    png_set_write_fn(png, &ctx, onWrite, onFlush);
    png_set_IHDR(png, info, img.width, img.height, img.bits, img.channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!img.icc.empty())
        png_set_iCCP(png, info, "ICC profile", PNG_COMPRESSION_TYPE_BASE, img.icc.data(), png_uint_32(img.icc.size()));
    if (!img.exif.empty())
        png_set_eXIf_1(png, info, png_uint_32(img.exif.size()), const_cast<png_bytep>(img.exif.data()));
    std::string xmp(img.xmp.begin(), img.xmp.end());
    png_text text{};
    if (!xmp.empty()) {
        text.compression = PNG_ITXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("XML:com.adobe.xmp");
        text.text = xmp.data();
        text.itxt_length = xmp.size();
        text.lang = const_cast<char*>("");
        text.lang_key = const_cast<char*>("");
        png_set_text(png, info, &text, 1);
    }
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filter);
    png_set_compression_level(png, effort.zlibLevel);
    png_set_compression_strategy(png, effort.strategy);
    png_set_compression_buffer_size(png, 1 << 18);
    png_write_info(png, info);
    if (img.bits == 16) {
        uint16_t probe = 1;
        if (*reinterpret_cast<uint8_t*>(&probe) == 1) png_set_swap(png);  // PNG is big-endian
    }
    rows.resize(img.height);
    const size_t rowBytes = img.rowSamples() * (img.bits / 8);
    const uint8_t* base = img.bits == 8 ? img.px8.data() : reinterpret_cast<const uint8_t*>(img.px16.data());
    for (uint32_t y = 0; y < img.height; ++y) rows[y] = const_cast<png_bytep>(base + rowBytes * y);
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
}

}  // namespace conv
