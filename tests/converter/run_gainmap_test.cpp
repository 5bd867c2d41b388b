// HDR gain maps in our JPGs, read back the way an Ultra HDR reader reads them
// (MPF index, XMP, ISO 21496-1 metadata) and turned into the HDR picture again.
#include <gtest/gtest.h>

#include <libheif/heif.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include "run_helpers.h"
#ifndef REAL_HDR_FILES
#define REAL_HDR_FILES ""  // the Radiance writer's list of packaged files, unused here
#endif
#include "tests/converter_formats/hdr_writer.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/hdr_reader.h"
#include "tools/convert/hdr_tone_map.h"

using namespace convtest;

namespace {

const std::string kLandscape = std::string(CONVERTER_SAMPLES) + "/iphone13pm_landscape_grid_p3.heic";
const std::string kPortrait = std::string(CONVERTER_SAMPLES) + "/iphone13pm_portrait_grid_p3_rot90.heic";

using Bytes = std::vector<uint8_t>;

Bytes readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

uint32_t be(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// Each marker segment of the JPEG at `start`, up to its scan: payload offset and length.
struct Segment {
    uint8_t marker;
    size_t at, len;
};
std::vector<Segment> segmentsOf(const Bytes& f, size_t start) {
    std::vector<Segment> s;
    size_t i = start + 2;
    while (i + 4 <= f.size() && f[i] == 0xFF && f[i + 1] != 0xDA) {
        const size_t len = be(&f[i + 2], 2);
        s.push_back({f[i + 1], i + 4, len - 2});
        i += 2 + len;
    }
    return s;
}

bool startsWith(const Bytes& f, const Segment& s, const char* sig, size_t n) {
    return s.len >= n && std::memcmp(&f[s.at], sig, n) == 0;
}

double xmpNumber(const std::string& xmp, const std::string& name) {
    const size_t at = xmp.find(name + "=\"");
    return at == std::string::npos ? NAN : std::strtod(xmp.c_str() + at + name.size() + 2, nullptr);
}

// The gain map metadata, once from the map's XMP and once from its ISO segment.
struct Channel {
    double minLog2 = NAN, maxLog2 = NAN, gamma = NAN, offsetSdr = NAN, offsetHdr = NAN;
};
struct MapMeta {
    int channels = 1;
    Channel c[3];
    double capMin = NAN, capMax = NAN;
};

// An hdrgm number for each channel: an attribute, or an element with an rdf:Seq of three.
// The channels are three when one of them is a sequence.
void xmpNumbers(const std::string& xmp, const std::string& name, double Channel::*field, MapMeta& m) {
    const double one = xmpNumber(xmp, "hdrgm:" + name);
    for (Channel& c : m.c) c.*field = one;
    const size_t at = xmp.find("<hdrgm:" + name + ">");
    if (!std::isnan(one) || at == std::string::npos) return;
    m.channels = 3;
    size_t li = at;
    for (Channel& c : m.c) {
        li = xmp.find("<rdf:li>", li) + 8;
        c.*field = std::strtod(xmp.c_str() + li, nullptr);
    }
}

MapMeta readXmp(const std::string& x) {
    MapMeta m;
    xmpNumbers(x, "GainMapMin", &Channel::minLog2, m);
    xmpNumbers(x, "GainMapMax", &Channel::maxLog2, m);
    xmpNumbers(x, "Gamma", &Channel::gamma, m);
    xmpNumbers(x, "OffsetSDR", &Channel::offsetSdr, m);
    xmpNumbers(x, "OffsetHDR", &Channel::offsetHdr, m);
    m.capMin = xmpNumber(x, "hdrgm:HDRCapacityMin");
    m.capMax = xmpNumber(x, "hdrgm:HDRCapacityMax");
    return m;
}

struct UltraHdr {
    std::string problem;  // empty when the file reads as an Ultra HDR JPEG
    size_t primarySize = 0, mapStart = 0, mapSize = 0;
    std::string primaryXmp, mapXmp;
    MapMeta xmp, iso;
};

MapMeta readIso(const Bytes& f, size_t at, size_t len) {
    MapMeta m;
    if (len < 5 || be(&f[at], 2) != 0) return m;
    const uint8_t flags = f[at + 4];
    size_t p = at + 5;
    const size_t end = at + len;
    auto u32 = [&](bool isSigned) {
        if (p + 4 > end) return double(NAN);
        const uint32_t v = be(&f[p], 4);
        p += 4;
        return isSigned ? double(int32_t(v)) : double(v);
    };
    const bool common = flags & 0x08;
    const double d = common ? u32(false) : 0;
    auto frac = [&](bool isSigned) {
        const double n = u32(isSigned);
        return n / (common ? d : u32(false));
    };
    m.channels = flags & 0x80 ? 3 : 1;
    m.capMin = frac(false);
    m.capMax = frac(false);
    for (int k = 0; k < m.channels; ++k) m.c[k] = {frac(true), frac(true), frac(false), frac(true), frac(true)};
    return m;
}

UltraHdr failed(const char* why) {
    UltraHdr u;
    u.problem = why;
    return u;
}

UltraHdr readUltraHdr(const Bytes& f) {
    UltraHdr u;
    static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
    static const char kIso[] = "urn:iso:std:iso:ts:21496:-1";
    bool primaryIso = false;
    for (const Segment& s : segmentsOf(f, 0)) {
        if (s.marker == 0xE1 && startsWith(f, s, kXmp, sizeof kXmp))
            u.primaryXmp.assign(f.begin() + long(s.at + sizeof kXmp), f.begin() + long(s.at + s.len));
        if (s.marker == 0xE2 && startsWith(f, s, kIso, sizeof kIso)) primaryIso = true;
        if (s.marker != 0xE2 || !startsWith(f, s, "MPF\0", 4)) continue;
        const size_t tiff = s.at + 4;
        if (f[tiff] != 'M') return failed("MPF index not big-endian (this reader takes only that)");
        const size_t ifd = tiff + be(&f[tiff + 4], 4);
        const size_t count = be(&f[ifd], 2);
        for (size_t e = 0; e < count; ++e) {
            const uint8_t* entry = &f[ifd + 2 + 12 * e];
            if (be(entry, 2) == 0xB001 && be(entry + 8, 4) != 2) return failed("MPF: not two pictures");
            if (be(entry, 2) != 0xB002) continue;
            const uint8_t* list = &f[tiff + be(entry + 8, 4)];
            u.primarySize = be(list + 4, 4);
            if (be(list, 4) != 0x00030000 || be(list + 8, 4) != 0) return failed("MPF: first entry not the primary");
            u.mapSize = be(list + 16 + 4, 4);
            u.mapStart = tiff + be(list + 16 + 8, 4);
        }
    }
    if (!u.mapSize) return failed("no MPF index");
    if (!primaryIso) return failed("no ISO 21496-1 version segment in the primary");
    if (u.mapStart != u.primarySize || u.mapStart + u.mapSize != f.size() || f[u.mapStart] != 0xFF ||
        f[u.mapStart + 1] != 0xD8)
        return failed("MPF offsets do not lead to a second JPEG at the end");
    if (xmpNumber(u.primaryXmp, "Item:Length") != double(u.mapSize)) return failed("container directory length differs");
    for (const Segment& s : segmentsOf(f, u.mapStart)) {
        if (s.marker == 0xE1 && startsWith(f, s, kXmp, sizeof kXmp))
            u.mapXmp.assign(f.begin() + long(s.at + sizeof kXmp), f.begin() + long(s.at + s.len));
        if (s.marker == 0xE2 && startsWith(f, s, kIso, sizeof kIso))
            u.iso = readIso(f, s.at + sizeof kIso, s.len - sizeof kIso);
    }
    u.xmp = readXmp(u.mapXmp);
    return u;
}

void expectSameMeta(const MapMeta& a, const MapMeta& b) {
    ASSERT_EQ(a.channels, b.channels);
    EXPECT_NEAR(a.capMin, b.capMin, 1e-5);
    EXPECT_NEAR(a.capMax, b.capMax, 1e-5);
    for (int k = 0; k < a.channels; ++k) {
        const Channel &x = a.c[k], &y = b.c[k];
        const double av[] = {x.minLog2, x.maxLog2, x.gamma, x.offsetSdr, x.offsetHdr};
        const double bv[] = {y.minLog2, y.maxLog2, y.gamma, y.offsetSdr, y.offsetHdr};
        for (int i = 0; i < 5; ++i) EXPECT_NEAR(av[i], bv[i], 1e-5) << "channel " << k << ", field " << i;
    }
}

struct Plane {
    uint32_t width = 0, height = 0;
    int channels = 0;
    std::vector<uint8_t> v;
};

Plane decodeJpeg(const uint8_t* data, size_t size, bool grey) {
    Plane p;
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, s = 0, c = 0;
    if (tjDecompressHeader3(tj, data, (unsigned long)size, &w, &h, &s, &c) == 0) {
        p.width = uint32_t(w);
        p.height = uint32_t(h);
        p.channels = grey ? 1 : 3;
        p.v.resize(size_t(w) * h * p.channels);
        if (tjDecompress2(tj, data, (unsigned long)size, p.v.data(), w, 0, h, grey ? TJPF_GRAY : TJPF_RGB,
                          TJFLAG_ACCURATEDCT) != 0)
            p = Plane();
    }
    tjDestroy(tj);
    return p;
}

double srgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }
const std::vector<double>& linearTable() {
    static const std::vector<double> lin = [] {
        std::vector<double> t(256);
        for (int i = 0; i < 256; ++i) t[size_t(i)] = srgbToLinear(i / 255.0);
        return t;
    }();
    return lin;
}
constexpr double kLuma[3] = {0.2126, 0.7152, 0.0722};
double luminance(const uint8_t* rgb) {
    const std::vector<double>& lin = linearTable();
    return kLuma[0] * lin[rgb[0]] + kLuma[1] * lin[rgb[1]] + kLuma[2] * lin[rgb[2]];
}

// Means of f(x, y) over block x block squares of a w x h picture, row by row.
std::vector<double> blockMeans(uint32_t w, uint32_t h, uint32_t block, const std::function<double(uint32_t, uint32_t)>& f) {
    std::vector<double> m;
    for (uint32_t by = 0; by + block <= h; by += block)
        for (uint32_t bx = 0; bx + block <= w; bx += block) {
            double sum = 0;
            for (uint32_t y = by; y < by + block; ++y)
                for (uint32_t x = bx; x < bx + block; ++x) sum += f(x, y);
            m.push_back(sum / (block * block));
        }
    return m;
}

// What a reader shows on a screen with all the headroom the map asks for: the
// HDR luminance, and the SDR picture's, in block x block means (JPEG's own
// noise in dark places averages out; the map itself is at most as sharp).
struct Rebuilt {
    uint32_t width = 0, height = 0;
    std::vector<double> hdr, sdr;
};
Rebuilt rebuild(const Bytes& f, const UltraHdr& u, uint32_t block) {
    const Plane sdr = decodeJpeg(f.data(), u.primarySize, false);
    const MapMeta& m = u.xmp;
    const Plane map = decodeJpeg(f.data() + u.mapStart, u.mapSize, m.channels == 1);
    Rebuilt r;
    if (sdr.v.empty() || map.v.empty()) return r;
    r.width = sdr.width;
    r.height = sdr.height;
    auto sdrAt = [&](uint32_t x, uint32_t y) { return luminance(&sdr.v[(size_t(y) * sdr.width + x) * 3]); };
    r.sdr = blockMeans(sdr.width, sdr.height, block, sdrAt);
    // Each colour channel boosted by its map channel (the one channel, for a grey map).
    r.hdr = blockMeans(sdr.width, sdr.height, block, [&](uint32_t x, uint32_t y) {
        const size_t at = size_t(y * map.height / sdr.height) * map.width + x * map.width / sdr.width;
        const uint8_t* rgb = &sdr.v[(size_t(y) * sdr.width + x) * 3];
        double hdr = 0;
        for (int k = 0; k < 3; ++k) {
            const Channel& c = m.c[m.channels == 3 ? k : 0];
            const double v = map.v[at * size_t(map.channels) + size_t(m.channels == 3 ? k : 0)] / 255.0;
            const double boost = std::exp2(c.minLog2 + std::pow(v, 1 / c.gamma) * (c.maxLog2 - c.minLog2));
            hdr += kLuma[k] * ((linearTable()[rgb[k]] + c.offsetSdr) * boost - c.offsetHdr);
        }
        return hdr;
    });
    return r;
}

// Share of the pixels (blocks) brighter than 1 % of white in `want` within a quarter stop.
double shareWithinQuarterStop(const std::vector<double>& got, const std::vector<double>& want) {
    size_t n = 0, ok = 0;
    for (size_t i = 0; i < want.size(); ++i) {
        if (!(want[i] > 0.01)) continue;
        ++n;
        if (got[i] > 0 && std::fabs(std::log2(got[i] / want[i])) <= 0.25) ++ok;
    }
    return n ? double(ok) / n : 0;
}

// Apple's map of the sample, as its developer note reads it: linear gain under
// the Rec. 709 curve, headroom from maker-note tags 33 and 48 (exiftool's
// HDRHeadroom and HDRGain).
struct AppleMap {
    double headroom = 0;
    Plane gain;
};
double appleHeadroomOf(const std::string& file) {
    const double t33 = std::stod(exifTag(file, "HDRHeadroom")), t48 = std::stod(exifTag(file, "HDRGain"));
    const double stops = t33 < 1 ? (t48 <= 0.01 ? -20 * t48 + 1.8 : -0.101 * t48 + 1.601)
                                 : (t48 <= 0.01 ? -70 * t48 + 3.0 : -0.303 * t48 + 2.303);
    return std::exp2(std::max(stops, 0.0));
}

// The HDR luminance Apple's rule gives pixel (x, y) of `sdr`.
double appleHdrAt(const Pixels& sdr, const AppleMap& apple, uint32_t x, uint32_t y) {
    uint8_t rgb[3];
    for (int c = 0; c < 3; ++c) rgb[c] = uint8_t(sdr.at(x, y, c));
    const double e = apple.gain.v[size_t(y * apple.gain.height / sdr.height) * apple.gain.width +
                                  x * apple.gain.width / sdr.width] / 255.0;
    const double g = e < 0.081 ? e / 4.5 : std::pow((e + 0.099) / 1.099, 1 / 0.45);
    return luminance(rgb) * (1 + (apple.headroom - 1) * g);
}

// HDR rebuilt from our JPG (4 x 4 block means) is what Apple's rule makes of `sdr` and
// its map: 99 % within a quarter stop, and more than 1 in `share` blocks lifted by half.
void expectAppleRuleRebuilt(const Rebuilt& got, const Pixels& sdr, const AppleMap& apple, size_t share) {
    const std::vector<double> want =
        blockMeans(sdr.width, sdr.height, 4, [&](uint32_t x, uint32_t y) { return appleHdrAt(sdr, apple, x, y); });
    ASSERT_EQ(want.size(), got.hdr.size());
    EXPECT_GE(shareWithinQuarterStop(got.hdr, want), 0.99);
    size_t boosted = 0;
    for (size_t i = 0; i < want.size(); ++i) boosted += got.hdr[i] > got.sdr[i] * 1.5;
    EXPECT_GT(boosted, want.size() / share) << "the map should lift the photo's highlights";
}

AppleMap appleMap(const std::string& heic) {
    AppleMap a;
    a.headroom = appleHeadroomOf(heic);
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* h = nullptr;
    heif_image_handle* aux = nullptr;
    heif_image* img = nullptr;
    heif_item_id id = 0;
    if (heif_context_read_from_file(ctx, heic.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
        heif_image_handle_get_list_of_auxiliary_image_IDs(h, 0, &id, 1) == 1 &&
        heif_image_handle_get_auxiliary_image_handle(h, id, &aux).code == heif_error_Ok &&
        heif_decode_image(aux, &img, heif_colorspace_RGB, heif_chroma_444, nullptr).code == heif_error_Ok) {
        int stride = 0;
        const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_R, &stride);
        a.gain.width = uint32_t(heif_image_get_width(img, heif_channel_R));
        a.gain.height = uint32_t(heif_image_get_height(img, heif_channel_R));
        a.gain.channels = 1;
        for (uint32_t y = 0; y < a.gain.height; ++y) a.gain.v.insert(a.gain.v.end(), p + y * stride, p + y * stride + a.gain.width);
    }
    if (img) heif_image_release(img);
    if (aux) heif_image_handle_release(aux);
    if (h) heif_image_handle_release(h);
    heif_context_free(ctx);
    return a;
}

TEST(GainMap, AppleHeadroomIsContinuousAndTheMapKeepsItsEnds) {
    // The two lines of each branch meet at tag 48 = 0.01; a large tag 48
    // means no headroom, never less than SDR white.
    for (double t33 : {0.5, 1.5}) {
        EXPECT_NEAR(std::log2(conv::appleHeadroom(t33, 0.01)), std::log2(conv::appleHeadroom(t33, 0.0100001)), 1e-3);
        EXPECT_EQ(conv::appleHeadroom(t33, 50.0), 1.0);
        EXPECT_GT(conv::appleHeadroom(t33, 0.0), conv::appleHeadroom(t33, 0.05));
    }
    EXPECT_NEAR(std::log2(conv::appleHeadroom(0.7844365247, 0.01100257318)), 1.6, 0.001);  // the landscape sample
    const auto t = conv::appleToLogTable(3.0);
    EXPECT_EQ(t[0], 0);
    EXPECT_EQ(t[255], 255);
    EXPECT_TRUE(std::is_sorted(t.begin(), t.end()));
}

bool haveSamples() { return fs::exists(kLandscape) && fs::exists(kPortrait); }

// Converts `heic` to JPG and rebuilds the HDR picture from it; it must be what
// Apple's rule makes of the HEIC itself (decoded by libheif, turned as the file says).
void expectPhoneHdrRebuilds(const std::string& heic, const TempDir& tmp, uint32_t width, uint32_t height) {
    const std::string out = tmp.path("hdr.jpg");
    RunResult r = runConvert({"-quality", "85%", heic, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes f = readBytes(out);
    const UltraHdr u = readUltraHdr(f);
    ASSERT_EQ(u.problem, "");
    EXPECT_NE(u.primaryXmp.find("hdrgm:Version=\"1.0\""), std::string::npos);
    expectSameMeta(u.xmp, u.iso);
    const AppleMap apple = appleMap(heic);
    ASSERT_FALSE(apple.gain.v.empty());
    EXPECT_NEAR(u.xmp.c[0].maxLog2, std::log2(apple.headroom), 1e-4);  // about 1.6 stops for this photo
    EXPECT_NEAR(u.xmp.c[0].maxLog2, 1.6, 0.01);

    const Rebuilt got = rebuild(f, u, 4);
    const Pixels ref = decodeHeifFile(heic);
    ASSERT_EQ(ref.width, width);
    ASSERT_EQ(ref.height, height);
    ASSERT_EQ(got.width, width);
    ASSERT_EQ(got.height, height);
    expectAppleRuleRebuilt(got, ref, apple, 100);
}

TEST(GainMap, PhoneHdrRebuildsFromOurJpegAsApplesRuleHasIt) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << CONVERTER_SAMPLES << " (the shared folder is absent)";
    TempDir tmp;
    expectPhoneHdrRebuilds(kLandscape, tmp, 4032, 3024);

    // -resize takes the map along in proportion: 4032 -> 1000 wide, 2016 -> 500.
    const std::string small = tmp.path("small.jpg");
    ASSERT_EQ(runConvert({kLandscape, "-resize", "1000", small}).code, 0);
    const Bytes fs2 = readBytes(small);
    const UltraHdr us = readUltraHdr(fs2);
    ASSERT_EQ(us.problem, "");
    const Plane map = decodeJpeg(fs2.data() + us.mapStart, us.mapSize, true);
    EXPECT_EQ(map.width, 500u);
    EXPECT_EQ(map.height, 375u);
}

TEST(GainMap, TurnedPhonePhotoTurnsItsMapAlong) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << CONVERTER_SAMPLES << " (the shared folder is absent)";
    // The sample's picture and map share one 'irot' property (0 degrees):
    // made 90 degrees clockwise, both stand upright as a portrait.
    Bytes heic = readBytes(kLandscape);
    const uint8_t irot[] = {0, 0, 0, 9, 'i', 'r', 'o', 't'};
    auto at = std::search(heic.begin(), heic.end(), std::begin(irot), std::end(irot));
    ASSERT_NE(at, heic.end());
    at[8] = 3;  // quarter turns anticlockwise
    TempDir tmp;
    const std::string turned = tmp.path("turned.heic");
    std::ofstream(turned, std::ios::binary).write(reinterpret_cast<const char*>(heic.data()), long(heic.size()));
    expectPhoneHdrRebuilds(turned, tmp, 3024, 4032);

    // A map item without a turn of its own takes the picture's: the map's
    // association with the shared 'irot' (item 63: index 4, essential) made
    // one with the picture's 'pixi' (index 5) instead.
    const uint8_t mapProps[] = {0x00, 0x3F, 0x04, 0x07, 0x84, 0x08, 0x89};
    auto entry = std::search(heic.begin(), heic.end(), std::begin(mapProps), std::end(mapProps));
    ASSERT_NE(entry, heic.end());
    entry[4] = 0x05;
    const std::string inherits = tmp.path("inherits.heic"), a = tmp.path("a.jpg"), b = tmp.path("b.jpg");
    std::ofstream(inherits, std::ios::binary).write(reinterpret_cast<const char*>(heic.data()), long(heic.size()));
    ASSERT_EQ(runConvert({turned, a}).code, 0);
    ASSERT_EQ(runConvert({inherits, b}).code, 0);
    const Bytes fa = readBytes(a), fb = readBytes(b);
    const UltraHdr ua = readUltraHdr(fa), ub = readUltraHdr(fb);
    ASSERT_EQ(ub.problem, "");
    const Plane ma = decodeJpeg(fa.data() + ua.mapStart, ua.mapSize, true);
    const Plane mb = decodeJpeg(fb.data() + ub.mapStart, ub.mapSize, true);
    EXPECT_EQ(mb.width, 1512u);
    EXPECT_EQ(mb.height, 2016u);
    EXPECT_TRUE(ma.v == mb.v);
}

TEST(GainMap, ExiftoolSeesTwoPicturesAndTheMapFields) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << CONVERTER_SAMPLES << " (the shared folder is absent)";
    TempDir tmp;
    const std::string out = tmp.path("hdr.jpg"), plain = tmp.path("plain.jpg");
    ASSERT_EQ(runConvert({kLandscape, out}).code, 0);
    ASSERT_EQ(runConvert({"-define", "jpeg:gain-map=false", kLandscape, plain}).code, 0);
    EXPECT_EQ(exifTag(out, "NumberOfImages"), "2");
    EXPECT_EQ(exifTag(out, "MPImage1:MPImageType"), "196608");  // baseline MP primary picture
    EXPECT_EQ(exifTag(out, "XMP-hdrgm:Version"), "1.0");
    EXPECT_EQ(exifTag(out, "Make"), "Apple");
    const Bytes f = readBytes(out);
    const UltraHdr u = readUltraHdr(f);
    ASSERT_EQ(u.problem, "");
    const std::string map = tmp.path("map.jpg");
    std::ofstream(map, std::ios::binary).write(reinterpret_cast<const char*>(f.data() + u.mapStart), long(u.mapSize));
    EXPECT_NEAR(std::stod(exifTag(map, "GainMapMax")), 1.6, 0.01);
    EXPECT_EQ(exifTag(map, "HDRCapacityMax"), exifTag(map, "GainMapMax"));
    EXPECT_EQ(exifTag(map, "BaseRenditionIsHDR"), "False");

    // Without the map: no index, and the very same picture as the primary above.
    EXPECT_EQ(exifTag(plain, "NumberOfImages"), "");
    const Plane a = decodeJpeg(f.data(), u.primarySize, false);
    const Bytes p = readBytes(plain);
    const Plane b = decodeJpeg(p.data(), p.size(), false);
    EXPECT_EQ(a.width, b.width);
    EXPECT_TRUE(a.v == b.v);
    // The map costs well under the benchmark's 15 % here.
    EXPECT_LT(double(u.mapSize), 0.15 * double(p.size()));

    // -strip: no EXIF (nor GPS in it) or XMP of the photo's own; the profile and the map stay.
    const std::string stripped = tmp.path("stripped.jpg");
    ASSERT_EQ(runConvert({"-strip", kLandscape, "-resize", "800", stripped}).code, 0);
    EXPECT_EQ(exifTag(stripped, "Make"), "");
    EXPECT_EQ(exifTag(stripped, "GPSLatitude"), "");
    EXPECT_NE(exifTag(stripped, "ProfileDescription").find("P3"), std::string::npos);
    EXPECT_EQ(exifTag(stripped, "NumberOfImages"), "2");
}

TEST(GainMap, PhotoWithoutAMapIsWrittenAsBeforeByteForByte) {
    if (!haveSamples()) GTEST_SKIP() << "no phone samples at " << CONVERTER_SAMPLES << " (the shared folder is absent)";
    TempDir tmp;
    const std::string a = tmp.path("a.jpg"), b = tmp.path("b.jpg");
    // The portrait sample carries Apple's headroom tag but no map.
    ASSERT_EQ(runConvert({"-auto-orient", "-define", "jpeg:quality=90", kPortrait, a}).code, 0);
    ASSERT_EQ(runConvert({"-define", "jpeg:gain-map=false", kPortrait, b}).code, 0);
    EXPECT_TRUE(readBytes(a) == readBytes(b));
    EXPECT_EQ(exifTag(a, "NumberOfImages"), "");
}

// A Radiance scene with a smooth sky, a dark corner, a lamp and coloured
// light: the primary is today's tone-mapped picture, the map brings back the
// scene's light (scaled as the tone map scales it) up to its stored range.
TEST(GainMap, RadianceRebuildsItsSceneLight) {
    hdrtest::Picture pic{256, 128, {}};
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = 0; x < pic.width; ++x) {
            const double sky = 0.02 * std::pow(200.0, double(x) / pic.width) * (1 + 0.5 * y / pic.height);
            const int dx = int(x) - 200, dy = int(y) - 40;
            const bool lamp = dx * dx + dy * dy < 100;
            pic.px.push_back(lamp ? hdrtest::grey(400.0)
                             : y > 96 && x < 64 ? hdrtest::rgb(sky * 2, sky * 0.8, sky * 0.3)
                                                : hdrtest::grey(sky));
        }
    TempDir tmp;
    const std::string in = tmp.path("scene.hdr"), out = tmp.path("scene.jpg");
    const Bytes hdr = hdrtest::write(pic);
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(hdr.data()), long(hdr.size()));
    RunResult r = runConvert({in, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes f = readBytes(out);
    const UltraHdr u = readUltraHdr(f);
    ASSERT_EQ(u.problem, "");
    expectSameMeta(u.xmp, u.iso);
    EXPECT_EQ(u.xmp.c[0].minLog2, 0);
    EXPECT_GT(u.xmp.c[0].maxLog2, 1);  // the lamp is far above white
    EXPECT_LE(u.xmp.c[0].maxLog2, 4);

    const conv::RadiancePicture scene = conv::decodeRadiance(hdr.data(), hdr.size(), in, conv::LoadOptions{});
    const conv::ToneMapping tm = conv::chooseToneMapping(scene);
    const Rebuilt got = rebuild(f, u, 1);
    ASSERT_EQ(got.hdr.size(), size_t(256) * 128);
    std::vector<double> want(got.hdr.size());
    for (size_t i = 0; i < want.size(); ++i) {
        const uint8_t* p = scene.rgbe.data() + 4 * i;
        const double scale = p[3] ? std::ldexp(1.0, p[3] - 136) : 0;
        const double light = tm.gain * scale * (0.2126 * (p[0] + 0.5) + 0.7152 * (p[1] + 0.5) + 0.0722 * (p[2] + 0.5));
        want[i] = std::clamp(light, got.sdr[i] * std::exp2(u.xmp.c[0].minLog2), got.sdr[i] * std::exp2(u.xmp.c[0].maxLog2));
    }
    EXPECT_GE(shareWithinQuarterStop(got.hdr, want), 0.99);

    // Other formats are as before: no map anywhere in a PNG.
    const std::string png = tmp.path("scene.png");
    ASSERT_EQ(runConvert({in, png}).code, 0);
    EXPECT_EQ(exifTag(png, "NumberOfImages"), "");
}


// PSNR (8-bit scale) of `got` against `want` over the pixels `counts` keeps.
double psnrWhere(const Pixels& got, const Pixels& want, const std::function<bool(size_t)>& counts) {
    const double gs = got.bits == 16 ? 1 / 257.0 : 1, ws = want.bits == 16 ? 1 / 257.0 : 1;
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < size_t(want.width) * want.height; ++i) {
        if (!counts(i)) continue;
        for (int c = 0; c < 3; ++c) {
            const double d = got.v[i * size_t(got.channels) + c] * gs - want.v[i * size_t(want.channels) + c] * ws;
            sum += d * d;
        }
        n += 3;
    }
    return n == 0 ? 0 : sum == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 * double(n) / sum);
}

// A fixture's light (hdr-still's float32 luminance, 1 = SDR white).
std::vector<float> readLight(const std::string& name) {
    const Bytes bytes = readBytes(fixture(name));
    std::vector<float> light(bytes.size() / 4);
    std::memcpy(light.data(), bytes.data(), light.size() * 4);
    return light;
}

// The HDR rebuilt from a JPG is `light` within a quarter stop on 95 % of the 2 x 2
// blocks brighter than SDR white (those the map can reach, at most 2^maxLog2 above
// the SDR picture, when given).
void expectLightRebuilt(const Rebuilt& got, const std::vector<float>& light, double maxLog2 = INFINITY) {
    ASSERT_EQ(light.size(), size_t(got.width) * got.height);
    const std::vector<double> want = blockMeans(got.width, got.height, 2, [&](uint32_t x, uint32_t y) {
        return double(light[size_t(y) * got.width + x]);
    });
    ASSERT_EQ(got.hdr.size(), want.size());
    std::vector<double> bright, rebuilt;
    for (size_t i = 0; i < want.size(); ++i)
        if (want[i] > 1 && want[i] <= got.sdr[i] * std::exp2(maxLog2)) {
            bright.push_back(want[i]);
            rebuilt.push_back(got.hdr[i]);
        }
    EXPECT_GT(bright.size(), want.size() / 200);
    EXPECT_GE(shareWithinQuarterStop(rebuilt, bright), 0.95);
}

// PQ and HLG pictures made from the fixtures' photo, its brightest parts lifted
// above SDR white: the SDR picture is the photo wherever the light is SDR, and the
// JPG's gain map leads back up to the light above it. The PQ picture with an ISO
// 21496-1 map leading down to the photo itself (iso_hdr) shows the photo throughout.
TEST(GainMap, PqAndHlgPicturesShowThePhotoAndKeepTheirHighlightsInTheMap) {
    const Pixels photo = decodePngFile(fixture("src.png"));
    for (const std::string kind : {"pq", "hlg", "iso_hdr"}) {
        SCOPED_TRACE(kind);
        const std::string heic = kind == "iso_hdr" ? "iso_hdr.heic" : "hdr_" + kind + ".heic";
        const std::vector<float> light = readLight(kind == "hlg" ? "hdr_hlg.light" : "hdr_pq.light");
        ASSERT_EQ(light.size(), size_t(photo.width) * photo.height);
        TempDir tmp;
        const std::string jpg = tmp.path("hdr.jpg"), png = tmp.path("hdr.png");
        RunResult r = runConvert({fixture(heic), jpg});
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_EQ(runConvert({fixture(heic), png}).code, 0);

        // Colours of an sRGB photo: sRGB, no profile.
        for (const std::string& out : {jpg, png}) {
            const Pixels sdr = out == jpg ? decodeJpegFile(out) : decodePngFile(out);
            ASSERT_EQ(sdr.width, photo.width);
            EXPECT_GE(psnrWhere(sdr, photo, [&](size_t i) { return light[i] <= 1; }), 30.0) << out;
            // (Our own tone map makes these highlights some 16 dB from the photo's.)
            if (kind == "iso_hdr") {
                EXPECT_GE(psnrWhere(sdr, photo, [&](size_t i) { return light[i] > 1; }), 25.0) << out;
            }
            EXPECT_EQ(exifTag(out, "ProfileDescription"), "") << out;
        }

        const Bytes f = readBytes(jpg);
        const UltraHdr u = readUltraHdr(f);
        ASSERT_EQ(u.problem, "");
        expectSameMeta(u.xmp, u.iso);
        EXPECT_EQ(u.xmp.c[0].minLog2, 0);
        EXPECT_GT(u.xmp.c[0].maxLog2, 1.5);  // the photo's white is lifted past 4 times SDR white
        expectLightRebuilt(rebuild(f, u, 2), light, u.xmp.c[0].maxLog2);
    }
}

}  // namespace

namespace {

// A JPG with a gain map (our own, of the PQ fixture) as the input: the map goes along,
// resized with the picture, and turned with it as its EXIF says.
TEST(GainMap, AJpegsGainMapGoesAlongResizedAndTurned) {
    TempDir tmp;
    const std::string hdr = tmp.path("hdr.jpg"), turned = tmp.path("turned.jpg");
    ASSERT_EQ(runConvert({fixture("hdr_pq.heic"), hdr}).code, 0);
    // Marked "rotate 90 CW" by exiftool, which keeps the MPF pictures and their index.
    const std::string mark = "cp '" + hdr + "' '" + turned + "' && exiftool -q -overwrite_original -Orientation#=6 '" + turned + "'";
    ASSERT_EQ(std::system(mark.c_str()), 0);
    const Bytes in = readBytes(hdr);
    const UltraHdr source = readUltraHdr(in);
    ASSERT_EQ(source.problem, "");

    for (const bool turn : {false, true}) {
        SCOPED_TRACE(turn ? "turned by its EXIF" : "halved");
        const std::string out = tmp.path(turn ? "t.jpg" : "h.jpg");
        const RunResult r = turn ? runConvert({turned, out}) : runConvert({hdr, "-resize", "50%", out});
        ASSERT_EQ(r.code, 0) << r.err;
        const Bytes f = readBytes(out);
        const UltraHdr u = readUltraHdr(f);
        ASSERT_EQ(u.problem, "");
        expectSameMeta(u.iso, source.iso);
        // Blocks that tile both pictures: 6 pixels (600 x 450 and 450 x 600), or 12 of
        // the source for 6 of the halved picture.
        const Rebuilt want = rebuild(in, source, turn ? 6 : 12), got = rebuild(f, u, 6);
        ASSERT_EQ(got.hdr.size(), want.hdr.size());
        // Block (x, y) of the turned picture is block (y, rows - 1 - x) of the source.
        const uint32_t cols = want.width / 6, rows = want.height / 6;
        // Compared where the map matters: the blocks brighter than SDR white.
        std::vector<double> expected, rebuilt;
        for (uint32_t i = 0; i < want.hdr.size(); ++i) {
            const double light = turn ? want.hdr[size_t(rows - 1 - i % rows) * cols + i / rows] : want.hdr[i];
            if (light <= 1) continue;
            expected.push_back(light);
            rebuilt.push_back(got.hdr[i]);
        }
        // (Halving blurs the map over the photo's small bright specks a little.)
        EXPECT_GT(expected.size(), turn ? 40u : 10u);
        EXPECT_GE(shareWithinQuarterStop(rebuilt, expected), turn ? 0.95 : 0.9);
    }
}

}  // namespace

namespace {

// ISO 21496-1 gain maps in a HEIF (SDR base, a 'tmap' item written by our box
// assembler, common denominators), made from the PQ fixture's light, of one channel
// and of three with numbers of their own: the JPG carries each map's numbers as they
// were, and its HDR is that light again.
TEST(GainMap, AHeifsIsoMapGoesIntoTheJpg) {
    const std::vector<float> light = readLight("hdr_pq.light");
    for (const std::string kind : {"iso_sdr", "iso_rgb"}) {
        SCOPED_TRACE(kind);
        std::ifstream numbers(fixture(kind + ".meta.txt"));
        MapMeta put;
        double channels = 0;
        numbers >> channels;
        put.channels = int(channels);
        for (int k = 0; k < put.channels; ++k)
            numbers >> put.c[k].minLog2 >> put.c[k].maxLog2 >> put.c[k].gamma >> put.c[k].offsetSdr >> put.c[k].offsetHdr;
        numbers >> put.capMin >> put.capMax;
        ASSERT_TRUE(numbers) << kind << ".meta.txt";
        TempDir tmp;
        const std::string out = tmp.path("iso.jpg");
        const RunResult r = runConvert({fixture(kind + ".heic"), out});
        ASSERT_EQ(r.code, 0) << r.err;
        const Bytes f = readBytes(out);
        const UltraHdr u = readUltraHdr(f);
        ASSERT_EQ(u.problem, "");
        expectSameMeta(u.iso, put);
        expectSameMeta(u.xmp, put);
        expectLightRebuilt(rebuild(f, u, 2), light);
    }
}

}  // namespace

namespace {

// Apple's HDR JPEG (made by our script from the PQ fixture's light: a map of Apple's
// kind as the second MPF picture, the headroom in the maker note): the JPG carries the
// map in the standard's numbers, and its HDR is what Apple's rule makes of the input
// (the map found through exiftool's reading of the MPF index).
TEST(GainMap, AnAppleHdrJpegKeepsItsHdr) {
    const std::string in = fixture("apple_hdr.jpg");
    TempDir tmp;
    const std::string out = tmp.path("apple.jpg");
    const RunResult r = runConvert({in, out});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes f = readBytes(out);
    const UltraHdr u = readUltraHdr(f);
    ASSERT_EQ(u.problem, "");
    AppleMap apple;
    apple.headroom = appleHeadroomOf(in);
    EXPECT_NEAR(std::log2(apple.headroom), 2.3, 1e-6);  // tags 33 = 1 and 48 = 0.01
    EXPECT_NEAR(u.iso.c[0].maxLog2, 2.3, 1e-4);
    EXPECT_NEAR(u.iso.capMax, 2.3, 1e-4);

    const Bytes source = readBytes(in);
    const size_t start = std::stoul(exifTag(in, "MPImageStart")), length = std::stoul(exifTag(in, "MPImageLength"));
    ASSERT_LE(start + length, source.size());
    apple.gain = decodeJpeg(source.data() + start, length, true);
    ASSERT_FALSE(apple.gain.v.empty());
    const Pixels sdr = decodeJpegFile(in);
    expectAppleRuleRebuilt(rebuild(f, u, 4), sdr, apple, 200);
}

}  // namespace
