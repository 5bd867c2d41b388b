// Writes a DNG from a camera raw file's sensor data, for the converter's tests
// (nothing in Debian ships or writes one). LibRaw unpacks the source; the
// Bayer data of its visible area goes, as 16-bit samples, into a CFA SubIFD with
// the black and white levels LibRaw found, and the camera's default crop as the
// DNG's DefaultCrop. IFD0 holds a small RGB preview, the
// camera's names, the colour matrix (XYZ to camera, D65), the white balance as
// shot, the orientation and an EXIF IFD with the shot's details.
//
//   make_dng [--orientation N] [--scale N] INPUT OUTPUT.dng
//
// The DNG develops like its source: same pixels, same levels, same matrix and
// white balance. --orientation writes another Orientation than the source's, so
// that the same sensor data is shown turned. --scale N makes the sensor N times
// wider and higher, each 2x2 colour cell repeated N x N times, for benchmarks
// at the sizes of newer cameras.
#include <libraw/libraw.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/convert/owned.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

void set(bool ok, const char* tag) {
    if (!ok) fail(std::string("libtiff refused ") + tag);
}

// LibRaw's flip (0, 3, 5, 6) as a TIFF Orientation.
uint16_t orientationOfFlip(int flip) {
    switch (flip) {
        case 3: return 3;
        case 5: return 8;
        case 6: return 6;
        default: return 1;
    }
}

struct Source {
    uint32_t width = 0, height = 0;
    // The camera's default crop inside the visible area, as the raw file records it.
    uint32_t cropX = 0, cropY = 0, cropW = 0, cropH = 0;
    std::vector<uint16_t> cfa;     // visible area, row by row
    uint8_t pattern[4] = {};       // CFA colours of the 2x2 cell: 0 red, 1 green, 2 blue
    float black[4] = {};           // per position of the 2x2 cell
    uint32_t white = 0;
    float colorMatrix[9] = {};     // XYZ to camera RGB
    float neutral[3] = {};         // camera RGB of a neutral grey as shot
    uint16_t orientation = 1;
    std::string make, model, dateTime;
    float exposure = 0, fNumber = 0, focal = 0;
    uint16_t iso = 0;
};

Source readSource(const char* path) {
    auto raw = std::make_unique<LibRaw>();
    if (raw->open_file(path) != LIBRAW_SUCCESS) fail(std::string("LibRaw cannot open ") + path);
    if (raw->unpack() != LIBRAW_SUCCESS) fail(std::string("LibRaw cannot unpack ") + path);
    const auto& d = raw->imgdata;
    const auto& sz = d.sizes;
    if (!d.rawdata.raw_image || d.idata.colors != 3 || d.idata.filters < 1000)
        fail("not a three-colour Bayer sensor: only those are written");
    // A 2x2 pattern repeats the same byte in all four of `filters`' bytes.
    const unsigned f = d.idata.filters;
    if ((f & 0xff) * 0x01010101u != f) fail("the CFA pattern is larger than 2x2");

    Source s;
    s.width = sz.width;
    s.height = sz.height;
    s.cropW = s.width;
    s.cropH = s.height;
    const auto& ic = sz.raw_inset_crops[0];
    if (ic.cleft != 0xffff && ic.ctop != 0xffff && ic.cleft >= sz.left_margin && ic.ctop >= sz.top_margin &&
        ic.cwidth > 0 && ic.cheight > 0 && ic.cleft - sz.left_margin + ic.cwidth <= s.width &&
        ic.ctop - sz.top_margin + ic.cheight <= s.height) {
        s.cropX = ic.cleft - sz.left_margin;
        s.cropY = ic.ctop - sz.top_margin;
        s.cropW = ic.cwidth;
        s.cropH = ic.cheight;
    }
    s.cfa.resize(size_t(s.width) * s.height);
    const size_t pitch = sz.raw_pitch / 2;
    for (uint32_t y = 0; y < s.height; ++y)
        std::memcpy(&s.cfa[size_t(y) * s.width], d.rawdata.raw_image + (y + sz.top_margin) * pitch + sz.left_margin,
                    size_t(s.width) * 2);

    const auto& c = d.color;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            const int colour = raw->COLOR(y, x);  // 3 is the second green
            s.pattern[y * 2 + x] = uint8_t(colour == 3 ? 1 : colour);
            float b = float(c.black + c.cblack[colour]);
            if (c.cblack[4] && c.cblack[5]) b += float(c.cblack[6 + (y % c.cblack[4]) * c.cblack[5] + x % c.cblack[5]]);
            s.black[y * 2 + x] = b;
        }
    s.white = c.maximum;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) s.colorMatrix[i * 3 + j] = c.cam_xyz[i][j];
    if (c.cam_mul[0] <= 0 || c.cam_mul[1] <= 0 || c.cam_mul[2] <= 0) fail("the file has no white balance as shot");
    for (int i = 0; i < 3; ++i) s.neutral[i] = c.cam_mul[1] / c.cam_mul[i];

    s.orientation = orientationOfFlip(sz.flip);
    s.make = d.idata.make;
    s.model = d.idata.model;
    // DNG readers expect the maker in Model as the camera's own EXIF has it.
    if (s.model.rfind(s.make, 0) != 0) s.model = s.make + " " + s.model;
    if (d.other.timestamp > 0) {
        const time_t t = d.other.timestamp;
        std::tm tm{};
        localtime_r(&t, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &tm);
        s.dateTime = buf;
    }
    s.exposure = d.other.shutter;
    s.fNumber = d.other.aperture;
    s.focal = d.other.focal_len;
    s.iso = uint16_t(std::clamp(d.other.iso_speed, 0.0f, 65535.0f));
    return s;
}

// A preview a sixteenth of the size each way: each 2x2 cell gives one colour
// (black subtracted, white balanced), averaged over 8x8 cells, gamma 2.2.
std::vector<uint8_t> preview(const Source& s, uint32_t& pw, uint32_t& ph) {
    pw = s.width / 16;
    ph = s.height / 16;
    std::vector<uint8_t> out(size_t(pw) * ph * 3);
    const float range = float(s.white) - s.black[0];
    const float gain[3] = {1 / s.neutral[0], 1 / s.neutral[1], 1 / s.neutral[2]};
    for (uint32_t py = 0; py < ph; ++py)
        for (uint32_t px = 0; px < pw; ++px) {
            double sum[3] = {0, 0, 0};
            int n[3] = {0, 0, 0};
            for (uint32_t y = py * 16; y < py * 16 + 16; ++y)
                for (uint32_t x = px * 16; x < px * 16 + 16; ++x) {
                    const int at = int(y & 1) * 2 + int(x & 1);
                    sum[s.pattern[at]] += std::max(0.0f, s.cfa[size_t(y) * s.width + x] - s.black[at]);
                    ++n[s.pattern[at]];
                }
            for (int c = 0; c < 3; ++c) {
                const double v = std::clamp(sum[c] / std::max(1, n[c]) * gain[c] / range, 0.0, 1.0);
                out[(size_t(py) * pw + px) * 3 + c] = uint8_t(std::lround(255 * std::pow(v, 1 / 2.2)));
            }
        }
    return out;
}

void writeDng(const Source& s, const std::string& path) {
    conv::Owned<TIFFClose> tif(TIFFOpen(path.c_str(), "w"));
    if (!tif) fail("cannot create " + path);
    TIFF* t = tif.get();

    // The EXIF IFD first, so that IFD0 can point at it when it is written.
    uint64_t exifAt = 0;
    set(TIFFCreateEXIFDirectory(t) == 0, "an EXIF directory");
    if (!s.dateTime.empty()) set(TIFFSetField(t, EXIFTAG_DATETIMEORIGINAL, s.dateTime.c_str()), "DateTimeOriginal");
    if (s.exposure > 0) set(TIFFSetField(t, EXIFTAG_EXPOSURETIME, double(s.exposure)), "ExposureTime");
    if (s.fNumber > 0) set(TIFFSetField(t, EXIFTAG_FNUMBER, double(s.fNumber)), "FNumber");
    if (s.focal > 0) set(TIFFSetField(t, EXIFTAG_FOCALLENGTH, double(s.focal)), "FocalLength");
    if (s.iso > 0) set(TIFFSetField(t, EXIFTAG_ISOSPEEDRATINGS, 1, &s.iso), "ISOSpeedRatings");
    set(TIFFWriteCustomDirectory(t, &exifAt), "the EXIF directory");
    TIFFCreateDirectory(t);

    // IFD0: the preview and everything that describes the camera.
    uint32_t pw = 0, ph = 0;
    const std::vector<uint8_t> small = preview(s, pw, ph);
    const uint8_t dngVersion[4] = {1, 4, 0, 0}, backward[4] = {1, 1, 0, 0};
    uint64_t subIfd[1] = {0};
    set(TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE), "NewSubFileType");
    set(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, pw), "ImageWidth");
    set(TIFFSetField(t, TIFFTAG_IMAGELENGTH, ph), "ImageLength");
    set(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8), "BitsPerSample");
    set(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3), "SamplesPerPixel");
    set(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB), "PhotometricInterpretation");
    set(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE), "Compression");
    set(TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG), "PlanarConfiguration");
    set(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, ph), "RowsPerStrip");
    set(TIFFSetField(t, TIFFTAG_ORIENTATION, s.orientation), "Orientation");
    set(TIFFSetField(t, TIFFTAG_MAKE, s.make.c_str()), "Make");
    set(TIFFSetField(t, TIFFTAG_MODEL, s.model.c_str()), "Model");
    set(TIFFSetField(t, TIFFTAG_SOFTWARE, "make_dng"), "Software");
    if (!s.dateTime.empty()) set(TIFFSetField(t, TIFFTAG_DATETIME, s.dateTime.c_str()), "DateTime");
    set(TIFFSetField(t, TIFFTAG_DNGVERSION, dngVersion), "DNGVersion");
    set(TIFFSetField(t, TIFFTAG_DNGBACKWARDVERSION, backward), "DNGBackwardVersion");
    set(TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, s.model.c_str()), "UniqueCameraModel");
    set(TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, s.colorMatrix), "ColorMatrix1");
    set(TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, s.neutral), "AsShotNeutral");
    set(TIFFSetField(t, TIFFTAG_CALIBRATIONILLUMINANT1, 21), "CalibrationIlluminant1");  // D65
    set(TIFFSetField(t, TIFFTAG_EXIFIFD, exifAt), "ExifIFD");
    set(TIFFSetField(t, TIFFTAG_SUBIFD, 1, subIfd), "SubIFDs");
    for (uint32_t y = 0; y < ph; ++y)
        set(TIFFWriteScanline(t, const_cast<uint8_t*>(&small[size_t(y) * pw * 3]), y, 0) >= 0, "the preview");
    set(TIFFWriteDirectory(t), "IFD0");

    // The SubIFD: the sensor data, 16 bits per sample, uncompressed.
    const uint16_t dim[2] = {2, 2};
    const uint8_t planeColours[3] = {0, 1, 2};
    const uint32_t white[1] = {s.white};
    const float cropOrigin[2] = {float(s.cropX), float(s.cropY)}, cropSize[2] = {float(s.cropW), float(s.cropH)};
    set(TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0), "NewSubFileType");
    set(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width), "ImageWidth");
    set(TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height), "ImageLength");
    set(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16), "BitsPerSample");
    set(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1), "SamplesPerPixel");
    set(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA), "PhotometricInterpretation");
    set(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE), "Compression");
    set(TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG), "PlanarConfiguration");
    set(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 64), "RowsPerStrip");
    set(TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, dim), "CFARepeatPatternDim");
    set(TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, s.pattern), "CFAPattern");
    set(TIFFSetField(t, TIFFTAG_CFAPLANECOLOR, 3, planeColours), "CFAPlaneColor");
    set(TIFFSetField(t, TIFFTAG_CFALAYOUT, 1), "CFALayout");
    set(TIFFSetField(t, TIFFTAG_BLACKLEVELREPEATDIM, dim), "BlackLevelRepeatDim");
    set(TIFFSetField(t, TIFFTAG_BLACKLEVEL, 4, s.black), "BlackLevel");
    set(TIFFSetField(t, TIFFTAG_WHITELEVEL, 1, white), "WhiteLevel");
    set(TIFFSetField(t, TIFFTAG_DEFAULTCROPORIGIN, cropOrigin), "DefaultCropOrigin");
    set(TIFFSetField(t, TIFFTAG_DEFAULTCROPSIZE, cropSize), "DefaultCropSize");
    for (uint32_t y = 0; y < s.height; ++y)
        set(TIFFWriteScanline(t, const_cast<uint16_t*>(&s.cfa[size_t(y) * s.width]), y, 0) >= 0, "the sensor data");
    set(TIFFWriteDirectory(t), "the raw SubIFD");
}

}  // namespace

// Each 2x2 CFA cell repeated n x n times: the same pattern, n^2 times the pixels.
void scaleUp(Source& s, uint32_t n) {
    const uint32_t w = (s.width & ~1u) * n, h = (s.height & ~1u) * n;  // whole cells only
    std::vector<uint16_t> cfa(size_t(w) * h);
    for (uint32_t y = 0; y < h; ++y) {
        const uint32_t sy = (y / 2 / n) * 2 + y % 2;
        for (uint32_t x = 0; x < w; ++x) cfa[size_t(y) * w + x] = s.cfa[size_t(sy) * s.width + (x / 2 / n) * 2 + x % 2];
    }
    s.cfa.swap(cfa);
    s.width = w;
    s.height = h;
    // The camera's crop frames the same part of the scene.
    s.cropX = std::min(s.cropX * n, w);
    s.cropY = std::min(s.cropY * n, h);
    s.cropW = std::min(s.cropW * n, w - s.cropX);
    s.cropH = std::min(s.cropH * n, h - s.cropY);
}

int main(int argc, char** argv) {
    int orientation = 0, scale = 1;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--orientation" && i + 1 < argc) orientation = std::atoi(argv[++i]);
        else if (a == "--scale" && i + 1 < argc) scale = std::atoi(argv[++i]);
        else files.push_back(a);
    }
    if (files.size() != 2 || orientation < 0 || orientation > 8 || scale < 1 || scale > 8) {
        std::fprintf(stderr, "usage: make_dng [--orientation 1-8] [--scale 1-8] INPUT OUTPUT.dng\n");
        return 1;
    }
    const fs::path out = files[1];
    const fs::path part = fs::path(out).concat(".part");
    try {
        Source s = readSource(files[0].c_str());
        if (orientation) s.orientation = uint16_t(orientation);
        if (scale > 1) scaleUp(s, uint32_t(scale));
        if (out.has_parent_path()) fs::create_directories(out.parent_path());
        writeDng(s, part.string());
        fs::rename(part, out);
    } catch (const std::exception& e) {
        std::error_code ec;
        fs::remove(part, ec);
        std::fprintf(stderr, "make_dng: %s: %s\n", files[0].c_str(), e.what());
        return 2;
    }
    return 0;
}
