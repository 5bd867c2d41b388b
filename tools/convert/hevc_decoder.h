// HEVC through libde265: one coded picture per decoder, and the libheif plugin
// that makes libheif decode with it.
#pragma once

#include <cstddef>
#include <cstdint>

struct de265_image;

namespace conv {

// Decodes one coded picture. `workers` libde265 threads decode wavefront rows,
// tiles and the in-loop filters in parallel; 0 decodes on the calling thread.
class HevcDecoder {
public:
    explicit HevcDecoder(int workers);
    ~HevcDecoder();
    HevcDecoder(const HevcDecoder&) = delete;
    HevcDecoder& operator=(const HevcDecoder&) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // One NAL unit, without a start code (a parameter set from 'hvcC').
    void pushNal(const uint8_t* data, size_t size);
    // NAL units each preceded by its length in `lengthBytes` (1 to 4) big-endian
    // bytes, as HEIF stores them. False when a length runs past the end.
    bool pushLengthPrefixed(const uint8_t* data, size_t size, int lengthBytes);
    // Decodes what was pushed and returns the first complete picture, or null.
    // The picture belongs to the decoder and lives as long as it does.
    const de265_image* decode();
    // True when libde265 noticed damage while decoding (it conceals and goes on).
    bool hadWarnings();

private:
    void* ctx_ = nullptr;
    const de265_image* picture_ = nullptr;
};

// How many pictures HevcDecoder objects have decoded in this process, whoever
// asked (our own tile decoding or libheif through the plugin below).
uint64_t hevcPicturesDecoded();

// Makes libheif decode HEVC through HevcDecoder with `workers` threads per
// picture. libheif's built-in binding runs a single worker, which leaves every
// other core idle on a single-image photo. Applies to decoders created from
// then on; safe to call again.
void useHevcWorkers(int workers);

}  // namespace conv
