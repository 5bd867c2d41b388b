// One conversion from start to end: read, decode, turn upright, resize, encode,
// and put the output in place atomically with the input's modification time.
#pragma once

#include "tools/convert/cli.h"
#include "tools/convert/loaders.h"

namespace conv {

struct RunSettings {
    uint64_t maxPixels = kDefaultMaxPixels;
    int threads = 0;  // 0: one per core
};

// Throws ConvertError on any failure; the output then does not exist (an
// earlier file of that name is left untouched).
void convertFile(const Options& opt, const RunSettings& settings = {});

// Runs the whole program on argv[1..]: prints help/version or the one-line
// error, returns the exit code.
int runConverter(const std::vector<Path>& args);

}  // namespace conv
