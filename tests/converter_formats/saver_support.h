// Shared pieces of the saver tests: a scratch folder, test pictures, running a
// saver into a file, and the Display P3 profile.
#pragma once

#include <gtest/gtest.h>
#include <lcms2.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/convert/fileio.h"
#include "tools/convert/image.h"
#include "tools/convert/savers.h"

namespace savetest {

namespace fs = std::filesystem;

// A folder of its own for each test, removed afterwards.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> n{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("conv-formats-" + std::string(info ? info->name() : "x") + "-" + std::to_string(::getpid()) + "-" +
                 std::to_string(n++));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::vector<uint8_t> readBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

using SaveFn = void (*)(const conv::Image&, const conv::SaveOptions&, conv::OutFile&);

// Runs a saver the way the pipeline does: into an OutFile, committed at the end.
inline fs::path save(SaveFn fn, const conv::Image& img, const fs::path& where, int quality = 85, bool given = false,
                     int threads = 2) {
    conv::SaveOptions opt;
    opt.quality = quality;
    opt.qualityGiven = given;
    opt.threads = threads;
    conv::OutFile out(where.string());
    fn(img, opt, out);
    out.commit();
    return where;
}

// Colour ramps: red across, green down, blue either noise (every value, hard
// on a lossless predictor) or a smooth diagonal (like a photo, for the
// palette). Alpha (when asked) fully transparent in the top-left quarter,
// half-transparent in every eighth row, opaque elsewhere.
inline conv::Image testPicture(uint32_t w, uint32_t h, int channels, int bits, bool noisy = true) {
    conv::Image img;
    img.allocate(w, h, channels, bits);
    const int maxv = bits == 8 ? 255 : 65535;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const size_t i = (size_t(y) * w + x) * size_t(channels);
            const int v[4] = {int(uint64_t(x) * maxv / (w > 1 ? w - 1 : 1)), int(uint64_t(y) * maxv / (h > 1 ? h - 1 : 1)),
                              noisy ? int((uint64_t(x + y) * 7919) % uint64_t(maxv + 1))
                                    : int(uint64_t(x + y) * maxv / (w + h > 2 ? w + h - 2 : 1)),
                              (x < w / 2 && y < h / 2) ? 0 : (y % 8 == 3 ? maxv / 2 : maxv)};
            for (int c = 0; c < channels; ++c) {
                if (bits == 8) img.px8[i + size_t(c)] = uint8_t(v[c]);
                else img.px16[i + size_t(c)] = uint16_t(v[c]);
            }
        }
    return img;
}

inline std::vector<uint8_t> displayP3() {
    std::ifstream f(DISPLAY_P3_ICC, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// What lcms2 makes of 8-bit Display P3 pixels in sRGB (perceptual intent).
inline std::vector<uint8_t> p3ToSrgb8(const std::vector<uint8_t>& icc, const std::vector<uint8_t>& rgb) {
    cmsHPROFILE src = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    cmsHPROFILE dst = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(src, TYPE_RGB_8, dst, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    std::vector<uint8_t> out(rgb.size());
    cmsDoTransform(t, rgb.data(), out.data(), cmsUInt32Number(rgb.size() / 3));
    cmsDeleteTransform(t);
    cmsCloseProfile(src);
    cmsCloseProfile(dst);
    return out;
}

// A solid picture of a few saturated Display P3 colours, far enough outside
// or at the edge of sRGB that a missing conversion shows.
inline conv::Image p3Picture(const std::vector<uint8_t>& icc) {
    conv::Image img;
    img.allocate(8, 4, 3, 8);
    const uint8_t colours[4][3] = {{200, 40, 40}, {40, 190, 60}, {230, 200, 30}, {90, 60, 200}};
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c) img.px8[(size_t(y) * 8 + x) * 3 + size_t(c)] = colours[y][c];
    img.icc = icc;
    return img;
}

}  // namespace savetest
