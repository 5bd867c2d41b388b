#include "tools/convert/loaders.h"

namespace conv {

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

}  // namespace conv
