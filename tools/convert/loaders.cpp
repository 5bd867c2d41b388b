#include "tools/convert/loaders.h"

#include <cstring>

namespace conv {

InputKind sniffInput(const uint8_t* d, size_t n) {
    auto starts = [&](const char* sig, size_t len, size_t at = 0) {
        return n >= at + len && std::memcmp(d + at, sig, len) == 0;
    };
    if (starts("#?RADIANCE", 10) || starts("#?RGBE", 6)) return InputKind::Hdr;
    if (starts("\xFF\xD8\xFF", 3)) return InputKind::Jpeg;
    if (starts("\x89PNG\r\n\x1a\n", 8)) return InputKind::Png;
    if (starts("GIF87a", 6) || starts("GIF89a", 6)) return InputKind::Gif;
    if (starts("BM", 2) && n >= 18) {
        // The info header size sits at offset 14: 12 (OS/2), 40, 52, 56, 64, 108, 124.
        uint32_t hs = uint32_t(d[14]) | uint32_t(d[15]) << 8 | uint32_t(d[16]) << 16 | uint32_t(d[17]) << 24;
        if (hs == 12 || hs == 40 || hs == 52 || hs == 56 || hs == 64 || hs == 108 || hs == 124)
            return InputKind::Bmp;
    }
    if (starts("II*\0", 4) || starts("MM\0*", 4)) return InputKind::Tiff;
    // Raw formats with their own headers: Olympus ORF ("IIRO"/"IIRS"/"MMOR"),
    // Panasonic RW2 ("IIU\0"), Fujifilm RAF, Canon CR3/CRW.
    if (starts("IIRO", 4) || starts("IIRS", 4) || starts("MMOR", 4) || starts("IIU\0", 4) ||
        starts("FUJIFILMCCD-RAW", 15) || starts("HEAPCCDR", 8, 6))
        return InputKind::Raw;
    // ISO base media file: "ftyp" box first, with a HEIF brand.
    if (starts("ftyp", 4, 4) && n >= 12) {
        static const char* const brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                             "mif1", "msf1", "avif", "avis", "mif2"};
        uint32_t boxSize = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
        size_t end = std::min<size_t>(n, boxSize >= 16 ? boxSize : 12);
        for (const char* b : brands) {
            if (std::memcmp(d + 8, b, 4) == 0) return InputKind::Heif;
            for (size_t at = 16; at + 4 <= end; at += 4)
                if (std::memcmp(d + at, b, 4) == 0) return InputKind::Heif;
        }
        if (std::memcmp(d + 8, "crx ", 4) == 0) return InputKind::Raw;  // Canon CR3
    }
    return InputKind::Unknown;
}

const char* kindName(InputKind k) {
    switch (k) {
        case InputKind::Heif: return "HEIF";
        case InputKind::Jpeg: return "JPEG";
        case InputKind::Png: return "PNG";
        case InputKind::Tiff: return "TIFF";
        case InputKind::Bmp: return "BMP";
        case InputKind::Gif: return "GIF";
        case InputKind::Hdr: return "Radiance HDR";
        case InputKind::Raw: return "camera raw";
        default: return "unknown";
    }
}

void inputError(const Path& path, const std::string& what) {
    throw ConvertError{kExitInput, toUtf8(path) + ": " + what};
}

void checkPixelLimit(uint64_t width, uint64_t height, const LoadOptions& opt, const Path& path) {
    if (width == 0 || height == 0) inputError(path, "the picture has no pixels");
    if (width * height > opt.maxPixels)
        throw ConvertError{kExitLimit, toUtf8(path) + ": the picture is " + std::to_string(width) + "x" +
                                           std::to_string(height) + ", over the limit of " +
                                           std::to_string(opt.maxPixels / 1000000) + " megapixels"};
}

Image loadAny(const InputFile& in, const LoadOptions& opt) {
    if (in.bytes.empty()) inputError(in.path, "the file is empty");
    InputKind k = sniffInput(in.bytes.data(), in.bytes.size());
    if (k == InputKind::Tiff && looksLikeCameraRaw(in)) k = InputKind::Raw;
    switch (k) {
        case InputKind::Heif: return loadHeif(in, opt);
        case InputKind::Raw: return loadRaw(in, opt);
        case InputKind::Jpeg: return loadJpeg(in, opt);
        case InputKind::Png: return loadPng(in, opt);
        case InputKind::Tiff: return loadTiff(in, opt);
        case InputKind::Bmp: return loadBmp(in, opt);
        case InputKind::Gif: return loadGif(in, opt);
        case InputKind::Hdr: return loadHdr(in, opt);
        default: break;
    }
    inputError(in.path, "not a picture this program reads (HEIC/HEIF, camera raw, HDR, JPEG, PNG, TIFF, BMP, GIF)");
}

}  // namespace conv
