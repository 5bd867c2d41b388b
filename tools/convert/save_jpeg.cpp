// JPEG through TurboJPEG: accurate DCT, 4:2:0 below quality 90 and 4:4:4 from 90
// (what ImageMagick does), metadata segments written around the encoder's output.
#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/convert/bytes.h"
#include "tools/convert/colour.h"
#include "tools/convert/jpeg_segments.h"
#include "tools/convert/owned.h"
#include "tools/convert/parallel.h"
#include "tools/convert/savers.h"
#include "tools/convert/ultrahdr_jpeg.h"

namespace conv {

namespace {

// One TurboJPEG run over rows [y0, y1) (y0 a multiple of the MCU height).
bool encodeRows(const Image& img, bool planes, int q, int subsamp, uint32_t y0, uint32_t y1,
                std::vector<uint8_t>& jpeg, std::string& error) {
    Owned<tjDestroy> tj(tjInitCompress());
    if (!tj) {
        error = "cannot start the encoder";
        return false;
    }
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    const uint32_t w = img.width, rows = y1 - y0;
    int rc;
    if (planes) {
        // The decoder's own YCbCr goes in unchanged: no round trip through RGB.
        const uint32_t cw = (w + 1) / 2, ch = (img.height + 1) / 2;
        const uint8_t* Y = img.ycc420.data();
        const uint8_t* Cb = Y + size_t(w) * img.height;
        const uint8_t* Cr = Cb + size_t(cw) * ch;
        const unsigned char* p[3] = {Y + size_t(w) * y0, Cb + size_t(cw) * (y0 / 2), Cr + size_t(cw) * (y0 / 2)};
        const int strides[3] = {int(w), int(cw), int(cw)};
        rc = tjCompressFromYUVPlanes(tj.get(), p, int(w), strides, int(rows), TJSAMP_420, &buf, &size, q,
                                     TJFLAG_ACCURATEDCT);
    } else {
        rc = tjCompress2(tj.get(), img.px8.data() + size_t(w) * 3 * y0, int(w), 0, int(rows), TJPF_RGB, &buf, &size,
                         subsamp, q, TJFLAG_ACCURATEDCT);
    }
    const Owned<tjFree> encoded(buf);
    if (rc != 0) {
        error = tjGetErrorStr2(tj.get());
        return false;
    }
    jpeg.assign(buf, buf + size);
    return true;
}

// Where a JPEG's SOS marker is, where its entropy-coded data starts (after the
// SOS segment) and the offset of the SOF0 height field; false when the layout
// is unexpected.
struct ScanInfo {
    size_t sos = 0, scan = 0, sofHeight = 0;
};

bool findScan(const std::vector<uint8_t>& j, ScanInfo& info) {
    size_t i = 2;
    size_t& scan = info.scan;
    size_t& sofHeight = info.sofHeight;
    sofHeight = 0;
    while (i + 4 <= j.size() && j[i] == 0xFF) {
        const uint8_t m = j[i + 1];
        const size_t len = be16(&j[i + 2]);
        if (m == 0xC0) sofHeight = i + 5;
        if (m == 0xDA) {
            info.sos = i;
            scan = i + 2 + len;
            return sofHeight != 0 && scan <= j.size();
        }
        i += 2 + len;
    }
    return false;
}

// Large pictures are encoded as horizontal strips on all threads and joined
// with restart markers: every strip starts with fresh DC predictions, so its
// entropy-coded data can follow the previous strip's after an RSTn marker.
// The coefficients, and so the decoded pixels, are the same as from one run.
bool encodeInStrips(const Image& img, bool planes, int q, int subsamp, int threads, std::vector<uint8_t>& jpeg,
                    std::string& error) {
    const uint32_t mcuH = subsamp == TJSAMP_420 ? 16 : 8, mcuW = subsamp == TJSAMP_420 ? 16 : 8;
    const uint32_t mcuRows = (img.height + mcuH - 1) / mcuH;
    constexpr uint32_t kMinStripMcuRows = 16;
    const uint32_t strips = std::min<uint32_t>(uint32_t(std::max(1, threads)), mcuRows / kMinStripMcuRows);
    if (strips <= 1) return encodeRows(img, planes, q, subsamp, 0, img.height, jpeg, error);
    const uint32_t perStrip = (mcuRows + strips - 1) / strips;  // MCU rows
    const uint32_t mcusPerStrip = perStrip * ((img.width + mcuW - 1) / mcuW);
    if (mcusPerStrip > 65535) return encodeRows(img, planes, q, subsamp, 0, img.height, jpeg, error);
    std::vector<std::vector<uint8_t>> parts(strips);
    std::vector<std::string> errors(strips);
    std::vector<char> ok(strips, 0);
    parallelFor(strips, threads, [&](size_t k) {
        const uint32_t y0 = uint32_t(k) * perStrip * mcuH, y1 = std::min(img.height, uint32_t(k + 1) * perStrip * mcuH);
        ok[k] = encodeRows(img, planes, q, subsamp, y0, y1, parts[k], errors[k]);
    });
    for (uint32_t k = 0; k < strips; ++k)
        if (!ok[k]) {
            error = errors[k];
            return false;
        }
    ScanInfo first;
    if (!findScan(parts[0], first)) {
        error = "unexpected encoder output";
        return false;
    }
    // Headers of the first strip with the whole height, and a restart interval
    // (DRI) just before the scan.
    jpeg.assign(parts[0].begin(), parts[0].begin() + long(first.scan));
    jpeg[first.sofHeight] = uint8_t(img.height >> 8);
    jpeg[first.sofHeight + 1] = uint8_t(img.height);
    const uint8_t dri[6] = {0xFF, 0xDD, 0x00, 0x04, uint8_t(mcusPerStrip >> 8), uint8_t(mcusPerStrip)};
    jpeg.insert(jpeg.begin() + long(first.sos), dri, dri + 6);
    for (uint32_t k = 0; k < strips; ++k) {
        ScanInfo part;
        if (!findScan(parts[k], part) || parts[k].size() < part.scan + 2) {
            error = "unexpected encoder output";
            return false;
        }
        const size_t start = part.scan;
        if (k > 0) {
            jpeg.push_back(0xFF);
            jpeg.push_back(uint8_t(0xD0 + (k - 1) % 8));
        }
        jpeg.insert(jpeg.end(), parts[k].begin() + long(start), parts[k].end() - 2);  // without EOI
        std::vector<uint8_t>().swap(parts[k]);
    }
    jpeg.push_back(0xFF);
    jpeg.push_back(0xD9);
    return true;
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
    std::vector<uint8_t> jpeg;
    std::string error;
    if (!encodeInStrips(planes ? src : *img, planes, q, subsamp, opt.threads, jpeg, error))
        throw ConvertError{kExitOutput, toUtf8(out.finalPath()) + ": JPEG encoding failed: " + error};
    tmp = Image();
    const uint8_t* buf = jpeg.data();
    const size_t size = jpeg.size();

    // The encoder writes SOI, a JFIF APP0, then the picture. EXIF wants to be the
    // first segment after SOI, so the APP0 is dropped when EXIF is written.
    size_t rest = 2;
    const bool haveExif = !src.exif.empty() && src.exif.size() + 6 <= kMaxSegmentPayload;
    if (haveExif && size > 6 && buf[2] == 0xFF && buf[3] == 0xE0) rest = 4 + (size_t(buf[4]) << 8 | buf[5]);
    if (src.gainMap && writeJpegWithGainMap(src, buf + rest, size - rest, q, out)) return;
    std::vector<uint8_t> head(buf, buf + 2);
    if (haveExif) appendJpegSegment(head, 0xE1, "Exif\0\0", 6, src.exif.data(), src.exif.size());
    if (!src.xmp.empty())
        appendJpegSegment(head, 0xE1, kJpegXmpNamespace, sizeof kJpegXmpNamespace, src.xmp.data(), src.xmp.size());
    if (!src.icc.empty()) appendJpegIcc(head, src.icc);
    out.write(head.data(), head.size());
    out.write(buf + rest, size - rest);
}

}  // namespace conv
