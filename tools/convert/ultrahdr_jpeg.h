// JPEGs with an HDR gain map (the Ultra HDR layout, v1.1): the picture as the
// primary JPEG, its XMP naming the gain map in a container directory and an
// MPF (CIPA DC-007) index pointing at it, then the map as a second, grey JPEG
// with its hdrgm XMP and the ISO 21496-1 metadata segment. Viewers that know
// neither see the ordinary picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/convert/fileio.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/image.h"

namespace conv {

// The gain map of a JPEG (the whole file; `exif` its primary's): the second picture of
// its MPF index, with ISO 21496-1 metadata or hdrgm XMP (the layout written here), or
// Apple's, an auxiliary picture of Apple's HDR gain-map type with the headroom in the
// EXIF's maker note. Nothing when the file has none, or one that cannot be read (a
// second picture that is a preview, a map whose base picture is the HDR one, a damaged
// map).
std::optional<GainMap> readJpegGainMap(const uint8_t* file, size_t size, const std::vector<uint8_t>& exif);

// Takes out of a JPEG's XMP packet what describes its gain map's place in the file
// (the container directory, hdrgm:Version): true of that file only, and written
// afresh with the map when there is one.
void dropContainerDirectory(std::vector<uint8_t>& xmp);

// The XMP packet of the primary: `xmp` (the picture's own, possibly empty)
// with a description naming the gain map of `mapBytes` bytes added. Empty
// when the picture's packet cannot take it (no rdf:RDF element, or it already
// has a container directory).
std::string primaryXmpWithDirectory(const std::vector<uint8_t>& xmp, size_t mapBytes);

// Writes the whole file: `picture` is the picture's metadata (EXIF, XMP,
// ICC), `coded` the encoder's output after SOI (its segments and scan data up
// to EOI). False, having written nothing, when the map cannot go along (too
// large a segment, an XMP packet that cannot take the directory, an encoder
// failure): the caller then writes the plain JPEG.
bool writeJpegWithGainMap(const Image& picture, const uint8_t* coded, size_t codedSize, int quality,
                          OutFile& out);

}  // namespace conv
