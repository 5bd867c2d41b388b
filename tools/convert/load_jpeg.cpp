// JPEG input through TurboJPEG; ICC, EXIF and XMP segments collected by a small
// marker walk; EXIF Orientation applied to the pixels.
#include <turbojpeg.h>

#include <cstring>
#include <map>
#include <memory>

#include "tools/convert/bytes.h"
#include "tools/convert/exif.h"
#include "tools/convert/jpeg_segments.h"
#include "tools/convert/loaders.h"
#include "tools/convert/orient.h"
#include "tools/convert/owned.h"
#include "tools/convert/ultrahdr_jpeg.h"

namespace conv {

namespace {

// Keeps the metadata segments before the first scan.
void readSegments(const std::vector<uint8_t>& d, Image& img) {
    std::map<int, std::vector<uint8_t>> iccChunks;
    forEachJpegSegment(d.data(), d.size(), [&](uint8_t m, const uint8_t* p, size_t n) {
        if (m == 0xE1 && n > 6 && std::memcmp(p, "Exif\0\0", 6) == 0 && img.exif.empty()) {
            std::vector<uint8_t> t(p + 6, p + n);
            if (normaliseExif(t)) img.exif = std::move(t);
        } else if (isXmpSegment(m, p, n) && img.xmp.empty()) {
            img.xmp.assign(p + sizeof kJpegXmpNamespace, p + n);
        } else if (m == 0xE2 && n > 14 && std::memcmp(p, "ICC_PROFILE\0", 12) == 0) {
            iccChunks[p[12]].assign(p + 14, p + n);
        }
        return true;
    });
    for (auto& [seq, chunk] : iccChunks) img.icc.insert(img.icc.end(), chunk.begin(), chunk.end());
}

}  // namespace

Image loadJpeg(const InputFile& in, const LoadOptions& opt) {
    Owned<tjDestroy> tj(tjInitDecompress());
    if (!tj) inputError(in.path, "cannot start the JPEG decoder");
    int w = 0, h = 0, subsamp = 0, cs = 0;
    if (tjDecompressHeader3(tj.get(), in.bytes.data(), (unsigned long)in.bytes.size(), &w, &h, &subsamp, &cs) != 0)
        inputError(in.path, std::string("not a readable JPEG file: ") + tjGetErrorStr2(tj.get()));
    checkPixelLimit(uint64_t(w), uint64_t(h), opt, in.path);

    Image img;
    const bool cmyk = cs == TJCS_CMYK || cs == TJCS_YCCK;
    img.allocate(uint32_t(w), uint32_t(h), 3, 8);
    std::vector<uint8_t> cmykPx;
    uint8_t* target = img.px8.data();
    if (cmyk) {
        cmykPx.resize(size_t(w) * h * 4);
        target = cmykPx.data();
    }
    if (tjDecompress2(tj.get(), in.bytes.data(), (unsigned long)in.bytes.size(), target, w, 0, h,
                      cmyk ? TJPF_CMYK : TJPF_RGB, TJFLAG_ACCURATEDCT) != 0) {
        // Warnings about stray bytes are common in camera files and harmless; a
        // file that ends early would give a picture with a grey bottom, which
        // must not pass for a good conversion.
        const std::string msg = tjGetErrorStr2(tj.get());
        if (tjGetErrorCode(tj.get()) == TJERR_FATAL || msg.find("Premature end") != std::string::npos)
            inputError(in.path, "cannot decode the JPEG data: " + msg);
    }
    if (cmyk) {
        // Adobe writes CMYK JPEGs inverted (0 = full ink), which is what nearly
        // every CMYK JPEG is; a naive conversion without a profile.
        for (size_t i = 0, n = size_t(w) * h; i < n; ++i) {
            const uint32_t k = cmykPx[i * 4 + 3];
            for (int c = 0; c < 3; ++c) img.px8[i * 3 + c] = uint8_t((cmykPx[i * 4 + c] * k + 127) / 255);
        }
    }
    readSegments(in.bytes, img);
    dropContainerDirectory(img.xmp);
    if (cmyk) img.icc.clear();  // a CMYK profile does not describe the RGB pixels
    const int orientation = exifOrientation(img.exif);
    applyOrientation(img, orientation);
    if (opt.gainMap)
        if (std::optional<GainMap> gm = readJpegGainMap(in.bytes.data(), in.bytes.size(), img.exif)) {
            applyOrientation(gm->map, orientation);
            img.gainMap = std::make_shared<GainMap>(std::move(*gm));
        }
    return img;
}

}  // namespace conv
