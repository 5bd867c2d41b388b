// TIFF input through libtiff, read from memory. 8- and 16-bit RGB(A) and grey
// in strips keep their depth; every other layout (palette, YCbCr, tiles, 1-bit,
// CMYK, ...) goes through libtiff's RGBA reader at 8 bits. The Orientation tag
// is applied to the pixels. The EXIF block is made from the file's own EXIF and
// GPS directories and the shot's tags in its main directory.
#include <tiffio.h>

#include <cstring>
#include <memory>

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

}  // namespace

Image loadTiff(const InputFile& in, const LoadOptions& opt) {
    TIFFSetErrorHandler(onTiffError);
    TIFFSetWarningHandler(onTiffWarning);
    tiffMessage.clear();
    Mem mem{&in.bytes};
    Owned<TIFFClose> tif(TIFFClientOpen("input", "rm", &mem, memRead, memWrite, memSeek, memClose,
                                                        memSize, memMap, memUnmap));
    if (!tif) inputError(in.path, "not a readable TIFF file" + (tiffMessage.empty() ? "" : ": " + tiffMessage));
    uint32_t w = 0, h = 0;
    uint16_t bps = 8, spp = 1, photometric = PHOTOMETRIC_RGB, planar = PLANARCONFIG_CONTIG, orientation = 1,
             extraCount = 0, sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t* extra = nullptr;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    if (!TIFFGetField(tif.get(), TIFFTAG_PHOTOMETRIC, &photometric)) photometric = PHOTOMETRIC_MINISBLACK;
    checkPixelLimit(w, h, opt, in.path);

    Image img;
    const bool grey = photometric == PHOTOMETRIC_MINISBLACK;
    const int colour = grey ? 1 : 3;
    const bool direct = (bps == 8 || bps == 16) && sampleFormat == SAMPLEFORMAT_UINT && planar == PLANARCONFIG_CONTIG &&
                        !TIFFIsTiled(tif.get()) && (photometric == PHOTOMETRIC_RGB || grey) &&
                        (spp == colour || spp == colour + 1);
    if (direct) {
        const bool alpha = spp == colour + 1;
        img.allocate(w, h, alpha ? 4 : 3, bps);
        std::vector<uint8_t> line(size_t(TIFFScanlineSize(tif.get())));
        if (line.size() < size_t(w) * spp * (bps / 8)) inputError(in.path, "inconsistent TIFF row size");
        for (uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(tif.get(), line.data(), y, 0) < 0)
                inputError(in.path, "cannot read the TIFF data" + (tiffMessage.empty() ? "" : ": " + tiffMessage));
            for (uint32_t x = 0; x < w; ++x) {
                for (int c = 0; c < img.channels; ++c) {
                    // Grey is spread over R, G and B; alpha follows the colour samples.
                    int s = grey ? (c < 3 ? 0 : 1) : c;
                    size_t idx = size_t(x) * spp + s;
                    size_t dst = (size_t(y) * w + x) * img.channels + c;
                    if (bps == 8) img.px8[dst] = line[idx];
                    else {
                        uint16_t v;
                        std::memcpy(&v, line.data() + idx * 2, 2);
                        img.px16[dst] = v;
                    }
                }
            }
        }
        // Associated (premultiplied) alpha becomes straight alpha.
        if (alpha && extraCount && extra && extra[0] == EXTRASAMPLE_ASSOCALPHA) {
            const size_t n = size_t(w) * h;
            const uint32_t maxv = bps == 8 ? 255 : 65535;
            for (size_t i = 0; i < n; ++i)
                for (int c = 0; c < 3; ++c) {
                    if (bps == 8) {
                        uint32_t a = img.px8[i * 4 + 3];
                        img.px8[i * 4 + c] = a ? uint8_t(std::min<uint32_t>(maxv, (img.px8[i * 4 + c] * maxv + a / 2) / a)) : 0;
                    } else {
                        uint64_t a = img.px16[i * 4 + 3];
                        img.px16[i * 4 + c] = a ? uint16_t(std::min<uint64_t>(maxv, (img.px16[i * 4 + c] * uint64_t(maxv) + a / 2) / a)) : 0;
                    }
                }
        }
    } else {
        char emsg[1024] = "";
        if (!TIFFRGBAImageOK(tif.get(), emsg)) inputError(in.path, std::string("unsupported TIFF layout: ") + emsg);
        TIFFRGBAImage rgba;
        if (!TIFFRGBAImageBegin(&rgba, tif.get(), 0, emsg)) inputError(in.path, std::string("cannot read the TIFF: ") + emsg);
        // Take the rows as stored; the Orientation tag is applied below, once.
        rgba.orientation = ORIENTATION_TOPLEFT;
        rgba.req_orientation = ORIENTATION_TOPLEFT;
        std::vector<uint32_t> raster(size_t(w) * h);
        const int ok = TIFFRGBAImageGet(&rgba, raster.data(), w, h);
        const bool alpha = rgba.alpha != 0;
        TIFFRGBAImageEnd(&rgba);
        if (!ok) inputError(in.path, "cannot decode the TIFF data" + (tiffMessage.empty() ? "" : ": " + tiffMessage));
        img.allocate(w, h, alpha ? 4 : 3, 8);
        for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
            const uint32_t p = raster[i];
            img.px8[i * img.channels + 0] = uint8_t(TIFFGetR(p));
            img.px8[i * img.channels + 1] = uint8_t(TIFFGetG(p));
            img.px8[i * img.channels + 2] = uint8_t(TIFFGetB(p));
            if (alpha) img.px8[i * 4 + 3] = uint8_t(TIFFGetA(p));
        }
        if (alpha && rgba.alpha == EXTRASAMPLE_ASSOCALPHA) {
            for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
                uint32_t a = img.px8[i * 4 + 3];
                for (int c = 0; c < 3; ++c)
                    img.px8[i * 4 + c] = a ? uint8_t(std::min<uint32_t>(255, (img.px8[i * 4 + c] * 255 + a / 2) / a)) : 0;
            }
        }
    }

    uint32_t len = 0;
    void* data = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &len, &data) && data && len)
        img.icc.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
    if (TIFFGetField(tif.get(), TIFFTAG_XMLPACKET, &len, &data) && data && len)
        img.xmp.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + len);
    if (photometric != PHOTOMETRIC_RGB && !grey) img.icc.clear();  // a CMYK or Lab profile does not fit RGB pixels
    if (grey && !img.icc.empty()) img.icc.clear();                 // a grey profile does not describe RGB
    img.exif = exifFromTiffFile(in.bytes);  // with Orientation 1: the pixels are turned below
    applyOrientation(img, orientation);
    return img;
}

}  // namespace conv
