#include "app/picture.h"

#include <ocidl.h>
#include <olectl.h>
#include <shlwapi.h>

namespace tess {

Picture::Picture(BitmapObject bitmap, int width, int height)
    : bitmap_(std::move(bitmap)), brush_(CreatePatternBrush(bitmap_.get())), width_(width), height_(height) {}

std::unique_ptr<Picture> Picture::FromJpeg(std::string_view bytes) {
    ComPtr<IStream> stream = ComPtr<IStream>::Attach(
        SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size())));
    if (!stream) return nullptr;
    ComPtr<IPicture> picture;
    if (FAILED(OleLoadPicture(stream.get(), static_cast<LONG>(bytes.size()), FALSE, IID_IPicture,
                              picture.put_void())))
        return nullptr;
    OLE_HANDLE handle = 0;
    if (FAILED(picture->get_Handle(&handle)) || !handle) return nullptr;
    const HBITMAP source = reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle));
    BITMAP info{};
    if (!GetObjectW(source, sizeof(info), &info)) return nullptr;
    // An own copy, independent of the picture object, compatible with the screen.
    BitmapObject copy(static_cast<HBITMAP>(CopyImage(source, IMAGE_BITMAP, 0, 0, 0)));
    if (!copy) return nullptr;
    return std::unique_ptr<Picture>(new Picture(std::move(copy), info.bmWidth, info.bmHeight));
}

std::unique_ptr<Picture> Picture::FromResource(int id) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!found) return nullptr;
    const HGLOBAL loaded = LoadResource(module, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return nullptr;
    return FromJpeg(std::string_view(static_cast<const char*>(data), SizeofResource(module, found)));
}

void Picture::Draw(HDC dc) const {
    MemoryDC source(dc);
    SelectScope select(source.get(), bitmap_.get());
    BitBlt(dc, 0, 0, width_, height_, source.get(), 0, 0, SRCCOPY);
}

}  // namespace tess
