// Reading pictures: one loader per family turns the bytes into an Image with its
// ICC profile, EXIF and XMP (formats.h picks the loader from the content).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "tools/convert/cli.h"
#include "tools/convert/fileio.h"
#include "tools/convert/image.h"

namespace conv {

// The whole input file in memory (photos are small next to their pixels).
struct InputFile {
    Path path;
    std::vector<uint8_t> bytes;
};

// Largest picture accepted, in pixels: 200 million, so phones' 48 MP and
// medium-format 100-150 MP backs pass, while a header that declares something
// absurd (65535x65535 is 4.3 billion) is refused before any pixel is decoded.
// At 16 bits RGBA that bound keeps one picture under 1.6 GB.
constexpr uint64_t kDefaultMaxPixels = 200'000'000;

struct LoadOptions {
    uint64_t maxPixels = kDefaultMaxPixels;
    int threads = 1;  // decoding threads the loader may use
    // The caller takes Image::ycc420 (a JPEG encoder does): a HEIF loader then
    // skips the conversion to RGB when the coded picture already is what JPEG
    // stores. Loaders are free to ignore it.
    bool allowYcc420 = false;
    // The caller writes an HDR gain map (JPEG output does): loaders that find
    // or can make one put it in Image::gainMap.
    bool gainMap = false;
    // The -resize geometry, when there is one: a loader that can decode at a
    // reduced size (camera raw at half size) may do so when the result will
    // be shrunk at least that much anyway.
    const Geometry* resize = nullptr;
    // When set, a loader may call it once it reads the input's bytes no more;
    // they are gone afterwards. Frees the file's memory for the pixels.
    std::function<void()> releaseInput;
};

// Throws ConvertError{kExitLimit} naming the file when width x height is over
// the limit, and ConvertError{kExitInput} when either side is zero. Every
// loader calls it with the header's size before it allocates pixels.
void checkPixelLimit(uint64_t width, uint64_t height, const LoadOptions& opt, const Path& path);

// Throws ConvertError{kExitInput} "<file>: <what>" — the loaders' common way out.
[[noreturn]] void inputError(const Path& path, const std::string& what);

// Each loader returns 8-bit or 16-bit RGB(A) top row first, already turned
// upright as its format's rules say (see orient.h), with image.exif holding the
// kept EXIF (Orientation still as found; the pipeline resets it to 1).
// Every failure throws ConvertError.
Image loadHeif(const InputFile& in, const LoadOptions& opt);
Image loadRaw(const InputFile& in, const LoadOptions& opt);
Image loadJpeg(const InputFile& in, const LoadOptions& opt);
Image loadPng(const InputFile& in, const LoadOptions& opt);
Image loadTiff(const InputFile& in, const LoadOptions& opt);
Image loadBmp(const InputFile& in, const LoadOptions& opt);
Image loadGif(const InputFile& in, const LoadOptions& opt);
// Radiance RGBE/XYZE, RLE and flat; tone-mapped to 16-bit sRGB.
Image loadHdr(const InputFile& in, const LoadOptions& opt);

// True when a TIFF-structured file is a camera raw that LibRaw develops
// (NEF, CR2, DNG, ...) rather than an ordinary TIFF picture.
bool looksLikeCameraRaw(const uint8_t* data, size_t size);

}  // namespace conv
