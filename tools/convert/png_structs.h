// libpng's read or write struct with its info struct, made and freed together,
// for the PNG loader and saver. libpng reports errors by longjmp: the error
// callback keeps libpng's complaint in the context's `message` (the first one
// only) and jumps back to the shim that called libpng; warnings are dropped.
#pragma once

#include <png.h>

#include <cstdio>

namespace conv {

template <typename Ctx>
void keepPngError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<Ctx*>(png_get_error_ptr(png));
    if (ctx && !ctx->message[0]) std::snprintf(ctx->message, sizeof ctx->message, "%s", msg ? msg : "libpng error");
    png_longjmp(png, 1);
}

inline void dropPngWarning(png_structp, png_const_charp) {}

enum class PngDirection { Read, Write };

template <PngDirection Direction>
class PngStructs {
public:
    // ctx has a char message[N]; it must outlive these structs.
    template <typename Ctx>
    explicit PngStructs(Ctx& ctx) {
        if constexpr (Direction == PngDirection::Read)
            png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, keepPngError<Ctx>, dropPngWarning);
        else
            png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, &ctx, keepPngError<Ctx>, dropPngWarning);
        if (png_) info_ = png_create_info_struct(png_);
    }
    ~PngStructs() {
        if constexpr (Direction == PngDirection::Read) png_destroy_read_struct(&png_, &info_, nullptr);
        else png_destroy_write_struct(&png_, &info_);
    }
    PngStructs(const PngStructs&) = delete;
    PngStructs& operator=(const PngStructs&) = delete;
    bool valid() const { return png_ && info_; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

using PngReader = PngStructs<PngDirection::Read>;
using PngWriter = PngStructs<PngDirection::Write>;

}  // namespace conv
