// The EXIF reader and patcher: any bytes as an EXIF block.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> block(data, data + size);
    if (!conv::normaliseExif(block)) return 0;
    const int before = conv::exifOrientation(block);
    FUZZ_CHECK(before >= 0 && before <= 8);
    std::vector<uint8_t> patched = block;
    if (conv::setExifOrientation(patched, 1)) {
        FUZZ_CHECK(patched.size() == block.size());
        FUZZ_CHECK(conv::exifOrientation(patched) == 1);
    } else {
        FUZZ_CHECK(patched == block);
    }
    // The directories read, laid out again at some offset in both byte orders.
    conv::ExifParts parts = conv::parseExif(block);
    for (bool be : {false, true})
        for (const auto* ifd : {&parts.ifd0, &parts.exif, &parts.gps}) {
            std::vector<uint8_t> out = conv::serialiseIfd(*ifd, parts.bigEndian, be, 8);
            FUZZ_CHECK(out.size() >= 6 + 12 * ifd->size());
        }
    return 0;
}
