#include "tools/convert/cli.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tools/convert/image.h"

namespace conv {

namespace {

// Reads a non-negative decimal number (digits with an optional fraction) at s[i].
bool readNumber(const std::string& s, size_t& i, double& v) {
    size_t start = i;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) ++i;
    if (i == start) return false;
    std::string num = s.substr(start, i - start);
    if (num.find('.') != num.rfind('.') || num == ".") return false;
    v = std::strtod(num.c_str(), nullptr);
    return true;
}

bool isOption(const std::string& a) {
    // "-" alone (standard input or output) is taken as a file name and then
    // fails to open, which says more than "unknown option".
    return a.size() > 1 && (a[0] == '-' || a[0] == '+');
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

[[noreturn]] void usage(const std::string& msg) { throw ConvertError{kExitUsage, msg}; }

// ImageMagick's spellings of a yes or no.
bool parseBool(const std::string& v, bool& out) {
    const std::string s = lower(v);
    if (s == "true" || s == "on" || s == "yes" || s == "1") out = true;
    else if (s == "false" || s == "off" || s == "no" || s == "0") out = false;
    else return false;
    return true;
}

// -define KEY=VALUE (+define KEY takes it back). Keys we do not know are
// ignored, as ImageMagick ignores those of other coders.
void applyDefine(const std::string& text, bool remove, Options& o) {
    const size_t eq = text.find('=');
    const std::string key = lower(text.substr(0, eq));
    const std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
    if (key == "jpeg:gain-map") {
        if (remove) o.gainMap = true;
        else if (!parseBool(value, o.gainMap))
            usage("-define jpeg:gain-map: \"" + value + "\" is not true or false");
    }
}

}  // namespace

bool parseGeometry(const std::string& text, Geometry& g) {
    Geometry r;
    r.set = true;
    std::string s = text;
    // Flags may stand at the end, as ImageMagick writes them.
    while (!s.empty() && (s.back() == '>' || s.back() == '<' || s.back() == '!' || s.back() == '^')) {
        char f = s.back();
        s.pop_back();
        if (f == '>') r.onlyShrink = true;
        else if (f == '<') r.onlyEnlarge = true;
        else if (f == '!') r.exact = true;
        else return false;  // '^' (fill) is not supported
    }
    if (r.onlyShrink && r.onlyEnlarge) return false;
    size_t i = 0;
    bool haveW = false, haveH = false;
    if (i < s.size() && s[i] != 'x' && s[i] != 'X') {
        if (!readNumber(s, i, r.width)) return false;
        haveW = true;
    }
    bool pctW = false, pctH = false;
    if (i < s.size() && s[i] == '%') { pctW = true; ++i; }
    if (i < s.size() && (s[i] == 'x' || s[i] == 'X')) {
        ++i;
        if (!readNumber(s, i, r.height)) return false;
        haveH = true;
        if (i < s.size() && s[i] == '%') { pctH = true; ++i; }
    }
    if (i != s.size() || (!haveW && !haveH)) return false;
    // "50%x20" mixes units; ImageMagick takes the whole geometry as percent when
    // any % appears, and so do we.
    r.percent = pctW || pctH;
    if (r.percent && haveW && !haveH) r.height = r.width;
    if (r.percent && !haveW) r.width = r.height;
    if (r.width < 0 || r.height < 0 || (r.width == 0 && r.height == 0)) return false;
    if (r.width > 1e6 || r.height > 1e6) return false;
    g = r;
    return true;
}

void targetSize(const Geometry& g, uint32_t w, uint32_t h, uint32_t& outW, uint32_t& outH) {
    outW = w;
    outH = h;
    if (!g.set || w == 0 || h == 0) return;
    double nw, nh;
    if (g.percent) {
        nw = w * g.width / 100.0;
        nh = h * g.height / 100.0;
    } else if (g.exact && g.width > 0 && g.height > 0) {
        nw = g.width;
        nh = g.height;
    } else if (g.width > 0 && g.height > 0) {
        double scale = std::min(g.width / w, g.height / h);
        nw = w * scale;
        nh = h * scale;
        // The side that decides the fit gets exactly the number asked for.
        if (g.width / w <= g.height / h) nw = g.width; else nh = g.height;
    } else if (g.width > 0) {
        nw = g.width;
        nh = double(h) * g.width / w;
    } else {
        nh = g.height;
        nw = double(w) * g.height / h;
    }
    // A side beyond 32 bits (a wide picture asked for a huge height) stays at the
    // largest; the pixel limit then refuses the size.
    const auto side = [](double v) { return uint32_t(std::clamp(std::floor(v + 0.5), 1.0, 4294967295.0)); };
    uint32_t rw = side(nw);
    uint32_t rh = side(nh);
    const bool larger = uint64_t(rw) * rh > uint64_t(w) * h;
    const bool smaller = uint64_t(rw) * rh < uint64_t(w) * h;
    if (g.onlyShrink && !smaller) return;
    if (g.onlyEnlarge && !larger) return;
    outW = rw;
    outH = rh;
}

Options parseCommandLine(const std::vector<Path>& args) {
    Options o;
    std::vector<Path> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string a = toUtf8(args[i]);
        if (!isOption(a)) {
            files.push_back(args[i]);
            continue;
        }
        std::string name = lower(a.substr(a[1] == '-' ? 2 : 1));
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= args.size()) usage("option " + a + " needs " + what);
            return toUtf8(args[++i]);
        };
        if (name == "help" || name == "h" || name == "?") {
            o.action = Options::Action::Help;
        } else if (name == "version") {
            o.action = Options::Action::Version;
        } else if (name == "quality") {
            std::string v = value("a quality from 1 to 100");
            std::string num = v;
            if (!num.empty() && num.back() == '%') num.pop_back();
            size_t k = 0;
            double q = 0;
            if (!readNumber(num, k, q) || k != num.size() || q < 1 || q > 100)
                usage("-quality: \"" + v + "\" is not a quality from 1 to 100");
            o.quality = int(std::lround(q));
            o.qualityGiven = true;
        } else if (name == "resize") {
            std::string v = value("a geometry such as 1600 or 1600x1200>");
            if (!parseGeometry(v, o.resize))
                usage("-resize: \"" + v + "\" is not a geometry (W, WxH, W>, WxH> or N%)");
        } else if (name == "strip") {
            o.strip = a[0] == '-';
        } else if (name == "auto-orient") {
            // Pictures always come out upright; nothing more to do.
        } else if (name == "define") {
            applyDefine(value("KEY=VALUE"), a[0] == '+', o);
        } else {
            usage("unknown option " + a + " (try -help)");
        }
    }
    if (o.action != Options::Action::Convert) return o;
    if (files.size() < 2)
        usage(files.empty() ? "no input or output file given (try -help)" : "no output file given");
    if (files.size() > 2) usage("more than one input file given: \"" + toUtf8(files[2]) + "\"");
    o.input = files[0];
    o.output = files[1];
    return o;
}

std::string usageText() {
    return "Usage: convert [-quality Q[%]] [-strip] [-define KEY=VALUE] INPUT [-resize GEOMETRY] OUTPUT\n"
           "\n"
           "Reads HEIC/HEIF, camera raw (NEF, NRW, CR2, DNG, ORF, RW2, RAF), Radiance HDR,\n"
           "JPEG, PNG, TIFF, BMP and GIF (the kind is found from the content) and writes\n"
           "the format named by OUTPUT's extension: .jpg/.jpeg, .png, .gif, .tif/.tiff, .bmp.\n"
           "\n"
           "  -quality Q[%]      JPEG quality 1-100 (default 85); for PNG, TIFF and GIF it\n"
           "                     chooses compression effort only (lossless either way)\n"
           "  -resize GEOMETRY   W          width W, height in proportion\n"
           "                     WxH        fit inside W x H\n"
           "                     W> / WxH>  only shrink, never enlarge\n"
           "                     N%         scale by N percent\n"
           "  -strip             leave out EXIF (GPS with it) and XMP; the colour profile stays\n"
           "  -auto-orient       accepted: pictures always come out upright\n"
           "  -define jpeg:gain-map=false\n"
           "                     JPG without the HDR gain map an HDR photo brings along\n"
           "                     (other -define keys are ignored)\n"
           "  -help, -version\n"
           "\n"
           "Exit codes: 0 done, 1 usage, 2 input unreadable or unsupported,\n"
           "3 output not writable, 4 picture over the pixel limit.\n";
}

std::string versionText() { return "convert (Tessaline) 1.0"; }

}  // namespace conv
