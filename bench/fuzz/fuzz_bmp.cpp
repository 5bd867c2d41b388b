// The BMP reader: any bytes as a file.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    conv::InputFile in{"fuzz.bmp", std::vector<uint8_t>(data, data + size)};
    conv::LoadOptions opt;
    opt.maxPixels = 1 << 14;  // small pictures keep the executions quick
    try {
        conv::Image img = conv::loadBmp(in, opt);
        FUZZ_CHECK(img.bits == 8 && (img.channels == 3 || img.channels == 4));
        FUZZ_CHECK(img.px8.size() == img.sampleCount());
    } catch (const conv::ConvertError& e) {
        FUZZ_CHECK(e.code == conv::kExitInput || e.code == conv::kExitLimit);
    }
    return 0;
}
