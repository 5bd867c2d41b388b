// Camera raw through LibRaw: demosaiced with the camera's white balance, into
// sRGB with its tone curve, 16 bits per channel, turned as the camera recorded,
// with the file's own EXIF. A file LibRaw cannot develop properly gives the
// camera's embedded JPEG preview instead (raw_preview.cpp), never a wrong picture.
//
// The stages: open (identify the camera) -> check that the picture can be
// developed truly -> unpack the sensor data -> trim to the picture area ->
// develop -> hand over the pixels.
#include <libraw/libraw.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>

#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/raw_preview.h"

namespace conv {

namespace {

struct MemFree { void operator()(libraw_processed_image_t* p) const { LibRaw::dcraw_clear_mem(p); } };

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

// LibRaw's turn code as an EXIF Orientation.
int orientationFromFlip(int flip) {
    switch (flip) {
        case 3: return 3;
        case 5: return 8;
        case 6: return 6;
        default: return 1;
    }
}

// What LibRaw reports about the shot, for files whose EXIF is not a TIFF
// structure we can read (CR3, RAF, ...) and that bring none in their preview.
std::vector<uint8_t> exifFromLibRaw(const libraw_data_t& d) {
    ShotInfo s;
    s.make = d.idata.make;
    s.model = d.idata.model;
    s.dateTime = dateText(d.other.timestamp);
    s.exposureTime = d.other.shutter;
    s.fNumber = d.other.aperture;
    s.iso = d.other.iso_speed;
    s.focalLength = d.other.focal_len;
    const auto& g = d.other.parsed_gps;
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
    return buildExif(s);
}

// Sensor data that LibRaw found damaged while unpacking (it goes on with what
// it could read, so the picture would be partly wrong).
void onDataError(void* flag, const char*, const int) { *static_cast<bool*>(flag) = true; }

// True when LibRaw knows how this camera's colours map to real ones: a matrix
// from its table for this body, from the file (DNG's ColorMatrix), or the
// camera's own matrix. Without one the picture comes out in the sensor's raw
// primaries: washed out and tinted.
bool hasColourData(const libraw_data_t& d) {
    if (d.idata.colors < 3) return d.idata.colors == 1;  // a monochrome sensor needs none
    float sum = 0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) sum += std::fabs(d.color.cam_xyz[i][j]);
    return sum > 0 || d.color.cmatrix[0][0] > 0.25f;
}

// Why the picture cannot be developed: set by the stages below.
struct NotDeveloped {
    std::string why;
};

}  // namespace

bool looksLikeCameraRaw(const InputFile& in) {
    const auto& d = in.bytes;
    if (d.size() < 16) return false;
    if (d[8] == 'C' && d[9] == 'R' && d[10] == 2) return true;  // Canon CR2
    TiffScan s{d, d[0] == 'I'};
    return s.rawIfd(s.u32(4), 0);
}

std::vector<uint8_t> rawFileExif(const InputFile& in) {
    const auto& d = in.bytes;
    if (d.size() < 8) return {};
    if ((d[0] == 'I' && d[1] == 'I' && d[2] == 42 && d[3] == 0) || (d[0] == 'M' && d[1] == 'M' && d[2] == 0 && d[3] == 42))
        return exifFromTiffFile(d, MakerNotes::SelfContainedOnly);
    // Olympus and Panasonic write TIFF structures under a magic number of their own.
    const bool olympus = (d[0] == 'I' && d[1] == 'I' && (d[2] == 'R' || d[2] == 'U')) || (d[0] == 'M' && d[1] == 'M' && d[2] == 'O');
    if (!olympus) return {};
    std::vector<uint8_t> copy = d;
    if (copy[0] == 'I') { copy[2] = 42; copy[3] = 0; } else { copy[2] = 0; copy[3] = 42; }
    return exifFromTiffFile(copy, MakerNotes::SelfContainedOnly);
}

Image loadRaw(const InputFile& in, const LoadOptions& opt) {
    auto raw = std::make_unique<LibRaw>(0);
    libraw_data_t& d = raw->imgdata;
    bool damaged = false;
    raw->set_dataerror_handler(onDataError, &damaged);
    int flip = 0;
    try {
        // Open: LibRaw reads the header and identifies the camera.
        int rc = raw->open_buffer(const_cast<uint8_t*>(in.bytes.data()), in.bytes.size());
        if (rc != LIBRAW_SUCCESS) throw NotDeveloped{std::string("LibRaw cannot read it: ") + libraw_strerror(rc)};
        flip = d.sizes.flip;
        checkPixelLimit(d.sizes.width, d.sizes.height, opt, in.path);
        if (!hasColourData(d))
            throw NotDeveloped{std::string("LibRaw has no colour data for the ") + d.idata.make + " " + d.idata.model};

        // Unpack: the sensor data, decompressed.
        rc = raw->unpack();
        if (rc != LIBRAW_SUCCESS) throw NotDeveloped{std::string("the sensor data cannot be read: ") + libraw_strerror(rc)};
        if (damaged) throw NotDeveloped{"the sensor data is damaged"};
    } catch (const NotDeveloped& e) {
        const int orientation = d.idata.make[0] ? orientationFromFlip(flip) : 0;
        raw.reset();
        Image img = embeddedPreview(in, opt, orientation, e.why);
        return img;
    }

    // Develop.
    auto& p = d.params;
    p.use_camera_wb = 1;
    p.use_camera_matrix = 1;
    p.output_color = 1;  // sRGB
    p.output_bps = 16;
    p.gamm[0] = 1 / 2.4;  // the sRGB curve rather than BT.709's
    p.gamm[1] = 12.92;
    p.user_flip = -1;     // turn as the camera recorded
    int rc = raw->dcraw_process();
    if (rc != LIBRAW_SUCCESS) inputError(in.path, std::string("cannot develop the raw data: ") + libraw_strerror(rc));
    int err = 0;
    std::unique_ptr<libraw_processed_image_t, MemFree> mem(raw->dcraw_make_mem_image(&err));
    if (!mem || err != LIBRAW_SUCCESS || mem->type != LIBRAW_IMAGE_BITMAP || mem->colors != 3 || mem->bits != 16)
        inputError(in.path, "the raw decoder returned no usable picture");

    Image img;
    img.allocate(mem->width, mem->height, 3, 16);
    std::memcpy(img.px16.data(), mem->data, img.px16.size() * 2);
    mem.reset();

    img.exif = rawFileExif(in);
    if (img.exif.empty()) img.exif = exifFromLibRaw(d);
    return img;
}

}  // namespace conv
