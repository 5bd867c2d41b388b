// A small Radiance writer for the tests: every scanline encoding and every
// orientation, so the reader can be checked against pictures we know.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace hdrtest {

struct Px {
    uint8_t r = 0, g = 0, b = 0, e = 0;
    bool operator==(const Px&) const = default;
};

enum class Encoding { Flat, NewRle, OldRle };

// A picture top row first, left to right.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<Px> px;
    Px at(uint32_t x, uint32_t y) const { return px[size_t(y) * width + x]; }
};

// The same picture with R = G = B given as a linear value.
inline Px grey(double v) {
    if (v <= 1e-38) return {};
    int e = 0;
    const double m = std::frexp(v, &e);  // v = m * 2^e, m in [0.5, 1)
    const int mant = int(m * 256.0);
    const uint8_t c = uint8_t(mant > 255 ? 255 : mant);
    return {c, c, c, uint8_t(e + 128)};
}

inline Px rgb(double r, double g, double b) {
    const double mx = std::max(r, std::max(g, b));
    if (mx <= 1e-38) return {};
    int e = 0;
    const double m = std::frexp(mx, &e);
    const double scale = m * 256.0 / mx;
    auto q = [&](double v) { return uint8_t(std::min(255.0, v * scale)); };
    return {q(r), q(g), q(b), uint8_t(e + 128)};
}

inline void encodeFlat(std::vector<uint8_t>& out, const std::vector<Px>& line) {
    for (const Px& p : line) out.insert(out.end(), {p.r, p.g, p.b, p.e});
}

// New run-length; scanlines shorter than 8 or longer than 32767 pixels cannot
// use it and are written flat, as Radiance does.
inline void encodeNewRle(std::vector<uint8_t>& out, const std::vector<Px>& line) {
    const size_t n = line.size();
    if (n < 8 || n > 0x7fff) return encodeFlat(out, line);
    out.push_back(2);
    out.push_back(2);
    out.push_back(uint8_t(n >> 8));
    out.push_back(uint8_t(n & 255));
    for (int c = 0; c < 4; ++c) {
        auto comp = [&](size_t i) {
            const Px& p = line[i];
            return c == 0 ? p.r : c == 1 ? p.g : c == 2 ? p.b : p.e;
        };
        size_t i = 0;
        while (i < n) {
            size_t run = 1;
            while (i + run < n && run < 127 && comp(i + run) == comp(i)) ++run;
            if (run >= 3) {
                out.push_back(uint8_t(128 + run));
                out.push_back(comp(i));
                i += run;
                continue;
            }
            // Literal bytes up to the next run of three or more.
            size_t len = 0;
            while (i + len < n && len < 128) {
                if (i + len + 2 < n && comp(i + len) == comp(i + len + 1) && comp(i + len) == comp(i + len + 2)) break;
                ++len;
            }
            if (len == 0) len = 1;
            out.push_back(uint8_t(len));
            for (size_t k = 0; k < len; ++k) out.push_back(comp(i + k));
            i += len;
        }
    }
}

// Old run-length: a pixel 1,1,1,n repeats the previous one n times, n in base
// 256 digits, least significant first, one marker per digit.
inline void encodeOldRle(std::vector<uint8_t>& out, const std::vector<Px>& line) {
    size_t i = 0;
    while (i < line.size()) {
        const Px p = line[i];
        if (p.r == 1 && p.g == 1 && p.b == 1) throw std::logic_error("pixel looks like a run marker");
        out.insert(out.end(), {p.r, p.g, p.b, p.e});
        size_t rep = 0;
        while (i + 1 + rep < line.size() && line[i + 1 + rep] == p) ++rep;
        for (size_t left = rep; left > 0; left >>= 8) out.insert(out.end(), {1, 1, 1, uint8_t(left & 255)});
        i += 1 + rep;
    }
}

struct Options {
    Encoding encoding = Encoding::NewRle;
    std::string resolution = "-Y +X";  // axes and signs in file order; sizes are filled in
    std::string format = "32-bit_rle_rgbe";
    std::vector<std::string> headerLines;  // e.g. "EXPOSURE=2"
    std::string magic = "#?RADIANCE";
};

// Writes pic as a Radiance file. opt.resolution names the two axes in file
// order with their signs, e.g. "+X -Y": one scanline per column, left to right,
// each from the top row down. The sizes come from the picture.
inline std::vector<uint8_t> write(const Picture& pic, const Options& opt = {}) {
    std::string head = opt.magic + "\n";
    if (!opt.format.empty()) head += "FORMAT=" + opt.format + "\n";
    for (const auto& l : opt.headerLines) head += l + "\n";
    head += "\n";
    const char s0 = opt.resolution[0], a0 = opt.resolution[1], s1 = opt.resolution[3], a1 = opt.resolution[4];
    auto size = [&](char axis) { return axis == 'X' ? pic.width : pic.height; };
    head += std::string{s0, a0} + " " + std::to_string(size(a0)) + " " + std::string{s1, a1} + " " +
            std::to_string(size(a1)) + "\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    // Position along an axis for the i-th step in the file's direction. Y
    // grows upwards in Radiance: "-Y" walks from the top row down.
    auto coord = [&](char sign, char axis, uint32_t i) {
        const uint32_t n = size(axis);
        if (axis == 'X') return sign == '+' ? i : n - 1 - i;
        return sign == '-' ? i : n - 1 - i;
    };
    for (uint32_t j = 0; j < size(a0); ++j) {
        std::vector<Px> line;
        for (uint32_t k = 0; k < size(a1); ++k) {
            const uint32_t c0 = coord(s0, a0, j), c1 = coord(s1, a1, k);
            const uint32_t x = a0 == 'X' ? c0 : c1, y = a0 == 'X' ? c1 : c0;
            line.push_back(pic.at(x, y));
        }
        switch (opt.encoding) {
            case Encoding::Flat: encodeFlat(out, line); break;
            case Encoding::NewRle: encodeNewRle(out, line); break;
            case Encoding::OldRle: encodeOldRle(out, line); break;
        }
    }
    return out;
}

// The real Radiance files listed by the package at configure time that are
// still there (REAL_HDR_FILES, separated by '|').
inline std::vector<std::string> realHdrFiles() {
    std::vector<std::string> out;
    std::stringstream list(REAL_HDR_FILES);
    std::string path;
    while (std::getline(list, path, '|'))
        if (!path.empty() && std::filesystem::exists(path)) out.push_back(path);
    return out;
}
inline constexpr const char* kNoRealHdrFiles =
    "qtcreator-data's preview_*.hdr are not installed (scripts/deps installs them)";

}  // namespace hdrtest
