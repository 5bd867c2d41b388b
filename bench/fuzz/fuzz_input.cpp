// The converter's whole input road in-process: sniffing, then whichever loader
// the content names, under a small pixel limit, and the EXIF reset that follows.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/colour.h"
#include "tools/convert/exif.h"
#include "tools/convert/formats.h"
#include "tools/convert/gain_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    conv::InputFile in{"fuzz.in", std::vector<uint8_t>(data, data + size)};
    conv::LoadOptions opt;
    opt.maxPixels = 1 << 16;
    opt.threads = 1;
    opt.allowYcc420 = size % 2 == 0;  // half the inputs as for a 4:2:0 JPEG
    opt.gainMap = size % 4 < 2;       // and half, crosswise, as for a JPG that takes a gain map
    try {
        conv::Image img = conv::loadAny(in, opt);
        FUZZ_CHECK(img.width > 0 && img.height > 0);
        FUZZ_CHECK(uint64_t(img.width) * img.height <= opt.maxPixels);
        if (img.isYcc420())
            FUZZ_CHECK(img.ycc420.size() == size_t(img.width) * img.height +
                                                2 * size_t((img.width + 1) / 2) * ((img.height + 1) / 2));
        else if (img.bits == 8)
            FUZZ_CHECK(img.px8.size() == img.sampleCount());
        else
            FUZZ_CHECK(img.bits == 16 && img.px16.size() == img.sampleCount());
        if (img.gainMap) {
            const conv::Image& map = img.gainMap->map;
            FUZZ_CHECK(map.channels == 1 && map.bits == 8 && map.width > 0 && map.height > 0);
            FUZZ_CHECK(map.px8.size() == map.sampleCount());
        }
        if (!img.exif.empty()) conv::setExifOrientation(img.exif, 1);
    } catch (const conv::ConvertError& e) {
        FUZZ_CHECK(e.code == conv::kExitInput || e.code == conv::kExitLimit);
        FUZZ_CHECK(e.message.rfind("fuzz.in: ", 0) == 0);
    }
    return 0;
}
