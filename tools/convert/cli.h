// The command line: ImageMagick's convert syntax, the part of it people use.
//   convert [-quality Q[%]] [-strip] [-auto-orient] [-define KEY=VALUE]
//           INPUT [-resize GEOMETRY] OUTPUT
// Options may stand anywhere; the first plain argument is the input, the second
// the output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/fileio.h"

namespace conv {

// -resize GEOMETRY: "W", "WxH", "xH", with a trailing ">" (only shrink), "<"
// (only enlarge) or "!" (exactly WxH, proportions ignored), or "N%" / "N%xM%".
struct Geometry {
    bool set = false;
    bool percent = false;
    double width = 0;   // pixels, or percent; 0 = not given
    double height = 0;
    bool onlyShrink = false;
    bool onlyEnlarge = false;
    bool exact = false;
};

// Parses GEOMETRY; false when it is not one of the forms above.
bool parseGeometry(const std::string& text, Geometry& g);

// The size a picture of w x h gets. W alone sets the width and keeps the
// proportions, making the picture larger or smaller alike; WxH fits the picture
// inside the box keeping proportions; ">" leaves pictures that already fit
// alone, "<" leaves larger ones alone. Sides never drop below 1 pixel.
void targetSize(const Geometry& g, uint32_t w, uint32_t h, uint32_t& outW, uint32_t& outH);

struct Options {
    enum class Action { Convert, Help, Version };
    Action action = Action::Convert;
    Path input;
    Path output;
    int quality = 85;
    bool qualityGiven = false;
    Geometry resize;
    bool strip = false;    // -strip: no EXIF (GPS with it) or XMP; the colour profile stays
    bool gainMap = true;   // -define jpeg:gain-map=false leaves an HDR gain map out
};

// Parses argv[1..]. Throws ConvertError{kExitUsage} with one line for anything
// not understood.
Options parseCommandLine(const std::vector<Path>& args);

std::string usageText();
std::string versionText();

}  // namespace conv
