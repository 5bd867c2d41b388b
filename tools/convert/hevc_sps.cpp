#include "tools/convert/hevc_sps.h"

#include <algorithm>
#include <vector>

namespace conv {

namespace {

// Bits of an RBSP, most significant first. Reading past the end (or an
// Exp-Golomb code longer than 32 bits) makes it fail for good.
class BitReader {
public:
    explicit BitReader(std::vector<uint8_t> rbsp) : d_(std::move(rbsp)) {}
    uint32_t u(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = v << 1 | bit();
        return v;
    }
    uint32_t ue() {
        int zeros = 0;
        while (ok_ && bit() == 0)
            if (++zeros > 31) ok_ = false;
        if (!ok_) return 0;
        return (uint32_t(1) << zeros) - 1 + u(zeros);
    }
    int32_t se() {
        const uint32_t k = ue();
        return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }
    void skip(size_t n) {
        if (at_ + n > d_.size() * 8) ok_ = false;
        at_ += n;
    }
    bool ok() const { return ok_; }

private:
    uint32_t bit() {
        if (!ok_ || at_ >= d_.size() * 8) {
            ok_ = false;
            return 0;
        }
        const uint32_t b = d_[at_ / 8] >> (7 - at_ % 8) & 1;
        ++at_;
        return b;
    }
    std::vector<uint8_t> d_;
    size_t at_ = 0;
    bool ok_ = true;
};

// The payload without its emulation prevention bytes (0x000003 -> 0x0000).
std::vector<uint8_t> unescape(const uint8_t* p, size_t n) {
    std::vector<uint8_t> out;
    out.reserve(n);
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out.push_back(p[i]);
    }
    return out;
}

void profileTierLevel(BitReader& r, uint32_t maxSubLayersMinus1) {
    r.skip(88 + 8);  // general profile and level
    bool profile[8] = {}, level[8] = {};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profile[i] = r.u(1);
        level[i] = r.u(1);
    }
    if (maxSubLayersMinus1 > 0) r.skip(2 * (8 - maxSubLayersMinus1));
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profile[i]) r.skip(88);
        if (level[i]) r.skip(8);
    }
}

void scalingListData(BitReader& r) {
    for (int sizeId = 0; sizeId < 4 && r.ok(); ++sizeId)
        for (int matrixId = 0; matrixId < 6; matrixId += sizeId == 3 ? 3 : 1) {
            if (!r.u(1)) {
                r.ue();  // scaling_list_pred_matrix_id_delta
                continue;
            }
            const int coefs = std::min(64, 1 << (4 + (sizeId << 1)));
            if (sizeId > 1) r.se();
            for (int i = 0; i < coefs && r.ok(); ++i) r.se();
        }
}

// st_ref_pic_set(idx) of the SPS; `deltaPocs` holds NumDeltaPocs of the sets
// before it and gains this one's.
bool shortTermRefPicSet(BitReader& r, size_t idx, std::vector<uint32_t>& deltaPocs) {
    if (idx != 0 && r.u(1)) {  // predicted from the set before it
        r.u(1);                // delta_rps_sign
        r.ue();                // abs_delta_rps_minus1
        uint32_t count = 0;
        for (uint32_t j = 0; j <= deltaPocs[idx - 1] && r.ok(); ++j) {
            const bool used = r.u(1);
            count += used || r.u(1);
        }
        deltaPocs.push_back(count);
        return r.ok();
    }
    const uint32_t negative = r.ue(), positive = r.ue();
    if (negative > 16 || positive > 16) return false;
    for (uint32_t i = 0; i < negative + positive && r.ok(); ++i) {
        r.ue();
        r.u(1);
    }
    deltaPocs.push_back(negative + positive);
    return r.ok();
}

}  // namespace

std::optional<HevcSampleFormat> readHevcSps(const uint8_t* nal, size_t size) {
    if (size < 3 || (nal[0] >> 1 & 0x3f) != 33) return std::nullopt;
    BitReader r(unescape(nal + 2, size - 2));
    HevcSampleFormat f;
    r.skip(4);  // sps_video_parameter_set_id
    const uint32_t maxSubLayersMinus1 = r.u(3);
    r.skip(1);
    if (maxSubLayersMinus1 > 6) return std::nullopt;
    profileTierLevel(r, maxSubLayersMinus1);
    r.ue();  // sps_seq_parameter_set_id
    f.chromaFormat = int(r.ue());
    if (f.chromaFormat > 3) return std::nullopt;
    if (f.chromaFormat == 3) r.skip(1);  // separate_colour_plane_flag
    const uint32_t codedWidth = r.ue(), codedHeight = r.ue();
    uint32_t cropX = 0, cropY = 0;
    if (r.u(1)) {
        const uint32_t subW = f.chromaFormat == 1 || f.chromaFormat == 2 ? 2 : 1;
        const uint32_t subH = f.chromaFormat == 1 ? 2 : 1;
        cropX = subW * (r.ue() + r.ue());
        cropY = subH * (r.ue() + r.ue());
    }
    if (cropX >= codedWidth || cropY >= codedHeight) return std::nullopt;
    f.width = codedWidth - cropX;
    f.height = codedHeight - cropY;
    f.lumaBits = int(r.ue()) + 8;
    f.chromaBits = int(r.ue()) + 8;
    const uint32_t pocLsbBits = r.ue() + 4;
    if (f.lumaBits > 16 || f.chromaBits > 16 || pocLsbBits > 16) return std::nullopt;
    const bool orderingForEveryLayer = r.u(1);
    for (uint32_t i = orderingForEveryLayer ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        r.ue();
        r.ue();
        r.ue();
    }
    for (int i = 0; i < 6; ++i) r.ue();  // block sizes and transform depths
    if (r.u(1) && r.u(1)) scalingListData(r);
    r.skip(2);     // amp, sample adaptive offset
    if (r.u(1)) {  // PCM
        r.skip(8);
        r.ue();
        r.ue();
        r.skip(1);
    }
    const uint32_t sets = r.ue();
    if (sets > 64) return std::nullopt;
    std::vector<uint32_t> deltaPocs;
    for (uint32_t i = 0; i < sets; ++i)
        if (!shortTermRefPicSet(r, i, deltaPocs)) return std::nullopt;
    if (r.u(1)) {  // long-term reference pictures
        const uint32_t n = r.ue();
        if (n > 32) return std::nullopt;
        for (uint32_t i = 0; i < n; ++i) r.skip(pocLsbBits + 1);
    }
    r.skip(2);     // temporal MVP, strong intra smoothing
    if (r.u(1)) {  // VUI
        if (r.u(1) && r.u(8) == 255) r.skip(32);  // sample aspect ratio
        if (r.u(1)) r.skip(1);                    // overscan
        if (r.u(1)) {                             // video signal type
            r.skip(3);
            f.fullRange = r.u(1);
            if (r.u(1)) {
                f.primaries = int(r.u(8));
                f.transfer = int(r.u(8));
                f.matrix = int(r.u(8));
            }
        }
    }
    if (!r.ok()) return std::nullopt;
    return f;
}

}  // namespace conv
