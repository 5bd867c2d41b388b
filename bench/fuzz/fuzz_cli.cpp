// The command line and the -resize geometry: NUL-separated arguments, and a
// geometry applied to a picture size taken from the input.
#include "bench/fuzz/fuzz_support.h"
#include "tools/convert/cli.h"
#include "tools/convert/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Bytes in(data, size);
    const uint32_t w = in.u32() % 100000 + 1, h = in.u32() % 100000 + 1;
    const std::string geometry = in.text();
    conv::Geometry g;
    if (conv::parseGeometry(geometry, g)) {
        uint32_t tw = 0, th = 0;
        conv::targetSize(g, w, h, tw, th);
        FUZZ_CHECK(tw >= 1 && th >= 1);
        if (!g.set) FUZZ_CHECK(tw == w && th == h);
    }
    std::vector<conv::Path> args;
    while (!in.empty() && args.size() < 16) args.push_back(in.text());
    try {
        conv::Options opt = conv::parseCommandLine(args);
        if (opt.action == conv::Options::Action::Convert) FUZZ_CHECK(opt.quality >= 1 && opt.quality <= 100);
    } catch (const conv::ConvertError& e) {
        FUZZ_CHECK(e.code == conv::kExitUsage);
    }
    return 0;
}
