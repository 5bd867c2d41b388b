// TIFF input through libtiff, read from memory. 8- and 16-bit RGB(A) and grey
// in strips keep their depth; every other layout (palette, YCbCr, tiles, 1-bit,
// CMYK, ...) goes through libtiff's RGBA reader at 8 bits. The Orientation tag
// is applied to the pixels. The EXIF block is made from the file's own EXIF and
// GPS directories and the shot's tags in its main directory.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/orient.h"
#include "tools/convert/owned.h"

namespace conv {

namespace {

struct Mem {
    const std::vector<uint8_t>* d;
    toff_t pos = 0;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<Mem*>(h);
    if (m->pos >= m->d->size()) return 0;
    tmsize_t avail = tmsize_t(m->d->size() - m->pos);
    if (n > avail) n = avail;
    std::memcpy(buf, m->d->data() + m->pos, size_t(n));
    m->pos += toff_t(n);
    return n;
}
tmsize_t memWrite(thandle_t, void*, tmsize_t) { return 0; }
toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<Mem*>(h);
    if (whence == SEEK_SET) m->pos = off;
    else if (whence == SEEK_CUR) m->pos += off;
    else m->pos = m->d->size() + off;
    return m->pos;
}
int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<Mem*>(h)->d->size(); }
int memMap(thandle_t, void**, toff_t*) { return 0; }
void memUnmap(thandle_t, void*, toff_t) {}

thread_local std::string tiffMessage;
void onTiffError(const char*, const char* fmt, va_list ap) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    tiffMessage = buf;
}
void onTiffWarning(const char*, const char*, va_list) {}

std::string withTiffMessage(const char* what) {
    return what + (tiffMessage.empty() ? "" : ": " + tiffMessage);
}

struct Layout {
    uint32_t w = 0, h = 0;
    uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_RGB, planar = PLANARCONFIG_CONTIG, orientation = 1,
             extraCount = 0, sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t* extra = nullptr;
    bool grey() const { return photometric == PHOTOMETRIC_MINISBLACK; }
};

Layout readLayout(TIFF* tif) {
    Layout l;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &l.w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &l.h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l.bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &l.orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &l.extraCount, &l.extra);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &l.sampleFormat);
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &l.photometric)) l.photometric = PHOTOMETRIC_MINISBLACK;
    return l;
}

// 8- or 16-bit RGB(A) or grey(+alpha) in strips: read as stored, depth kept.
bool readsDirectly(TIFF* tif, const Layout& l) {
    const int colour = l.grey() ? 1 : 3;
    return (l.bps == 8 || l.bps == 16) && l.sampleFormat == SAMPLEFORMAT_UINT && l.planar == PLANARCONFIG_CONTIG &&
           !TIFFIsTiled(tif) && (l.photometric == PHOTOMETRIC_RGB || l.grey()) &&
           (l.spp == colour || l.spp == colour + 1);
}

// Associated (premultiplied) alpha becomes straight alpha.
template <typename T>
void unpremultiply(std::vector<T>& px, uint64_t maxv) {
    for (size_t i = 0; i + 3 < px.size(); i += 4) {
        const uint64_t a = px[i + 3];
        for (int c = 0; c < 3; ++c) px[i + c] = a ? T(std::min<uint64_t>(maxv, (px[i + c] * maxv + a / 2) / a)) : 0;
    }
}

void readScanlines(TIFF* tif, const Layout& l, const InputFile& in, Image& img) {
    const bool grey = l.grey();
    const uint32_t w = l.w, h = l.h, spp = l.spp;
    const bool alpha = spp == (grey ? 2 : 4);
    img.allocate(w, h, alpha ? 4 : 3, l.bps);
    std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif)));
    if (line.size() < size_t(w) * spp * (l.bps / 8)) inputError(in.path, "inconsistent TIFF row size");
    for (uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0) inputError(in.path, withTiffMessage("cannot read the TIFF data"));
        for (uint32_t x = 0; x < w; ++x) {
            for (int c = 0; c < img.channels; ++c) {
                // Grey is spread over R, G and B; alpha follows the colour samples.
                int s = grey ? (c < 3 ? 0 : 1) : c;
                size_t idx = size_t(x) * spp + s;
                size_t dst = (size_t(y) * w + x) * img.channels + c;
                if (l.bps == 8) img.px8[dst] = line[idx];
                else {
                    uint16_t v;
                    std::memcpy(&v, line.data() + idx * 2, 2);
                    img.px16[dst] = v;
                }
            }
        }
    }
    if (alpha && l.extraCount && l.extra && l.extra[0] == EXTRASAMPLE_ASSOCALPHA) {
        if (l.bps == 8) unpremultiply(img.px8, 255);
        else unpremultiply(img.px16, 65535);
    }
}

// Every other layout, through libtiff's RGBA reader at 8 bits.
void readThroughRgba(TIFF* tif, const Layout& l, const InputFile& in, Image& img) {
    const uint32_t w = l.w, h = l.h;
    char emsg[1024] = "";
    if (!TIFFRGBAImageOK(tif, emsg)) inputError(in.path, std::string("unsupported TIFF layout: ") + emsg);
    TIFFRGBAImage rgba;
    if (!TIFFRGBAImageBegin(&rgba, tif, 0, emsg)) inputError(in.path, std::string("cannot read the TIFF: ") + emsg);
    // Take the rows as stored; the Orientation tag is applied afterwards, once.
    rgba.orientation = ORIENTATION_TOPLEFT;
    rgba.req_orientation = ORIENTATION_TOPLEFT;
    std::vector<uint32_t> raster(size_t(w) * h);
    const int ok = TIFFRGBAImageGet(&rgba, raster.data(), w, h);
    const bool alpha = rgba.alpha != 0;
    TIFFRGBAImageEnd(&rgba);
    if (!ok) inputError(in.path, withTiffMessage("cannot decode the TIFF data"));
    img.allocate(w, h, alpha ? 4 : 3, 8);
    for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
        const uint32_t p = raster[i];
        img.px8[i * img.channels + 0] = uint8_t(TIFFGetR(p));
        img.px8[i * img.channels + 1] = uint8_t(TIFFGetG(p));
        img.px8[i * img.channels + 2] = uint8_t(TIFFGetB(p));
        if (alpha) img.px8[i * 4 + 3] = uint8_t(TIFFGetA(p));
    }
    if (alpha && rgba.alpha == EXTRASAMPLE_ASSOCALPHA) unpremultiply(img.px8, 255);
}

// The ICC profile (when it describes RGB pixels), the XMP packet and the EXIF.
void readMetadata(TIFF* tif, const Layout& l, const InputFile& in, Image& img) {
    uint32_t len = 0;
    void* data = nullptr;
    if (TIFFGetField(tif, TIFFTAG_ICCPROFILE, &len, &data) && data && len)
        img.icc.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
    if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &len, &data) && data && len)
        img.xmp.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
    if (l.photometric != PHOTOMETRIC_RGB && !l.grey()) img.icc.clear();  // a CMYK or Lab profile does not fit RGB pixels
    if (l.grey() && !img.icc.empty()) img.icc.clear();                   // a grey profile does not describe RGB
    img.exif = exifFromTiffFile(in.bytes);  // with Orientation 1: the pixels are turned afterwards
}

}  // namespace

Image loadTiff(const InputFile& in, const LoadOptions& opt) {
    TIFFSetErrorHandler(onTiffError);
    TIFFSetWarningHandler(onTiffWarning);
    tiffMessage.clear();
    Mem mem{&in.bytes};
    Owned<TIFFClose> tif(TIFFClientOpen("input", "rm", &mem, memRead, memWrite, memSeek, memClose,
                                        memSize, memMap, memUnmap));
    if (!tif) inputError(in.path, withTiffMessage("not a readable TIFF file"));
    const Layout layout = readLayout(tif.get());
    checkPixelLimit(layout.w, layout.h, opt, in.path);
    Image img;
    if (readsDirectly(tif.get(), layout)) readScanlines(tif.get(), layout, in, img);
    else readThroughRgba(tif.get(), layout, in, img);
    readMetadata(tif.get(), layout, in, img);
    applyOrientation(img, layout.orientation);
    return img;
}

}  // namespace conv
