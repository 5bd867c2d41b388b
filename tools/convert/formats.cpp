#include "tools/convert/formats.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "tools/convert/bytes.h"
#include "tools/convert/colour.h"

namespace conv {

namespace {

bool startsWith(const uint8_t* d, size_t n, std::string_view sig, size_t at = 0) {
    return n >= at + sig.size() && std::memcmp(d + at, sig.data(), sig.size()) == 0;
}

bool isRadiance(const uint8_t* d, size_t n) { return startsWith(d, n, "#?RADIANCE") || startsWith(d, n, "#?RGBE"); }
bool isJpeg(const uint8_t* d, size_t n) { return startsWith(d, n, "\xFF\xD8\xFF"); }
bool isPng(const uint8_t* d, size_t n) { return startsWith(d, n, "\x89PNG\r\n\x1a\n"); }
bool isGif(const uint8_t* d, size_t n) { return startsWith(d, n, "GIF87a") || startsWith(d, n, "GIF89a"); }

bool isBmp(const uint8_t* d, size_t n) {
    if (!startsWith(d, n, "BM") || n < 18) return false;
    // The info header's size at offset 14: 12 (OS/2), 40, 52, 56, 64, 108, 124.
    const uint32_t hs = le32(d + 14);
    return hs == 12 || hs == 40 || hs == 52 || hs == 56 || hs == 64 || hs == 108 || hs == 124;
}

bool isTiffStructure(const uint8_t* d, size_t n) {
    return startsWith(d, n, std::string_view("II*\0", 4)) || startsWith(d, n, std::string_view("MM\0*", 4));
}

// An ISO base media file ("ftyp" box first): HEIF when a HEIF brand is the
// major one or among the compatible ones; Canon CR3 when the major brand is
// "crx " and no HEIF brand is named.
enum class IsoBrand { None, Heif, Cr3 };

IsoBrand isoBrand(const uint8_t* d, size_t n) {
    if (!startsWith(d, n, "ftyp", 4) || n < 12) return IsoBrand::None;
    static const char* const brands[] = {"heic", "heix", "hevc", "hevx", "heim", "heis",
                                         "mif1", "msf1", "avif", "avis", "mif2"};
    const uint32_t boxSize = be32(d);
    const size_t end = std::min<size_t>(n, boxSize >= 16 ? boxSize : 12);
    for (const char* b : brands) {
        if (std::memcmp(d + 8, b, 4) == 0) return IsoBrand::Heif;
        for (size_t at = 16; at + 4 <= end; at += 4)
            if (std::memcmp(d + at, b, 4) == 0) return IsoBrand::Heif;
    }
    return std::memcmp(d + 8, "crx ", 4) == 0 ? IsoBrand::Cr3 : IsoBrand::None;
}

bool isHeif(const uint8_t* d, size_t n) { return isoBrand(d, n) == IsoBrand::Heif; }

// Raw formats with headers of their own (Olympus ORF "IIRO"/"IIRS"/"MMOR",
// Panasonic RW2 "IIU\0", Fujifilm RAF, Canon CRW and CR3), and TIFF-structured
// ones (NEF, CR2, DNG, ...) that looksLikeCameraRaw() tells from pictures.
bool isCameraRaw(const uint8_t* d, size_t n) {
    if (startsWith(d, n, "IIRO") || startsWith(d, n, "IIRS") || startsWith(d, n, "MMOR") ||
        startsWith(d, n, std::string_view("IIU\0", 4)) || startsWith(d, n, "FUJIFILMCCD-RAW") ||
        startsWith(d, n, "HEAPCCDR", 6))
        return true;
    if (isoBrand(d, n) == IsoBrand::Cr3) return true;
    return isTiffStructure(d, n) && looksLikeCameraRaw(d, n);
}

// Tried in this order; the first whose signature matches reads the file. Where
// two signatures could both match the same bytes (a box size of FF D8 FF..,
// say), the earlier row wins.
struct InputRow {
    InputFormat format;
    int listed;  // place in the list of what we read (the unknown-input error)
};
constexpr InputRow kInputs[] = {
    {{"HDR", isRadiance, loadHdr}, 3},
    {{"JPEG", isJpeg, loadJpeg}, 4},
    {{"PNG", isPng, loadPng}, 5},
    {{"GIF", isGif, loadGif}, 8},
    {{"BMP", isBmp, loadBmp}, 7},
    {{"camera raw", isCameraRaw, loadRaw}, 2},
    {{"TIFF", isTiffStructure, loadTiff}, 6},
    {{"HEIC/HEIF", isHeif, loadHeif}, 1},
};

constexpr OutputFormat kOutputs[] = {
    {"jpg jpeg", "jpe", saveJpeg, true, true},
    {"png", "", savePng, false, false},
    {"gif", "", saveGif, false, false},
    {"tif tiff", "", saveTiff, false, false},
    {"bmp", "", saveBmp, false, false},
};

bool listHas(std::string_view list, std::string_view word) {
    while (!list.empty()) {
        const size_t end = std::min(list.find(' '), list.size());
        if (list.substr(0, end) == word) return true;
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return false;
}

// "HEIC/HEIF, camera raw, ..., GIF": the names in their listed order.
std::string inputNameList() {
    std::string s;
    for (int place = 1; place <= int(std::size(kInputs)); ++place)
        for (const InputRow& row : kInputs)
            if (row.listed == place) s += (s.empty() ? "" : ", ") + std::string(row.format.name);
    return s;
}

}  // namespace

const InputFormat* findInputFormat(const uint8_t* data, size_t size) {
    for (const InputRow& row : kInputs)
        if (row.format.sniff(data, size)) return &row.format;
    return nullptr;
}

const OutputFormat* findOutputFormat(const Path& path) {
    const std::string e = extensionLower(path);
    if (e.empty()) return nullptr;
    for (const OutputFormat& f : kOutputs)
        if (listHas(f.extensions, e) || listHas(f.alsoAccepted, e)) return &f;
    return nullptr;
}

std::string outputExtensionList() {
    std::string all;
    for (const OutputFormat& f : kOutputs) all += std::string(all.empty() ? "" : " ") + f.extensions;
    std::string s;
    for (size_t at = 0; at < all.size();) {
        const size_t end = std::min(all.find(' ', at), all.size());
        s += (at == 0 ? "." : end == all.size() ? " or ." : ", .") + all.substr(at, end - at);
        at = end + 1;
    }
    return s;
}

Image loadAny(const InputFile& in, const LoadOptions& opt) {
    if (in.bytes.empty()) inputError(in.path, "the file is empty");
    if (const InputFormat* f = findInputFormat(in.bytes.data(), in.bytes.size())) return f->load(in, opt);
    inputError(in.path, "not a picture this program reads (" + inputNameList() + ")");
}

void saveAs(const OutputFormat& format, const Image& picture, const SaveOptions& opt, OutFile& out) {
    if (!picture.isYcc420() || format.takesYcc420) return format.save(picture, opt, out);
    Image rgb = picture;
    expandYcc420(rgb);
    format.save(rgb, opt, out);
}

}  // namespace conv
