// GIF input through giflib: the first frame drawn on the logical screen, with
// its transparent colour as alpha.
#include <gif_lib.h>

#include <cstring>
#include <memory>

#include "tools/convert/loaders.h"
#include "tools/convert/owned.h"

namespace conv {

namespace {

struct Mem {
    const std::vector<uint8_t>* d;
    size_t pos = 0;
};

int onRead(GifFileType* gif, GifByteType* buf, int n) {
    auto* m = static_cast<Mem*>(gif->UserData);
    size_t k = std::min(size_t(n), m->d->size() - m->pos);
    std::memcpy(buf, m->d->data() + m->pos, k);
    m->pos += k;
    return int(k);
}

// giflib's words for an error code; it has none for 0 (an error it did not name).
std::string gifError(int code) {
    const char* s = GifErrorString(code);
    return s ? s : "damaged data";
}

void closeGif(GifFileType* g) {
    int err = 0;
    DGifCloseFile(g, &err);
}

}  // namespace

Image loadGif(const InputFile& in, const LoadOptions& opt) {
    Mem mem{&in.bytes};
    int err = 0;
    Owned<closeGif> gif(DGifOpen(&mem, onRead, &err));
    if (!gif) inputError(in.path, "not a readable GIF file: " + gifError(err));
    checkPixelLimit(uint64_t(gif->SWidth), uint64_t(gif->SHeight), opt, in.path);
    // giflib stops at the first damage and keeps what it read: the first frame is
    // whole only when a later one began. A frame cut short holds unwritten rows
    // (or no rows at all), so such a file is refused, as a cut JPEG is.
    if (DGifSlurp(gif.get()) != GIF_OK && gif->ImageCount < 2)
        inputError(in.path, std::string(gif->ImageCount ? "the GIF is cut short or damaged: "
                                                        : "cannot decode the GIF: ") +
                                gifError(gif->Error));
    if (gif->ImageCount < 1) inputError(in.path, "the GIF holds no picture");
    const SavedImage& frame = gif->SavedImages[0];
    if (!frame.RasterBits) inputError(in.path, "the GIF's first picture holds no pixels");
    const ColorMapObject* map = frame.ImageDesc.ColorMap ? frame.ImageDesc.ColorMap : gif->SColorMap;
    if (!map) inputError(in.path, "the GIF has no colour table");
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(gif.get(), 0, &gcb);
    const bool alpha = gcb.TransparentColor != NO_TRANSPARENT_COLOR;

    const uint32_t W = uint32_t(gif->SWidth), H = uint32_t(gif->SHeight);
    Image img;
    img.allocate(W, H, alpha ? 4 : 3, 8);
    // Outside the frame: transparent when the GIF has transparency, else the background colour.
    if (!alpha) {
        const int bg = gif->SBackGroundColor < map->ColorCount ? gif->SBackGroundColor : 0;
        const GifColorType c = map->Colors[bg];
        for (size_t i = 0; i < size_t(W) * H; ++i) {
            img.px8[i * 3] = c.Red; img.px8[i * 3 + 1] = c.Green; img.px8[i * 3 + 2] = c.Blue;
        }
    }
    const GifImageDesc& desc = frame.ImageDesc;
    for (int y = 0; y < desc.Height; ++y) {
        const int dy = desc.Top + y;
        if (dy < 0 || uint32_t(dy) >= H) continue;
        for (int x = 0; x < desc.Width; ++x) {
            const int dx = desc.Left + x;
            if (dx < 0 || uint32_t(dx) >= W) continue;
            const int idx = frame.RasterBits[size_t(y) * desc.Width + x];
            uint8_t* p = &img.px8[(size_t(dy) * W + dx) * img.channels];
            if (alpha && idx == gcb.TransparentColor) continue;  // stays transparent
            const GifColorType c = idx < map->ColorCount ? map->Colors[idx] : GifColorType{0, 0, 0};
            p[0] = c.Red; p[1] = c.Green; p[2] = c.Blue;
            if (alpha) p[3] = 255;
        }
    }
    return img;
}

}  // namespace conv
