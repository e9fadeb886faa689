// Chunk header codec and the data checksum helpers.
#include "stream/stream_hdr.h"

#include <bit>
#include <cstring>

#include "core/le.h"

namespace kavri::stream {

namespace {

constexpr unsigned kFletcherMod = 255;
constexpr size_t kWord = 4;

inline uint32_t load_le32(const uint8_t *p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
        return le::get_u32(p);
    }
}

}  // namespace

uint16_t fletcher16(const uint8_t *p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % kFletcherMod;
        s2 = (s2 + s1) % kFletcherMod;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

bool hdr_is_valid(const uint8_t *p) {
    if (p[0] != kSync0 || p[1] != kSync1) return false;
    if (fletcher16(p, kHdrSumCovered) != le::get_u16(p + kOffHdrSum)) return false;
    const uint32_t frlen = le::get_u32(p + kOffFrlen);
    return le::get_u32(p + kOffLen) <= kMaxLen && frlen <= kMaxFrlen && frlen != 0 &&
           le::get_u16(p + kOffFrfmt) <= kMaxFrfmt;
}

StreamHdr hdr_decode(const uint8_t *p) {
    StreamHdr h;
    h.sidx = le::get_u16(p + kOffSidx);
    h.len = le::get_u32(p + kOffLen);
    h.frlen = le::get_u32(p + kOffFrlen);
    h.fridx = le::get_u16(p + kOffFridx);
    h.frfmt = le::get_u16(p + kOffFrfmt);
    for (size_t i = 0; i < kDescWords; ++i) h.desc[i] = le::get_u32(p + kOffDesc + kWord * i);
    h.data_sum = le::get_u32(p + kOffDataSum);
    h.frame_start = (p[kOffFlagsA] & kFlagFrameStart) != 0;
    h.has_data_sum = (p[kOffFlagsB] & kFlagDataSum) != 0;
    return h;
}

kv_stream_frame_info_t hdr_frame_info(const StreamHdr &h, uint32_t frames_before) {
    kv_stream_frame_info_t info{};
    info.frlen = h.frlen;
    info.fridx = static_cast<uint16_t>(h.fridx + frames_before);
    info.frfmt = h.frfmt;
    for (size_t i = 0; i < kDescWords; ++i) info.desc[i] = h.desc[i];
    return info;
}

uint32_t sum_le_words(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    const size_t words = n / kWord;
    for (size_t i = 0; i < words; ++i) sum += load_le32(p + kWord * i);
    return sum;
}

uint32_t copy_and_sum_le_words(uint8_t *dst, const uint8_t *src, size_t n) {
    uint32_t sum = 0;
    const size_t words = n / kWord;
    for (size_t i = 0; i < words; ++i) {
        uint32_t v;
        std::memcpy(&v, src + kWord * i, kWord);
        std::memcpy(dst + kWord * i, &v, kWord);
        if constexpr (std::endian::native == std::endian::little) {
            sum += v;
        } else {
            sum += le::get_u32(src + kWord * i);
        }
    }
    std::memcpy(dst + kWord * words, src + kWord * words, n - kWord * words);
    return sum;
}

}  // namespace kavri::stream
