// Running the convert program and looking at what it wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace convtest {

namespace fs = std::filesystem;

struct RunResult {
    int code = -1;
    std::string err;  // standard error
    std::string out;  // standard output
};

// Runs the converter with the arguments (each quoted for the shell).
RunResult runConvert(const std::vector<std::string>& args);
// The same with shell commands run first, in the converter's own shell: limits
// such as "ulimit -v 100000" that hold for it alone.
RunResult runConvertLimited(const std::string& limits, const std::vector<std::string>& args);

std::string fixture(const std::string& name);

// A fresh folder for one test's outputs, removed at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    const fs::path& dir() const { return dir_; }
    // Names of every file in the folder (to find leftovers).
    std::vector<std::string> files() const;

private:
    fs::path dir_;
};

// Decoded pixels, 8 or 16 bits per sample, interleaved.
struct Pixels {
    uint32_t width = 0, height = 0;
    int channels = 0;
    int bits = 8;
    std::vector<uint16_t> v;  // one sample each, whatever the depth
    double at(uint32_t x, uint32_t y, int c) const { return v[(size_t(y) * width + x) * channels + c]; }
};

Pixels decodeJpegFile(const std::string& path);
Pixels decodePngFile(const std::string& path);  // keeps 16 bits and alpha
// libheif's own decode, with the container's transformations, as RGB(A) with
// 8 bits, or 16 bits holding the coded 10/12-bit values.
Pixels decodeHeifFile(const std::string& path);
// What TurboJPEG itself makes of libheif's decode at quality 85 (4:2:0,
// accurate DCT), as PSNR against that decode: the converter must not lose more.
double libraryPsnrAt85(const Pixels& ref);

// PSNR over the colour channels of two pictures of one size, 8-bit scale
// (16-bit pictures are compared at 8 bits). Infinity when identical.
double psnr(const Pixels& a, const Pixels& b);
// Reduces by an integer factor with a box average (to compare sizes that differ).
Pixels boxShrink(const Pixels& p, uint32_t factor);
// The picture turned 90 degrees clockwise.
Pixels turnedClockwise(const Pixels& p);

// A file name as a test name: "huge_grid.heic" -> "huge_grid_heic".
std::string testName(std::string fileName);

// One tag through exiftool, "-s3 -n" style (numbers as numbers); empty if absent.
std::string exifTag(const std::string& file, const std::string& tag);

}  // namespace convtest
