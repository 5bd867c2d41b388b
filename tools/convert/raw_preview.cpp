#include "tools/convert/raw_preview.h"

#include <algorithm>
#include <cstring>

#include "tools/convert/bytes.h"
#include "tools/convert/exif.h"
#include "tools/convert/orient.h"

namespace conv {

namespace {

constexpr uint32_t kMinPreviewSide = 640;

bool isFrameMarker(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// Walks one JPEG from its SOI at `at`; true with `j` filled when it is whole.
bool walkJpeg(const uint8_t* d, size_t n, size_t at, EmbeddedJpeg& j) {
    size_t i = at + 2;
    bool frame = false, scanned = false;
    while (i + 2 <= n) {
        if (d[i] != 0xFF) return false;
        const uint8_t m = d[i + 1];
        if (m == 0xFF) { ++i; continue; }
        if (m == 0xD9) {
            if (!frame || !scanned) return false;
            j.offset = at;
            j.size = i + 2 - at;
            return j.width && j.height;
        }
        if ((m >= 0xD0 && m <= 0xD7) || m == 0x01) { i += 2; continue; }
        if (m == 0xD8 || m == 0x00 || i + 4 > n) return false;
        const size_t len = be16(d + i + 2);
        if (len < 2 || i + 2 + len > n) return false;
        if (isFrameMarker(m)) {
            if (len < 7) return false;
            j.height = be16(d + i + 5);
            j.width = be16(d + i + 7);
            frame = true;
        }
        i += 2 + len;
        if (m == 0xDA) {
            // Entropy-coded data runs to the next marker that is neither a
            // stuffed zero nor a restart.
            scanned = true;
            for (;;) {
                const void* ff = std::memchr(d + i, 0xFF, n - i);
                if (!ff) return false;
                i = size_t(static_cast<const uint8_t*>(ff) - d);
                if (i + 1 >= n) return false;
                const uint8_t next = d[i + 1];
                if (next == 0x00 || next == 0xFF || (next >= 0xD0 && next <= 0xD7)) { i += next == 0xFF ? 1 : 2; continue; }
                break;
            }
        }
    }
    return false;
}

}  // namespace

std::vector<EmbeddedJpeg> findEmbeddedJpegs(const uint8_t* d, size_t n) {
    std::vector<EmbeddedJpeg> found;
    size_t i = 0;
    while (i + 3 <= n) {
        const void* ff = std::memchr(d + i, 0xFF, n - i);
        if (!ff) break;
        i = size_t(static_cast<const uint8_t*>(ff) - d);
        if (i + 3 <= n && d[i + 1] == 0xD8 && d[i + 2] == 0xFF) {
            EmbeddedJpeg j;
            if (walkJpeg(d, n, i, j)) {
                found.push_back(j);
                i += j.size;
                continue;
            }
        }
        ++i;
    }
    std::stable_sort(found.begin(), found.end(), [](const EmbeddedJpeg& a, const EmbeddedJpeg& b) {
        return uint64_t(a.width) * a.height > uint64_t(b.width) * b.height;
    });
    return found;
}

Image embeddedPreview(const InputFile& in, const LoadOptions& opt, int orientation, const std::string& why) {
    for (const EmbeddedJpeg& j : findEmbeddedJpegs(in.bytes.data(), in.bytes.size())) {
        // A thumbnail for the camera's index screen is no stand-in for a photograph.
        if (std::max(j.width, j.height) < kMinPreviewSide) break;
        InputFile preview{in.path, std::vector<uint8_t>(in.bytes.begin() + ptrdiff_t(j.offset),
                                                        in.bytes.begin() + ptrdiff_t(j.offset + j.size))};
        Image img;
        try {
            img = loadJpeg(preview, opt);
        } catch (const ConvertError& e) {
            if (e.code == kExitLimit) throw;
            continue;  // damaged: try the next one
        }
        // The preview's own Orientation, when it has one, has been applied.
        if (exifOrientation(img.exif) == 0)
            applyOrientation(img, orientation ? orientation : exifOrientation(in.bytes));
        std::vector<uint8_t> exif = rawFileExif(in);
        if (!exif.empty()) img.exif = std::move(exif);
        img.note = toUtf8(in.path) + ": written from the camera's embedded JPEG preview (" + std::to_string(img.width) +
                   "x" + std::to_string(img.height) + ") instead of the sensor data: " + why;
        return img;
    }
    inputError(in.path, why + "; nor does it hold a whole embedded preview of at least " +
                             std::to_string(kMinPreviewSide) + " pixels");
}

}  // namespace conv
