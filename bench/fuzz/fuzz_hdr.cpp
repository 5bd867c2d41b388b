// The Radiance HDR reader and its tone mapping, both ways out (RGB and JPEG planes).
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    conv::InputFile in{"fuzz.hdr", std::vector<uint8_t>(data, data + size)};
    conv::LoadOptions opt;
    opt.maxPixels = 1 << 14;  // small pictures keep the executions quick
    opt.threads = 1;
    opt.allowYcc420 = size % 2 == 0;  // half the inputs take the planes a JPEG stores
    try {
        conv::Image img = conv::loadHdr(in, opt);
        FUZZ_CHECK(uint64_t(img.width) * img.height <= opt.maxPixels);
        if (img.isYcc420())
            FUZZ_CHECK(img.ycc420.size() == size_t(img.width) * img.height +
                                                2 * size_t((img.width + 1) / 2) * ((img.height + 1) / 2));
        else
            FUZZ_CHECK(img.px16.size() == img.sampleCount());
    } catch (const conv::ConvertError& e) {
        FUZZ_CHECK(e.code == conv::kExitInput || e.code == conv::kExitLimit);
        FUZZ_CHECK(e.message.rfind("fuzz.hdr: ", 0) == 0);
    }
    return 0;
}
