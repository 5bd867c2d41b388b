#include "tools/convert/ultrahdr_jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include "tools/convert/bytes.h"
#include "tools/convert/jpeg_segments.h"
#include "tools/convert/owned.h"

namespace conv {

namespace {

const char kIsoNs[] = "urn:iso:std:iso:ts:21496:-1";    // written with its NUL
const char kContainerNs[] = "http://ns.google.com/photos/1.0/container/";

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", std::fabs(v) < 5e-7 ? 0.0 : v);
    return buf;
}

// The map's hdrgm description: each number an attribute, or, where the three channels
// of a map differ, an element holding their sequence.
std::string mapXmp(const GainMap& gm) {
    struct Field {
        const char* name;
        std::array<double, 3> v;
    };
    const std::array<double, 3> minCap{gm.capacityMin, gm.capacityMin, gm.capacityMin};
    const std::array<double, 3> maxCap{gm.capacityMax, gm.capacityMax, gm.capacityMax};
    const Field fields[] = {{"GainMapMin", gm.minLog2}, {"GainMapMax", gm.maxLog2},     {"Gamma", gm.gamma},
                            {"OffsetSDR", gm.offsetSdr}, {"OffsetHDR", gm.offsetHdr},  {"HDRCapacityMin", minCap},
                            {"HDRCapacityMax", maxCap}};
    std::string attributes = "   hdrgm:Version=\"1.0\"", elements;
    for (const Field& f : fields) {
        const std::string name = std::string("hdrgm:") + f.name;
        if (gm.channels() == 1 || (f.v[0] == f.v[1] && f.v[1] == f.v[2])) {
            attributes += "\n   " + name + "=\"" + number(f.v[0]) + "\"";
            continue;
        }
        elements += "   <" + name + ">\n    <rdf:Seq>\n";
        for (double v : f.v) elements += "     <rdf:li>" + number(v) + "</rdf:li>\n";
        elements += "    </rdf:Seq>\n   </" + name + ">\n";
    }
    attributes += "\n   hdrgm:BaseRenditionIsHDR=\"False\"";
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
           " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
           "  <rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"\n" +
           attributes + (elements.empty() ? "/>\n" : ">\n" + elements + "  </rdf:Description>\n") +
           " </rdf:RDF>\n</x:xmpmeta>\n";
}

// The map as a JPEG (grey, or full-resolution colour for three channels): SOI, its XMP,
// the ISO metadata, then the encoder's tables and scan (its JFIF segment left out).
bool encodeMap(const GainMap& gm, int quality, std::vector<uint8_t>& jpeg) {
    Owned<tjDestroy> tj(tjInitCompress());
    if (!tj) return false;
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    const Image& m = gm.map;
    const bool colour = gm.channels() == 3;
    if (tjCompress2(tj.get(), m.px8.data(), int(m.width), 0, int(m.height), colour ? TJPF_RGB : TJPF_GRAY, &buf,
                    &size, colour ? TJSAMP_444 : TJSAMP_GRAY, std::clamp(quality, 1, 100), TJFLAG_ACCURATEDCT) != 0) {
        tjFree(buf);
        return false;
    }
    const Owned<tjFree> owned(buf);
    size_t rest = 2;
    if (size > 6 && buf[2] == 0xFF && buf[3] == 0xE0) rest = 4 + size_t(be16(buf + 4));
    if (rest >= size) return false;
    jpeg.assign(buf, buf + 2);
    const std::string xmp = mapXmp(gm);
    const std::vector<uint8_t> iso = iso21496Metadata(gm);
    const size_t ns = sizeof kJpegXmpNamespace;
    if (!appendJpegSegment(jpeg, 0xE1, kJpegXmpNamespace, ns, xmp.data(), xmp.size()) ||
        !appendJpegSegment(jpeg, 0xE2, kIsoNs, sizeof kIsoNs, iso.data(), iso.size()))
        return false;
    jpeg.insert(jpeg.end(), buf + rest, buf + size);
    return true;
}

// The MPF index: a big-endian TIFF header, one directory (version, number of
// pictures, the picture entries) and the two 16-byte entries. Offsets count
// from the TIFF header; the primary's is 0 by definition.
constexpr size_t kMpfPayload = 4 + 8 + 2 + 3 * 12 + 4 + 2 * 16;
std::vector<uint8_t> mpfPayload(uint32_t primarySize, uint32_t mapSize, uint32_t mapOffset) {
    std::vector<uint8_t> v = {'M', 'P', 'F', 0, 'M', 'M', 0, 0x2A};
    appendBe32(v, 8);  // the directory follows the header
    appendBe16(v, 3);
    appendBe16(v, 0xB000); appendBe16(v, 7); appendBe32(v, 4); v.insert(v.end(), {'0', '1', '0', '0'});  // MPFVersion
    appendBe16(v, 0xB001); appendBe16(v, 4); appendBe32(v, 1); appendBe32(v, 2);                             // NumberOfImages
    appendBe16(v, 0xB002); appendBe16(v, 7); appendBe32(v, 32); appendBe32(v, 8 + 2 + 3 * 12 + 4);           // MPEntry
    appendBe32(v, 0);  // no further directory
    appendBe32(v, 0x00030000); appendBe32(v, primarySize); appendBe32(v, 0); appendBe32(v, 0);  // baseline primary picture
    appendBe32(v, 0x00000000); appendBe32(v, mapSize); appendBe32(v, mapOffset); appendBe32(v, 0);
    return v;
}

}  // namespace

std::string primaryXmpWithDirectory(const std::vector<uint8_t>& xmp, size_t mapBytes) {
    const std::string description =
        "  <rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"\n"
        "   xmlns:Container=\"" + std::string(kContainerNs) + "\"\n"
        "   xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" hdrgm:Version=\"1.0\">\n"
        "   <Container:Directory>\n    <rdf:Seq>\n"
        "     <rdf:li rdf:parseType=\"Resource\">\n"
        "      <Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>\n     </rdf:li>\n"
        "     <rdf:li rdf:parseType=\"Resource\">\n"
        "      <Container:Item Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" Item:Length=\"" +
        std::to_string(mapBytes) + "\"/>\n     </rdf:li>\n"
        "    </rdf:Seq>\n   </Container:Directory>\n  </rdf:Description>\n";
    if (xmp.empty())
        return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n <rdf:RDF "
               "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n" +
               description + " </rdf:RDF>\n</x:xmpmeta>\n";
    // The picture's own packet keeps everything it says; our description
    // joins its rdf:RDF element.
    std::string packet(xmp.begin(), xmp.end());
    const size_t end = packet.rfind("</rdf:RDF>");
    if (end == std::string::npos || packet.find("<Container:Directory") != std::string::npos) return {};
    packet.insert(end, description);
    return packet;
}

namespace {

// An hdrgm number of an XMP packet, per channel: an attribute (the same for all three) or
// an element holding a sequence of three. False when it is absent or unreadable.
bool hdrgmNumbers(const std::string& xmp, const char* name, std::array<double, 3>& v) {
    auto numberAt = [&](size_t at, char close, double& out) {
        char* end = nullptr;
        out = std::strtod(xmp.c_str() + at, &end);
        while (end && (*end == ' ' || *end == '\n' || *end == '\r' || *end == '\t')) ++end;
        return end != xmp.c_str() + at && end && *end == close;
    };
    const std::string attribute = std::string("hdrgm:") + name + "=\"";
    if (const size_t at = xmp.find(attribute); at != std::string::npos) {
        if (!numberAt(at + attribute.size(), '"', v[0])) return false;
        v[1] = v[2] = v[0];
        return true;
    }
    const std::string open = std::string("<hdrgm:") + name + ">", close = std::string("</hdrgm:") + name + ">";
    const size_t from = xmp.find(open), to = xmp.find(close, from);
    if (from == std::string::npos || to == std::string::npos) return false;
    size_t at = from;
    for (double& x : v) {
        at = xmp.find("<rdf:li>", at);
        if (at == std::string::npos || at > to || !numberAt(at + 8, '<', x)) return false;
        at += 8;
    }
    return true;
}

// The map's numbers from its hdrgm XMP (Adobe's defaults for those left out).
bool readHdrgmXmp(const std::string& xmp, GainMap& gm) {
    if (xmp.find("hdrgm:BaseRenditionIsHDR=\"True\"") != std::string::npos) return false;
    auto numbers = [&](const char* name, std::array<double, 3>& v, double fallback) {
        if (hdrgmNumbers(xmp, name, v)) return true;
        v.fill(fallback);
        return false;
    };
    std::array<double, 3> minCap{}, maxCap{};
    numbers("GainMapMin", gm.minLog2, 0);
    const bool hasMax = numbers("GainMapMax", gm.maxLog2, 0);
    numbers("Gamma", gm.gamma, 1);
    numbers("OffsetSDR", gm.offsetSdr, 1.0 / 64);
    numbers("OffsetHDR", gm.offsetHdr, 1.0 / 64);
    numbers("HDRCapacityMin", minCap, 0);
    const bool hasCapacity = numbers("HDRCapacityMax", maxCap, 0);
    gm.capacityMin = minCap[0];
    gm.capacityMax = maxCap[0];
    for (size_t c = 0; c < 3; ++c)
        if (!(gm.gamma[c] > 0) || gm.maxLog2[c] < gm.minLog2[c]) return false;
    return hasMax && hasCapacity;
}

// Where the second picture of an MPF index lies in the file: offset and size.
bool secondPicture(const uint8_t* file, size_t size, size_t& offset, size_t& length) {
    bool found = false;
    forEachJpegSegment(file, size, [&](uint8_t marker, const uint8_t* p, size_t n) {
        if (marker != 0xE2 || n < 16 || std::memcmp(p, "MPF\0", 4) != 0) return true;
        const uint8_t* tiff = p + 4;
        const size_t tiffSize = n - 4;
        const bool big = tiff[0] == 'M';
        if (!(big ? tiff[1] == 'M' : tiff[0] == 'I' && tiff[1] == 'I')) return false;
        const uint32_t dir = read32(tiff + 4, big);
        if (dir > tiffSize - 2) return false;
        const uint16_t count = read16(tiff + dir, big);
        for (uint32_t e = 0; e < count && dir + 2 + 12 * (e + 1) <= tiffSize; ++e) {
            const uint8_t* entry = tiff + dir + 2 + 12 * e;
            if (read16(entry, big) != 0xB002 || read32(entry + 4, big) < 32) continue;
            const uint32_t list = read32(entry + 8, big);
            if (list > tiffSize || tiffSize - list < 32) return false;
            length = read32(tiff + list + 16 + 4, big);
            offset = size_t(tiff - file) + read32(tiff + list + 16 + 8, big);
            found = offset < size && length <= size - offset && length > 4;
            return false;
        }
        return false;
    });
    return found;
}

}  // namespace

std::optional<GainMap> readJpegGainMap(const uint8_t* file, size_t size, const std::vector<uint8_t>& exif) {
    size_t offset = 0, length = 0;
    if (!secondPicture(file, size, offset, length)) return std::nullopt;
    const uint8_t* map = file + offset;
    GainMap gm;
    bool iso = false, xmp = false;
    int channels = 1;
    std::string packet;
    forEachJpegSegment(map, length, [&](uint8_t marker, const uint8_t* p, size_t n) {
        if (marker == 0xE2 && n > sizeof kIsoNs && std::memcmp(p, kIsoNs, sizeof kIsoNs) == 0)
            iso = readIso21496Metadata(p + sizeof kIsoNs, n - sizeof kIsoNs, gm, channels);
        else if (isXmpSegment(marker, p, n))
            packet.assign(reinterpret_cast<const char*>(p + sizeof kJpegXmpNamespace), n - sizeof kJpegXmpNamespace);
        return true;
    });
    // The standard's own numbers first; the XMP where they are missing or unreadable.
    // A map whose base is the HDR picture has no place in a JPEG whose picture is SDR.
    if (iso && gm.leadsDown) return std::nullopt;
    if (!iso) {
        xmp = readHdrgmXmp(packet, gm);
        // Three channels where the XMP gives them different numbers.
        auto alike = [](const std::array<double, 3>& v) { return v[0] == v[1] && v[1] == v[2]; };
        channels = alike(gm.minLog2) && alike(gm.maxLog2) && alike(gm.gamma) && alike(gm.offsetSdr) &&
                           alike(gm.offsetHdr)
                       ? 1
                       : 3;
    }
    // Apple's: its own numbers from the primary's maker note.
    const bool apple = !iso && !xmp && packet.find(kAppleGainMapType) != std::string::npos &&
                       packet.find("HDRGainMapVersion") != std::string::npos;
    const std::optional<double> headroom = apple ? appleHeadroomOf(exif) : std::nullopt;
    if (!iso && !xmp && !headroom) return std::nullopt;

    Owned<tjDestroy> tj(tjInitDecompress());
    int w = 0, h = 0, subsamp = 0, cs = 0;
    if (!tj || tjDecompressHeader3(tj.get(), map, (unsigned long)length, &w, &h, &subsamp, &cs) != 0 || w <= 0 ||
        h <= 0 || uint64_t(w) * uint64_t(h) > (uint64_t(1) << 28))
        return std::nullopt;
    // A colour map is read as three channels only where its numbers say so; otherwise as
    // one, its luma.
    gm.map.allocate(uint32_t(w), uint32_t(h), channels, 8);
    // As for a picture: stray-byte warnings pass, a map cut short does not.
    if (tjDecompress2(tj.get(), map, (unsigned long)length, gm.map.px8.data(), w, 0, h,
                      channels == 3 ? TJPF_RGB : TJPF_GRAY, TJFLAG_ACCURATEDCT) != 0 &&
        (tjGetErrorCode(tj.get()) == TJERR_FATAL ||
         std::string(tjGetErrorStr2(tj.get())).find("Premature end") != std::string::npos))
        return std::nullopt;
    if (headroom) fromAppleMap(gm, *headroom);
    return gm;
}

void dropContainerDirectory(std::vector<uint8_t>& xmp) {
    std::string packet(xmp.begin(), xmp.end());
    const size_t from = packet.find("<Container:Directory");
    const char kClose[] = "</Container:Directory>";
    const size_t to = packet.find(kClose, from);
    if (from == std::string::npos || to == std::string::npos) return;
    packet.erase(from, to + sizeof kClose - 1 - from);
    for (size_t at; (at = packet.find(" hdrgm:Version=\"")) != std::string::npos;) {
        const size_t close = packet.find('"', at + 16);
        if (close == std::string::npos) break;
        packet.erase(at, close + 1 - at);
    }
    xmp.assign(packet.begin(), packet.end());
}

bool writeJpegWithGainMap(const Image& picture, const uint8_t* coded, size_t codedSize, int quality,
                          OutFile& out) {
    if (!picture.gainMap || picture.gainMap->map.px8.empty() || picture.gainMap->leadsDown) return false;
    std::vector<uint8_t> map;
    if (!encodeMap(*picture.gainMap, quality, map)) return false;
    const std::string xmp = primaryXmpWithDirectory(picture.xmp, map.size());
    if (xmp.empty()) return false;

    // SOI; the encoder's JFIF segment stays first when there is no EXIF (the
    // caller has dropped it otherwise); EXIF, XMP, the ISO version segment,
    // the ICC profile, then the MPF index last before the picture's own tables.
    std::vector<uint8_t> head = {0xFF, 0xD8};
    size_t tail = 0;
    if (codedSize > 4 && coded[0] == 0xFF && coded[1] == 0xE0) {
        tail = 2 + (size_t(coded[2]) << 8 | coded[3]);
        if (tail > codedSize) return false;
        head.insert(head.end(), coded, coded + tail);
    }
    const std::vector<uint8_t>& exif = picture.exif;
    if (!exif.empty() && !appendJpegSegment(head, 0xE1, "Exif\0\0", 6, exif.data(), exif.size()))
        return false;
    const uint8_t isoVersion[4] = {0, 0, 0, 0};
    const size_t ns = sizeof kJpegXmpNamespace;
    if (!appendJpegSegment(head, 0xE1, kJpegXmpNamespace, ns, xmp.data(), xmp.size()) ||
        !appendJpegSegment(head, 0xE2, kIsoNs, sizeof kIsoNs, isoVersion, sizeof isoVersion))
        return false;
    if (!picture.icc.empty()) appendJpegIcc(head, picture.icc);

    const size_t mpfTiff = head.size() + 4 + 4;  // after the marker, length and "MPF\0"
    const uint64_t primarySize = uint64_t(head.size()) + 4 + (kMpfPayload) + (codedSize - tail);
    if (primarySize + map.size() > 0xFFFFFFFFu) return false;
    const std::vector<uint8_t> mpf =
        mpfPayload(uint32_t(primarySize), uint32_t(map.size()), uint32_t(primarySize - mpfTiff));
    appendJpegSegment(head, 0xE2, mpf.data(), mpf.size(), nullptr, 0);

    out.write(head.data(), head.size());
    out.write(coded + tail, codedSize - tail);
    out.write(map.data(), map.size());
    return true;
}

}  // namespace conv
