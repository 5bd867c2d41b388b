#include "tools/convert/pipeline.h"

#include <cstdio>
#include <thread>

#include "tools/convert/exif.h"
#include "tools/convert/formats.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/last_resort.h"
#include "tools/convert/library_versions.h"
#include "tools/convert/resize.h"

namespace conv {

static std::string oneLine(const std::string& s);

void convertFile(const Options& opt, const RunSettings& settings) {
    const int threads = settings.threads > 0 ? settings.threads
                                             : int(std::max(1u, std::thread::hardware_concurrency()));
    const OutputFormat* format = findOutputFormat(opt.output);
    if (!format)
        throw ConvertError{kExitUsage, toUtf8(opt.output) + ": the output name must end in " + outputExtensionList()};
    if (!fileExists(opt.input)) throw ConvertError{kExitInput, toUtf8(opt.input) + ": no such file"};
    if (isDirectory(opt.input)) throw ConvertError{kExitInput, toUtf8(opt.input) + ": is a folder, not a picture"};
    if (opt.input == opt.output || sameFile(opt.input, opt.output))
        throw ConvertError{kExitOutput, toUtf8(opt.output) + ": the output would overwrite the input"};
    if (isDirectory(opt.output))
        throw ConvertError{kExitOutput, toUtf8(opt.output) + ": is a folder"};

    // Creating the temporary output first finds a missing or read-only folder
    // before any time goes into decoding.
    OutFile out(opt.output);

    InputFile in{opt.input, readWholeFile(opt.input)};
    LoadOptions lopt;
    lopt.maxPixels = settings.maxPixels;
    lopt.threads = threads;
    // A 4:2:0 JPEG can take the decoder's YCbCr directly, resized or not.
    lopt.allowYcc420 = format->takesYcc420 && opt.quality < 90;
    lopt.gainMap = format->takesGainMap && opt.gainMap;
    lopt.resize = &opt.resize;
    lopt.releaseInput = [&in] { std::vector<uint8_t>().swap(in.bytes); };
    Image img = loadAny(in, lopt);
    in.bytes.clear();
    in.bytes.shrink_to_fit();

    // The loaders have turned the picture upright; say so in the EXIF that goes
    // along, so no viewer turns it a second time.
    if (!img.exif.empty()) setExifOrientation(img.exif, 1);
    if (opt.strip) {
        img.exif.clear();
        img.xmp.clear();
    }

    uint32_t w = img.width, h = img.height;
    targetSize(opt.resize, img.width, img.height, w, h);
    if (uint64_t(w) * h > settings.maxPixels)
        throw ConvertError{kExitLimit, toUtf8(opt.output) + ": the resized picture (" + std::to_string(w) + "x" +
                                           std::to_string(h) + ") would be over the pixel limit"};
    if (img.gainMap) resizeGainMap(*img.gainMap, img.width, img.height, w, h, threads);
    resizeImage(img, w, h, threads);

    SaveOptions sopt;
    sopt.quality = opt.quality;
    sopt.qualityGiven = opt.qualityGiven;
    sopt.threads = threads;
    saveAs(*format, img, sopt, out);
    out.commit();
    copyModificationTime(opt.input, opt.output);
    if (!img.note.empty()) std::fprintf(stderr, "convert: %s\n", oneLine(img.note).c_str());
}

// Library messages sometimes end in a newline or span lines; the window's
// runner and people reading a log want exactly one line.
static std::string oneLine(const std::string& s) {
    std::string r;
    for (char c : s) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (c == ' ' && (r.empty() || r.back() == ' ')) continue;
        r.push_back(c);
    }
    while (!r.empty() && r.back() == ' ') r.pop_back();
    return r;
}

int runConverter(const std::vector<Path>& args) {
    // Failures that are not ConvertErrors carry no file name: they are given the input's.
    Options opt;
    const auto named = [&opt](const std::string& what) {
        return opt.input.empty() ? what : toUtf8(opt.input) + ": " + what;
    };
    try {
        opt = parseCommandLine(args);
        if (opt.action == Options::Action::Help) {
            std::fputs(usageText().c_str(), stdout);
            return kExitOk;
        }
        if (opt.action == Options::Action::Version) {
            std::printf("%s\n%s", versionText().c_str(), libraryVersions().c_str());
            return kExitOk;
        }
        armLastResort(opt.input);
        convertFile(opt);
        return kExitOk;
    } catch (const ConvertError& e) {
        std::fprintf(stderr, "convert: %s\n", oneLine(e.message).c_str());
        return e.code;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "convert: %s\n", oneLine(named("out of memory")).c_str());
        return kExitLimit;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "convert: %s\n", oneLine(named(e.what())).c_str());
        return kExitInput;
    }
}

}  // namespace conv
