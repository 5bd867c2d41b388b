// JPEG through TurboJPEG: accurate DCT, 4:2:0 below quality 90 and 4:4:4 from 90
// (what ImageMagick does), metadata segments written around the encoder's output.
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "tools/convert/colour.h"
#include "tools/convert/savers.h"

namespace conv {

namespace {

struct TjFree { void operator()(void* h) const { tjDestroy(h); } };
struct TjBuf { void operator()(unsigned char* p) const { tjFree(p); } };

void segment(OutFile& out, uint8_t marker, const uint8_t* head, size_t headLen, const uint8_t* body, size_t bodyLen) {
    const size_t len = 2 + headLen + bodyLen;
    const uint8_t m[4] = {0xFF, marker, uint8_t(len >> 8), uint8_t(len)};
    out.write(m, 4);
    out.write(head, headLen);
    out.write(body, bodyLen);
}

constexpr size_t kMaxSegmentPayload = 65533;

void writeIcc(OutFile& out, const std::vector<uint8_t>& icc) {
    // "ICC_PROFILE\0", sequence number, count, then up to 65519 bytes per chunk.
    constexpr size_t chunk = kMaxSegmentPayload - 14;
    const size_t count = (icc.size() + chunk - 1) / chunk;
    if (count == 0 || count > 255) return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t head[14];
        std::memcpy(head, "ICC_PROFILE\0", 12);
        head[12] = uint8_t(i + 1);
        head[13] = uint8_t(count);
        const size_t off = i * chunk;
        segment(out, 0xE2, head, 14, icc.data() + off, std::min(chunk, icc.size() - off));
    }
}

}  // namespace

void saveJpeg(const Image& src, const SaveOptions& opt, OutFile& out) {
    // Work on a copy only when the pixels must change (16-bit or alpha, or
    // YCbCr planes that a 4:4:4 JPEG cannot take as they are).
    const int q = std::clamp(opt.quality, 1, 100);
    const int subsamp = q >= 90 ? TJSAMP_444 : TJSAMP_420;
    const bool planes = src.isYcc420() && subsamp == TJSAMP_420;
    Image tmp;
    const Image* img = &src;
    if (src.isYcc420() && !planes) {
        tmp = src;
        expandYcc420(tmp);
        img = &tmp;
    } else if (!planes && (src.bits != 8 || src.channels != 3)) {
        tmp.width = src.width;
        tmp.height = src.height;
        tmp.channels = src.channels;
        tmp.bits = src.bits;
        if (src.bits == 8) tmp.px8 = src.px8; else tmp.px16 = src.px16;
        flattenOnWhite(tmp);
        to8Bit(tmp);
        img = &tmp;
    }
    std::unique_ptr<void, TjFree> tj(tjInitCompress());
    if (!tj) throw ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": cannot start the JPEG encoder"};
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    int rc;
    if (planes) {
        // The decoder's own YCbCr goes in unchanged: no round trip through RGB.
        const uint32_t w = src.width, h = src.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
        const unsigned char* p[3] = {src.ycc420.data(), src.ycc420.data() + size_t(w) * h,
                                     src.ycc420.data() + size_t(w) * h + size_t(cw) * ch};
        const int strides[3] = {int(w), int(cw), int(cw)};
        rc = tjCompressFromYUVPlanes(tj.get(), p, int(w), strides, int(h), TJSAMP_420, &buf, &size, q,
                                     TJFLAG_ACCURATEDCT);
    } else {
        rc = tjCompress2(tj.get(), img->px8.data(), int(img->width), 0, int(img->height), TJPF_RGB, &buf, &size,
                         subsamp, q, TJFLAG_ACCURATEDCT);
    }
    if (rc != 0) {
        tjFree(buf);
        throw ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": JPEG encoding failed: " +
                                            tjGetErrorStr2(tj.get())};
    }
    std::unique_ptr<unsigned char, TjBuf> jpeg(buf);
    tmp = Image();

    // The encoder writes SOI, a JFIF APP0, then the picture. EXIF wants to be the
    // first segment after SOI, so the APP0 is dropped when EXIF is written.
    size_t rest = 2;
    const bool haveExif = !src.exif.empty() && src.exif.size() + 6 <= kMaxSegmentPayload;
    if (haveExif && size > 6 && buf[2] == 0xFF && buf[3] == 0xE0) rest = 4 + (size_t(buf[4]) << 8 | buf[5]);
    out.write(buf, 2);
    if (haveExif) segment(out, 0xE1, reinterpret_cast<const uint8_t*>("Exif\0\0"), 6, src.exif.data(), src.exif.size());
    static const char kXmpNs[] = "http://ns.adobe.com/xap/1.0/";  // written with its NUL
    if (!src.xmp.empty() && src.xmp.size() + sizeof kXmpNs <= kMaxSegmentPayload)
        segment(out, 0xE1, reinterpret_cast<const uint8_t*>(kXmpNs), sizeof kXmpNs, src.xmp.data(), src.xmp.size());
    if (!src.icc.empty()) writeIcc(out, src.icc);
    out.write(buf + rest, size - rest);
}

}  // namespace conv
