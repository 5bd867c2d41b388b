// Camera raw through LibRaw: demosaiced with the camera's white balance, into
// sRGB with its tone curve, 16 bits per channel, at the camera's own crop, turned
// as the camera recorded.
#include <libraw/libraw.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/owned.h"

namespace conv {

namespace {

// Minimal reading of a TIFF structure's IFDs, to tell raw files from pictures.
struct TiffScan {
    const std::vector<uint8_t>& d;
    bool le;
    uint32_t u16(size_t o) const { return le ? d[o] | d[o + 1] << 8 : d[o] << 8 | d[o + 1]; }
    uint32_t u32(size_t o) const {
        return le ? u16(o) | u16(o + 2) << 16 : u16(o) << 16 | u16(o + 2);
    }
    // True when this IFD or one of its SubIFDs holds sensor data or a DNG tag.
    bool rawIfd(uint32_t off, int depth) const {
        if (depth > 3 || off < 8 || size_t(off) + 2 > d.size()) return false;
        const uint32_t n = u16(off);
        if (size_t(off) + 2 + size_t(n) * 12 > d.size()) return false;
        for (uint32_t i = 0; i < n; ++i) {
            const size_t e = off + 2 + size_t(i) * 12;
            const uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
            if (tag == 0xC612) return true;  // DNGVersion
            if (tag == 0x0106 && type == 3) {
                const uint32_t photometric = u16(e + 8);
                if (photometric == 32803 || photometric == 34892) return true;  // CFA, LinearRaw
            }
            if (tag == 0x014A && (type == 4 || type == 13)) {  // SubIFDs
                if (count == 1) {
                    if (rawIfd(u32(e + 8), depth + 1)) return true;
                } else {
                    const uint32_t list = u32(e + 8);
                    for (uint32_t k = 0; k < count && k < 8 && size_t(list) + 4 * (k + 1) <= d.size(); ++k)
                        if (rawIfd(u32(list + 4 * k), depth + 1)) return true;
                }
            }
        }
        return false;
    }
};

std::string dateText(time_t t) {
    if (t <= 0) return {};
    std::tm tm{};
#ifdef _WIN32
    if (localtime_s(&tm, &t) != 0) return {};
#else
    if (!localtime_r(&t, &tm)) return {};
#endif
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm);
    return buf;
}

}  // namespace

bool looksLikeCameraRaw(const InputFile& in) {
    const auto& d = in.bytes;
    if (d.size() < 16) return false;
    if (d[8] == 'C' && d[9] == 'R' && d[10] == 2) return true;  // Canon CR2
    TiffScan s{d, d[0] == 'I'};
    return s.rawIfd(s.u32(4), 0);
}

Image loadRaw(const InputFile& in, const LoadOptions& opt) {
    Owned<libraw_close> raw(libraw_init(0));
    if (!raw) inputError(in.path, "cannot start the raw decoder");
    int rc = libraw_open_buffer(raw.get(), const_cast<uint8_t*>(in.bytes.data()), in.bytes.size());
    if (rc != LIBRAW_SUCCESS) inputError(in.path, std::string("not a camera raw file this program knows (") +
                                                      libraw_strerror(rc) + ")");
    checkPixelLimit(raw->sizes.width, raw->sizes.height, opt, in.path);

    auto& p = raw->params;
    p.use_camera_wb = 1;
    p.use_camera_matrix = 1;
    p.output_color = 1;  // sRGB
    p.output_bps = 16;
    p.gamm[0] = 1 / 2.4;  // the sRGB curve rather than BT.709's
    p.gamm[1] = 12.92;
    p.user_flip = -1;     // turn as the camera recorded
    rc = libraw_unpack(raw.get());
    if (rc != LIBRAW_SUCCESS) inputError(in.path, std::string("cannot read the raw data: ") + libraw_strerror(rc));
    // The camera's own default crop, where the file records one: the frame of the
    // camera's JPEG, inside the sensor's wider visible area (after unpacking, so the
    // black level still comes from the masked border).
    static_cast<LibRaw*>(raw->parent_class)->adjust_to_raw_inset_crop(1);
    rc = libraw_dcraw_process(raw.get());
    if (rc != LIBRAW_SUCCESS) inputError(in.path, std::string("cannot develop the raw data: ") + libraw_strerror(rc));
    int err = 0;
    Owned<libraw_dcraw_clear_mem> mem(libraw_dcraw_make_mem_image(raw.get(), &err));
    if (!mem || err != LIBRAW_SUCCESS || mem->type != LIBRAW_IMAGE_BITMAP || mem->colors != 3 || mem->bits != 16)
        inputError(in.path, "the raw decoder returned no usable picture");

    Image img;
    img.allocate(mem->width, mem->height, 3, 16);
    std::memcpy(img.px16.data(), mem->data, img.px16.size() * 2);
    mem.reset();

    ShotInfo s;
    s.make = raw->idata.make;
    s.model = raw->idata.model;
    s.dateTime = dateText(raw->other.timestamp);
    s.exposureTime = raw->other.shutter;
    s.fNumber = raw->other.aperture;
    s.iso = raw->other.iso_speed;
    s.focalLength = raw->other.focal_len;
    const auto& g = raw->other.parsed_gps;
    if (g.gpsparsed && (g.latref == 'N' || g.latref == 'S')) {
        s.hasGps = true;
        for (int i = 0; i < 3; ++i) {
            s.latitude[i] = g.latitude[i];
            s.longitude[i] = g.longitude[i];
        }
        s.latRef = g.latref;
        s.lonRef = g.longref == 'W' ? 'W' : 'E';
        s.altitude = std::fabs(g.altitude);
        s.belowSeaLevel = g.altref == 1;
    }
    img.exif = buildExif(s);
    return img;
}

}  // namespace conv
