// The one table of formats: which loader takes which bytes, and which saver
// takes which extension. A new format is one row in formats.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/convert/loaders.h"
#include "tools/convert/savers.h"

namespace conv {

struct InputFormat {
    const char* name;  // as the error for an unknown input lists it
    // True when the file's bytes are this format's. Sniffers look at the first
    // bytes only, except that camera raw looks into TIFF structures.
    bool (*sniff)(const uint8_t* data, size_t size);
    Image (*load)(const InputFile& in, const LoadOptions& opt);
};

struct OutputFormat {
    const char* extensions;  // space-separated, lower case, as the usage error lists them
    const char* alsoAccepted;  // accepted but not listed; may be empty
    void (*save)(const Image& img, const SaveOptions& opt, OutFile& out);
    bool takesYcc420;   // takes Image::ycc420 as it is (every other saver gets RGB)
    bool takesGainMap;  // writes Image::gainMap beside the picture
};

// The format whose signature the bytes carry, or null.
const InputFormat* findInputFormat(const uint8_t* data, size_t size);
// The format named by the path's extension (any case), or null.
const OutputFormat* findOutputFormat(const Path& path);
// ".jpg, .jpeg, ... or .bmp": the extensions findOutputFormat() knows.
std::string outputExtensionList();

// Finds the kind from the content and calls its loader.
Image loadAny(const InputFile& in, const LoadOptions& opt);
// Calls the format's saver, with RGB for a saver that takes no YCbCr planes.
void saveAs(const OutputFormat& format, const Image& img, const SaveOptions& opt, OutFile& out);

}  // namespace conv
