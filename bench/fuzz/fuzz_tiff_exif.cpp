// The EXIF block made from a TIFF file's directories: any bytes as a TIFF file.
// What comes out must read back as EXIF with Orientation 1.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/exif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> exif = conv::exifFromTiffFile(std::vector<uint8_t>(data, data + size));
    if (exif.empty()) return 0;
    std::vector<uint8_t> block = exif;
    FUZZ_CHECK(conv::normaliseExif(block));
    FUZZ_CHECK(conv::exifOrientation(block) == 1);
    conv::ExifParts parts = conv::parseExif(block);
    FUZZ_CHECK(!parts.bigEndian);
    FUZZ_CHECK(conv::findEntry(parts.ifd0, 0x0112) != nullptr);
    return 0;
}
