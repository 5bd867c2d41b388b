#include "run_helpers.h"

#include <libheif/heif.h>
#include <png.h>
#include <sys/wait.h>
#include <turbojpeg.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

namespace convtest {

namespace {

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

fs::path scratchName(const char* what) {
    static std::atomic<int> n{0};
    std::random_device rd;
    std::string name = "convtest-";
    name.append(what).append("-").append(std::to_string(rd())).append("-").append(std::to_string(n++));
    return fs::temp_directory_path() / name;
}

}  // namespace

RunResult runConvert(const std::vector<std::string>& args) { return runConvertLimited("", args); }

RunResult runConvertLimited(const std::string& limits, const std::vector<std::string>& args) {
    const fs::path errFile = scratchName("err"), outFile = scratchName("out");
    std::string cmd = limits.empty() ? quote(CONVERT_EXE) : limits + "; exec " + quote(CONVERT_EXE);
    for (const auto& a : args) cmd.append(" ").append(quote(a));
    cmd.append(" >").append(quote(outFile.string())).append(" 2>").append(quote(errFile.string()));
    const int status = std::system(cmd.c_str());
    RunResult r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    r.err = slurp(errFile);
    r.out = slurp(outFile);
    fs::remove(errFile);
    fs::remove(outFile);
    return r;
}

std::string fixture(const std::string& name) { return std::string(CONVERTER_FIXTURES) + "/" + name; }

TempDir::TempDir() : dir_(scratchName("dir")) { fs::create_directories(dir_); }
TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
}
std::vector<std::string> TempDir::files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    return names;
}

Pixels decodeJpegFile(const std::string& path) {
    const std::string data = slurp(path);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, ss = 0, cs = 0;
    Pixels p;
    const auto* buf = reinterpret_cast<const unsigned char*>(data.data());
    if (tjDecompressHeader3(tj, buf, data.size(), &w, &h, &ss, &cs) == 0) {
        std::vector<unsigned char> px(size_t(w) * h * 3);
        if (tjDecompress2(tj, buf, data.size(), px.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT) == 0) {
            p.width = uint32_t(w);
            p.height = uint32_t(h);
            p.channels = 3;
            p.v.assign(px.begin(), px.end());
        }
    }
    tjDestroy(tj);
    if (p.v.empty()) throw std::runtime_error("cannot decode JPEG " + path);
    return p;
}

Pixels decodePngFile(const std::string& path) {
    // The plain libpng reader, no gamma handling: samples as stored.
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open PNG " + path);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Pixels p;
    std::vector<png_bytep> rows;
    std::vector<uint8_t> raw;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        throw std::runtime_error("bad PNG " + path);
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_read_update_info(png, info);
    p.width = png_get_image_width(png, info);
    p.height = png_get_image_height(png, info);
    p.channels = png_get_channels(png, info);
    p.bits = png_get_bit_depth(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    raw.resize(rowBytes * p.height);
    rows.resize(p.height);
    for (uint32_t y = 0; y < p.height; ++y) rows[y] = raw.data() + rowBytes * y;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    const size_t n = size_t(p.width) * p.height * p.channels;
    p.v.resize(n);
    for (size_t i = 0; i < n; ++i) p.v[i] = p.bits == 16 ? uint16_t(raw[2 * i] << 8 | raw[2 * i + 1]) : raw[i];
    return p;
}

Pixels decodeHeifFile(const std::string& path) {
    heif_context* ctx = heif_context_alloc();
    Pixels p;
    heif_image_handle* h = nullptr;
    heif_image* img = nullptr;
    if (heif_context_read_from_file(ctx, path.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok) {
        const bool alpha = heif_image_handle_has_alpha_channel(h);
        const bool deep = heif_image_handle_get_luma_bits_per_pixel(h) > 8;
        const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                        : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
        if (heif_decode_image(h, &img, heif_colorspace_RGB, chroma, nullptr).code == heif_error_Ok) {
            int stride = 0;
            const uint8_t* d = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
            p.width = uint32_t(heif_image_get_width(img, heif_channel_interleaved));
            p.height = uint32_t(heif_image_get_height(img, heif_channel_interleaved));
            p.channels = alpha ? 4 : 3;
            p.bits = deep ? 16 : 8;
            const size_t row = size_t(p.width) * p.channels;
            p.v.resize(row * p.height);
            for (uint32_t y = 0; y < p.height; ++y)
                for (size_t i = 0; i < row; ++i)
                    p.v[y * row + i] = deep ? uint16_t(d[size_t(stride) * y + 2 * i] | d[size_t(stride) * y + 2 * i + 1] << 8)
                                            : d[size_t(stride) * y + i];
            heif_image_release(img);
        }
        heif_image_handle_release(h);
    }
    heif_context_free(ctx);
    if (p.v.empty()) throw std::runtime_error("libheif cannot decode " + path);
    return p;
}

double libraryPsnrAt85(const Pixels& ref) {
    std::vector<unsigned char> rgb(size_t(ref.width) * ref.height * 3);
    for (size_t i = 0, n = size_t(ref.width) * ref.height; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            const double v = ref.v[i * ref.channels + c];
            rgb[i * 3 + c] = static_cast<unsigned char>(ref.bits == 16 ? (v * 255 + 32767) / 65535 : v);
        }
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, rgb.data(), int(ref.width), 0, int(ref.height), TJPF_RGB, &buf, &size, TJSAMP_420, 85,
                TJFLAG_ACCURATEDCT);
    tjDestroy(tj);
    TempDir tmp;
    const std::string path = tmp.path("ref.jpg");
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(buf, 1, size, f);
    std::fclose(f);
    tjFree(buf);
    return psnr(decodeJpegFile(path), ref);
}

double psnr(const Pixels& a, const Pixels& b) {
    if (a.width != b.width || a.height != b.height) return -1;
    const double sa = a.bits == 16 ? 257.0 : 1.0, sb = b.bits == 16 ? 257.0 : 1.0;
    double sum = 0;
    size_t n = 0;
    for (uint32_t y = 0; y < a.height; ++y)
        for (uint32_t x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = a.at(x, y, c) / sa - b.at(x, y, c) / sb;
                sum += d * d;
                ++n;
            }
    if (sum == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 / (sum / n));
}

Pixels boxShrink(const Pixels& p, uint32_t f) {
    Pixels r;
    r.width = p.width / f;
    r.height = p.height / f;
    r.channels = p.channels;
    r.bits = p.bits;
    r.v.resize(size_t(r.width) * r.height * r.channels);
    for (uint32_t y = 0; y < r.height; ++y)
        for (uint32_t x = 0; x < r.width; ++x)
            for (int c = 0; c < r.channels; ++c) {
                double s = 0;
                for (uint32_t j = 0; j < f; ++j)
                    for (uint32_t i = 0; i < f; ++i) s += p.at(x * f + i, y * f + j, c);
                r.v[(size_t(y) * r.width + x) * r.channels + c] = uint16_t(s / (f * f) + 0.5);
            }
    return r;
}

Pixels turnedClockwise(const Pixels& p) {
    Pixels r = p;
    r.width = p.height;
    r.height = p.width;
    for (uint32_t y = 0; y < r.height; ++y)
        for (uint32_t x = 0; x < r.width; ++x)
            for (int c = 0; c < p.channels; ++c)
                r.v[(size_t(y) * r.width + x) * r.channels + c] = uint16_t(p.at(y, p.height - 1 - x, c));
    return r;
}

std::string testName(std::string n) {
    for (char& c : n)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return n;
}

std::string exifTag(const std::string& file, const std::string& tag) {
    const fs::path outFile = scratchName("exif");
    std::string cmd = "exiftool -s3 -n -";
    cmd.append(tag).append(" ").append(quote(file)).append(" >").append(quote(outFile.string())).append(" 2>/dev/null");
    std::system(cmd.c_str());
    std::string s = slurp(outFile);
    fs::remove(outFile);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace convtest
