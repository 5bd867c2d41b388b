// A background picture: a JPEG decoded by the system's picture loader into a bitmap this
// program owns, with a pattern brush of it for the transparent labels drawn over it.
#pragma once

#include <windows.h>

#include <memory>
#include <string_view>

#include "core/scoped_win.h"

namespace tess {

class Picture {
public:
    // Decodes JPEG bytes (OleLoadPicture); null when they cannot be decoded.
    static std::unique_ptr<Picture> FromJpeg(std::string_view bytes);
    // A JPEG held as RCDATA resource `id` of the program file; null when missing or bad.
    static std::unique_ptr<Picture> FromResource(int id);

    HBITMAP Bitmap() const noexcept { return bitmap_.get(); }
    HBRUSH Brush() const noexcept { return brush_.get(); }
    int Width() const noexcept { return width_; }
    int Height() const noexcept { return height_; }

    // Copies the picture unscaled with its top-left corner at (0, 0) of `dc`.
    void Draw(HDC dc) const;

private:
    Picture(BitmapObject bitmap, int width, int height);
    BitmapObject bitmap_;
    BrushObject brush_;
    int width_;
    int height_;
};

}  // namespace tess
