// The Radiance loader: hdr_reader.h's pixels through hdr_tone_map.h's curve.
//
// The usual file (rows left to right, every scanline new run-length) never
// holds its decoded pixels: the statistics decode only the sampled rows, then
// each thread decodes its rows one at a time and maps them straight into the
// output — 16-bit RGB, or JPEG's YCbCr 4:2:0 planes when the caller takes
// them. Anything else is decoded whole first and comes out as 16-bit RGB.
#include <vector>

#include "tools/convert/hdr_reader.h"
#include "tools/convert/hdr_tone_map.h"
#include "tools/convert/loaders.h"
#include "tools/convert/parallel.h"

namespace conv {

namespace {

Image loadDecodedWhole(const InputFile& in, const LoadOptions& opt) {
    const RadiancePicture pic = decodeRadiance(in.bytes.data(), in.bytes.size(), in.path, opt);
    const ToneMapping tm = chooseToneMapping(pic);
    Image img;
    img.allocate(pic.width, pic.height, 3, 16);
    toneMapRadiance(pic, tm, opt.threads, img);
    if (opt.gainMap)
        attachSceneGainMap(pic, tm, pic.width, pic.height, opt.threads, img, [&](uint32_t y, std::vector<uint8_t>&) {
            return pic.rgbe.data() + size_t(y) * pic.width * 4;
        });
    return img;
}

// A file whose scanlines are all new run-length rows, decoded a row at a time
// from where indexScanlines() found them.
class IndexedRows {
public:
    IndexedRows(const InputFile& in, const RadianceHeader& h, std::vector<const uint8_t*> starts)
        : in_(in), h_(h), starts_(std::move(starts)) {}
    uint32_t width() const { return h_.lay.width; }
    uint32_t height() const { return h_.lay.height; }
    const RadiancePicture& meta() const { return h_.meta; }
    // Row y into buffer (width * 4 bytes). Row y is scanline (y * width -
    // origin) / strideJ; the index has checked every code, so this cannot fail.
    const uint8_t* read(uint32_t y, std::vector<uint8_t>& buffer) const {
        const RadianceLayout& lay = h_.lay;
        const uint32_t j = uint32_t((int64_t(y) * lay.width - lay.origin) / lay.strideJ);
        ScanlineReader reader(starts_[j], in_.bytes.data() + in_.bytes.size(), in_.path);
        reader.read(buffer.data(), lay.width);
        return buffer.data();
    }

private:
    const InputFile& in_;
    const RadianceHeader& h_;
    std::vector<const uint8_t*> starts_;
};

ToneMapping exposureOfSampledRows(const IndexedRows& rows) {
    std::vector<uint8_t> line(size_t(rows.width()) * 4);
    const uint32_t step = sampleStep(rows.width(), rows.height());
    const PixelDecoder dec(rows.meta());
    std::vector<float> logs;
    for (uint32_t y = step / 2; y < rows.height(); y += step)
        sampleRow(rows.read(y, line), rows.width(), step, dec, logs);
    return toneMappingFromSamples(logs);
}

// Bound for a JPEG: straight to the planes it stores, two rows at a time,
// never holding the picture as RGB.
void mapToYcc420(const IndexedRows& rows, const MapParams& k, int threads, Image& img) {
    const uint32_t w = rows.width(), hgt = rows.height();
    img.width = w;
    img.height = hgt;
    img.channels = 3;
    img.bits = 8;
    const uint32_t cw = (w + 1) / 2, ch = (hgt + 1) / 2;
    img.ycc420.resize(size_t(w) * hgt + 2 * size_t(cw) * ch);
    uint8_t* yPlane = img.ycc420.data();
    uint8_t* cbPlane = yPlane + size_t(w) * hgt;
    uint8_t* crPlane = cbPlane + size_t(cw) * ch;
    runInBands(ch, threads, [&](uint32_t p0, uint32_t p1) {
        std::vector<uint8_t> row(size_t(w) * 4);
        std::vector<uint16_t> rgb(size_t(w) * 6);
        for (uint32_t pr = p0; pr < p1; ++pr) {
            const uint32_t y = pr * 2;
            const bool two = y + 1 < hgt;
            mapLine(rows.read(y, row), w, k, rgb.data());
            if (two) mapLine(rows.read(y + 1, row), w, k, rgb.data() + size_t(w) * 3);
            yccRows(rgb.data(), rgb.data() + (two ? size_t(w) * 3 : 0), two, w, yPlane + size_t(y) * w,
                    yPlane + size_t(y + (two ? 1 : 0)) * w, cbPlane + size_t(pr) * cw, crPlane + size_t(pr) * cw);
        }
    });
}

void mapToRgb16(const IndexedRows& rows, const MapParams& k, int threads, Image& img) {
    const uint32_t w = rows.width();
    img.allocate(w, rows.height(), 3, 16);
    runInBands(rows.height(), threads, [&](uint32_t y0, uint32_t y1) {
        std::vector<uint8_t> row(size_t(w) * 4);
        for (uint32_t y = y0; y < y1; ++y) mapLine(rows.read(y, row), w, k, img.px16.data() + size_t(y) * w * 3);
    });
}

}  // namespace

Image loadHdr(const InputFile& in, const LoadOptions& opt) {
    const uint8_t* data = in.bytes.data();
    const size_t size = in.bytes.size();
    const RadianceHeader h = parseRadianceHeader(data, size, in.path, opt);
    const RadianceLayout& lay = h.lay;
    std::vector<const uint8_t*> starts;
    if (lay.strideK != 1 || !indexScanlines(data + h.pixelsAt, data + size, lay.scanlines, lay.lineLength, starts))
        return loadDecodedWhole(in, opt);
    const IndexedRows rows(in, h, std::move(starts));
    const ToneMapping tm = exposureOfSampledRows(rows);
    const MapParams k = mapParams(h.meta, tm);
    Image img;
    if (opt.allowYcc420) mapToYcc420(rows, k, opt.threads, img);
    else mapToRgb16(rows, k, opt.threads, img);
    if (opt.gainMap)
        attachSceneGainMap(h.meta, tm, rows.width(), rows.height(), opt.threads, img,
                           [&](uint32_t y, std::vector<uint8_t>& buffer) { return rows.read(y, buffer); });
    return img;
}

}  // namespace conv
