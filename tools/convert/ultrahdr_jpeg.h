// JPEGs with an HDR gain map (the Ultra HDR layout, v1.1): the picture as the
// primary JPEG, its XMP naming the gain map in a container directory and an
// MPF (CIPA DC-007) index pointing at it, then the map as a second, grey JPEG
// with its hdrgm XMP and the ISO 21496-1 metadata segment. Viewers that know
// neither see the ordinary picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/fileio.h"
#include "tools/convert/gain_map.h"
#include "tools/convert/image.h"

namespace conv {

// The ISO 21496-1 metadata of a map (big-endian, explicit fractions, one
// channel, applied in the picture's own colour space).
std::vector<uint8_t> iso21496Metadata(const GainMap& gm);

// The XMP packet of the primary: `xmp` (the picture's own, possibly empty)
// with a description naming the gain map of `mapBytes` bytes added. Empty
// when the picture's packet cannot take it (no rdf:RDF element, or it already
// describes a container).
std::string primaryXmpWithDirectory(const std::vector<uint8_t>& xmp, size_t mapBytes);

// Writes the whole file: `picture` is the picture's metadata (EXIF, XMP,
// ICC), `coded` the encoder's output after SOI (its segments and scan data up
// to EOI). False, having written nothing, when the map cannot go along (too
// large a segment, an XMP packet that cannot take the directory, an encoder
// failure): the caller then writes the plain JPEG.
bool writeJpegWithGainMap(const Image& picture, const uint8_t* coded, size_t codedSize, int quality,
                          OutFile& out);

}  // namespace conv
