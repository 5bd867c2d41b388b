// Camera raw through LibRaw: demosaiced with the camera's white balance, into
// sRGB with its tone curve, 16 bits per channel, at the camera's own crop,
// turned as the camera recorded, with the file's own EXIF. A file LibRaw cannot develop properly gives the
// camera's embedded JPEG preview instead (raw_preview.cpp), never a wrong picture.
//
// The stages: open (identify the camera; LibRaw's sizes then say what area
// of the sensor is the picture, and every later stage goes by them) -> check
// that the picture can be developed truly -> unpack the sensor data -> take
// the camera's default crop -> develop -> hand over the pixels.
#include <libraw/libraw.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <memory>
#include <mutex>
#ifdef _OPENMP
#include <omp.h>
#endif

#include "tools/convert/bytes.h"
#include "tools/convert/cli.h"
#include "tools/convert/exif.h"
#include "tools/convert/loaders.h"
#include "tools/convert/owned.h"
#include "tools/convert/parallel.h"
#include "tools/convert/raw_preview.h"

namespace conv {

namespace {

// Minimal reading of a TIFF structure's IFDs, to tell raw files from pictures.
struct TiffScan {
    const uint8_t* d;
    size_t size;
    bool le;
    uint32_t u16(size_t o) const { return read16(d + o, !le); }
    uint32_t u32(size_t o) const { return read32(d + o, !le); }
    // True when this IFD or one of its SubIFDs holds sensor data or a DNG tag.
    bool rawIfd(uint32_t off, int depth) const {
        if (depth > 3 || off < 8 || size_t(off) + 2 > size) return false;
        const uint32_t n = u16(off);
        if (size_t(off) + 2 + size_t(n) * 12 > size) return false;
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
                    for (uint32_t k = 0; k < count && k < 8 && size_t(list) + 4 * (k + 1) <= size; ++k)
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

bool looksLikeCameraRaw(const uint8_t* d, size_t size) {
    if (size < 16) return false;
    if (d[8] == 'C' && d[9] == 'R' && d[10] == 2) return true;  // Canon CR2
    TiffScan s{d, size, d[0] == 'I'};
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

namespace {

// Runs fn(begin, end) over [0, n) in one slice per thread.
template <typename Fn>
void inSlices(int threads, size_t n, Fn fn) {
    const size_t k = std::max<size_t>(1, std::min<size_t>(size_t(std::max(1, threads)), n / 64 + 1));
    parallelFor(k, threads, [&](size_t t) { fn(n * t / k, n * (t + 1) / k); });
}

// LibRaw's development, with its serial per-pixel stages spread over the
// cores and the sensor data given back as soon as it has been copied into
// the picture that is developed.
class Developer : public LibRaw {
public:
    explicit Developer(int threads) : LibRaw(0), threads_(threads) {}

    // True when developing needs nothing but the unpacked sensor data: Phase
    // One's compressed files are corrected from data LibRaw reads from the
    // file while it develops.
    bool developsFromSensorDataAlone() { return !is_phaseone_compressed(); }

    enum class Samples { Rgb16, Ycc420 };

    // The developed picture turned as LibRaw says (its flip), through its tone
    // curve: what copy_mem_image writes in 16 bits, or JPEG's YCbCr 4:2:0
    // planes made from those values rounded to 8 bits.
    void output(Image& img, Samples kind) {
        setToneCurve();
        const FlipWalk walk = flipWalk();
        if (kind == Samples::Rgb16) outputRgb16(img, walk);
        else outputYcc420(img, walk);
    }

private:
    // LibRaw's tone curve with the white point its own output takes: the level
    // that all but auto_bright_thr of the pixels stay below, over every channel.
    void setToneCurve() {
        const auto& S = imgdata.sizes;
        const auto* hist = libraw_internal_data.output_data.histogram;
        if (!hist) return;
        const auto& O = imgdata.params;
        int tWhite = 0x2000;
        int perc = int(S.width * S.height * O.auto_bright_thr);
        if (libraw_internal_data.internal_output_params.fuji_width) perc /= 2;
        if (!((O.highlight & ~2) || O.no_auto_bright)) {
            tWhite = 0;
            for (int c = 0; c < imgdata.idata.colors; ++c) {
                int val = 0x2000, total = 0;
                while (--val > 32)
                    if ((total += hist[c][val]) > perc) break;
                tWhite = std::max(tWhite, val);
            }
        }
        gamma_curve(O.gamm[0], O.gamm[1], 2, int((tWhite << 3) / O.bright));
    }

    // Where output pixel (x, y) is found in the developed picture: at
    // soff0 + y * rowStep + x * cstep, of an output w x h.
    struct FlipWalk {
        uint32_t w, h;
        long soff0, cstep, rowStep;
    };

    // As copy_mem_image walks it: flip_index reads the sizes as the output's.
    FlipWalk flipWalk() {
        auto& S = imgdata.sizes;
        const ushort savedIH = S.iheight, savedIW = S.iwidth, savedW = S.width, savedH = S.height;
        S.iheight = S.height;
        S.iwidth = S.width;
        if (S.flip & 4) std::swap(S.width, S.height);
        FlipWalk f;
        f.w = S.width;
        f.h = S.height;
        f.soff0 = flip_index(0, 0);
        f.cstep = flip_index(0, 1) - f.soff0;
        f.rowStep = long(f.w) * f.cstep + (flip_index(1, 0) - flip_index(0, S.width));
        S.iheight = savedIH;
        S.iwidth = savedIW;
        S.width = savedW;
        S.height = savedH;
        return f;
    }

    void outputRgb16(Image& img, const FlipWalk& f) {
        const ushort* curve = imgdata.color.curve;
        const ushort (*px)[4] = imgdata.image;
        const uint32_t w = f.w;
        img.allocate(w, f.h, 3, 16);
        inSlices(threads_, f.h, [&](size_t y0, size_t y1) {
            for (size_t y = y0; y < y1; ++y) {
                long soff = f.soff0 + long(y) * f.rowStep;
                uint16_t* out = img.px16.data() + y * w * 3;
                for (uint32_t x = 0; x < w; ++x, soff += f.cstep, out += 3)
                    for (int c = 0; c < 3; ++c) out[c] = curve[px[soff][c]];
            }
        });
    }

    // Full-range BT.601 in 16-bit fixed point, as libjpeg converts; each
    // chroma sample the mean of its 2x2 pixels (fewer at odd edges).
    void outputYcc420(Image& img, const FlipWalk& f) {
        const ushort* curve = imgdata.color.curve;
        const ushort (*px)[4] = imgdata.image;
        std::vector<uint8_t> lut8(0x10000);
        for (uint32_t v = 0; v < 0x10000; ++v) lut8[v] = uint8_t((curve[v] * 255u + 32767u) / 65535u);
        const uint32_t w = f.w, h = f.h;
        auto row8 = [&](uint32_t y, uint8_t* out) {
            long soff = f.soff0 + long(y) * f.rowStep;
            for (uint32_t x = 0; x < w; ++x, soff += f.cstep, out += 3)
                for (int c = 0; c < 3; ++c) out[c] = lut8[px[soff][c]];
        };
        img.width = w;
        img.height = h;
        img.channels = 3;
        img.bits = 8;
        const uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
        img.ycc420.assign(size_t(w) * h + 2 * size_t(cw) * ch, 0);
        uint8_t* Y = img.ycc420.data();
        uint8_t* Cb = Y + size_t(w) * h;
        uint8_t* Cr = Cb + size_t(cw) * ch;
        inSlices(threads_, ch, [&](size_t c0, size_t c1) {
            std::vector<uint8_t> rgb(size_t(w) * 3);
            std::vector<int64_t> sumB(cw), sumR(cw);
            for (size_t cy = c0; cy < c1; ++cy) {
                std::fill(sumB.begin(), sumB.end(), 0);
                std::fill(sumR.begin(), sumR.end(), 0);
                const uint32_t rows = 2 * cy + 1 < h ? 2 : 1;
                for (uint32_t r = 0; r < rows; ++r) {
                    const uint32_t y = uint32_t(2 * cy + r);
                    row8(y, rgb.data());
                    uint8_t* yl = Y + size_t(y) * w;
                    for (uint32_t x = 0; x < w; ++x) {
                        const int32_t R = rgb[x * 3], G = rgb[x * 3 + 1], B = rgb[x * 3 + 2];
                        yl[x] = uint8_t((19595 * R + 38470 * G + 7471 * B + 32768) >> 16);
                        sumB[x / 2] += -11059 * R - 21709 * G + 32768 * B;
                        sumR[x / 2] += 32768 * R - 27439 * G - 5329 * B;
                    }
                }
                for (uint32_t cx = 0; cx < cw; ++cx) {
                    const int64_t n = int64_t(rows) * (2 * cx + 1 < w ? 2 : 1);
                    auto chroma = [&](int64_t sum) {
                        return uint8_t(std::min<int64_t>(255, (sum + n * (128 * 65536 + 32768)) / (n * 65536)));
                    };
                    Cb[cy * cw + cx] = chroma(sumB[cx]);
                    Cr[cy * cw + cx] = chroma(sumR[cx]);
                }
            }
        });
    }

protected:
    // Called right after the sensor data has been copied into the picture that
    // is developed: nothing reads the sensor data after this, so it goes.
    void scale_colors_loop(float scale_mul[4]) override {
        if (imgdata.rawdata.raw_alloc && imgdata.rawdata.raw_image && imgdata.image) {
            free(imgdata.rawdata.raw_alloc);
            imgdata.rawdata.raw_alloc = nullptr;
            imgdata.rawdata.raw_image = nullptr;
        }
        // Black level off, white balance and scale on; LibRaw's arithmetic. A
        // per-position black pattern goes through LibRaw's own loop.
        const auto& C = imgdata.color;
        if (C.cblack[4] && C.cblack[5]) return LibRaw::scale_colors_loop(scale_mul);
        const int black[4] = {int(C.cblack[0]), int(C.cblack[1]), int(C.cblack[2]), int(C.cblack[3])};
        ushort(*px)[4] = imgdata.image;
        inSlices(threads_, size_t(imgdata.sizes.iheight) * imgdata.sizes.iwidth, [&](size_t i0, size_t i1) {
            for (size_t i = i0; i < i1; ++i)
                for (int c = 0; c < 4; ++c) {
                    // A zero stays zero: it would go below black and be clipped.
                    const int val = int(float(px[i][c] - black[c]) * scale_mul[c]);
                    px[i][c] = ushort(std::clamp(val, 0, 65535));
                }
        });
    }

    // Camera colour to output colour, and the histogram the tone curve's white
    // point comes from: LibRaw's arithmetic, row slices on every core.
    void convert_to_rgb_loop(float out_cam[3][4]) override {
        auto* hist = libraw_internal_data.output_data.histogram;
        const int colors = imgdata.idata.colors;
        const bool rawColor = libraw_internal_data.internal_output_params.raw_color;
        const size_t w = imgdata.sizes.width, h = imgdata.sizes.height;
        std::mutex merge;
        std::memset(hist, 0, sizeof(int) * LIBRAW_HISTOGRAM_SIZE * 4);
        inSlices(threads_, h, [&](size_t y0, size_t y1) {
            std::vector<int> local(size_t(LIBRAW_HISTOGRAM_SIZE) * 4, 0);
            for (size_t y = y0; y < y1; ++y) {
                ushort* img = imgdata.image[y * w];
                for (size_t x = 0; x < w; ++x, img += 4) {
                    if (!rawColor) {
                        float out[3] = {0, 0, 0};
                        for (int c = 0; c < colors; ++c) {
                            out[0] += out_cam[0][c] * img[c];
                            out[1] += out_cam[1][c] * img[c];
                            out[2] += out_cam[2][c] * img[c];
                        }
                        for (int c = 0; c < 3; ++c) img[c] = ushort(std::clamp(int(out[c]), 0, 65535));
                    }
                    for (int c = 0; c < colors; ++c) ++local[size_t(c) * LIBRAW_HISTOGRAM_SIZE + (img[c] >> 3)];
                }
            }
            std::lock_guard<std::mutex> lock(merge);
            for (int c = 0; c < 4; ++c)
                for (int v = 0; v < LIBRAW_HISTOGRAM_SIZE; ++v) hist[c][v] += local[size_t(c) * LIBRAW_HISTOGRAM_SIZE + v];
        });
    }

private:
    int threads_;
};

}  // namespace

Image loadRaw(const InputFile& in, const LoadOptions& opt) {
    auto raw = std::make_unique<Developer>(opt.threads);
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
        // The camera's own default crop, where the file records one: the frame of the
        // camera's JPEG, inside the sensor's wider visible area (after unpacking, so
        // the black level still comes from the masked border).
        raw->adjust_to_raw_inset_crop(1);
    } catch (const NotDeveloped& e) {
        const int orientation = d.idata.make[0] ? orientationFromFlip(flip) : 0;
        raw.reset();
        return embeddedPreview(in, opt, orientation, e.why);
    }
    Image img;
    img.exif = rawFileExif(in);
    if (img.exif.empty()) img.exif = exifFromLibRaw(d);
    // The file's bytes can go before the picture to develop is allocated (for
    // an uncompressed DNG they are as large as the sensor data).
    bool released = false;
    if (opt.releaseInput && raw->developsFromSensorDataAlone()) {
        raw->recycle_datastream();
        opt.releaseInput();
        released = true;
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
    // A picture shrunk to half or less: each 2x2 cell of the sensor becomes one
    // pixel, which is as sharp as demosaicing the full picture and resampling.
    if (opt.resize && opt.resize->set) {
        const bool swap = d.sizes.flip & 4;
        const uint32_t w = swap ? d.sizes.height : d.sizes.width, h = swap ? d.sizes.width : d.sizes.height;
        uint32_t tw = w, th = h;
        targetSize(*opt.resize, w, h, tw, th);
        p.half_size = uint64_t(tw) * 2 <= w && uint64_t(th) * 2 <= h;
    }
#ifdef _OPENMP
    omp_set_num_threads(std::max(1, opt.threads));  // LibRaw's AHD
#endif
    const int rc = raw->dcraw_process();
    if (rc != LIBRAW_SUCCESS) inputError(in.path, std::string("cannot develop the raw data: ") + libraw_strerror(rc));
    if (d.idata.colors != 3) inputError(in.path, "the raw decoder returned no usable picture");
    // LibRaw reads the file no more: the pipeline's copy of it can go before
    // the output picture is made.
    if (opt.releaseInput && !released) opt.releaseInput();
    raw->output(img, opt.allowYcc420 ? Developer::Samples::Ycc420 : Developer::Samples::Rgb16);
    return img;
}

}  // namespace conv
