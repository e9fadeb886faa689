// Chunk header codec and the data checksum helpers.
#include "stream/stream_hdr.h"

#include <bit>
#include <cstring>

#include "core/fletcher16.h"
#include "core/isa_clones.h"
#include "core/le.h"

namespace kavri::stream {

namespace {

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
    return kavri::fletcher16(std::span<const uint8_t>(p, n));
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

namespace {

// Sixteen lanes of u32 in one 64-byte vector; the compiler maps the additions
// onto the target's registers (four SSE registers in the baseline build, two
// AVX2 or one AVX-512 register in the others), so the copy moves as much per
// instruction as memcpy does.
using U32x16 = uint32_t __attribute__((vector_size(64)));
constexpr size_t kLane = sizeof(U32x16);
constexpr size_t kStride = 4 * kLane;  // four accumulators hide the add latency
// The loop asks for the source this far ahead: the processor's own
// prefetcher does not run far enough ahead of loads this wide, and the loop
// would wait on every line (memcpy does not, so the pair would pull ahead).
constexpr size_t kPrefetchAhead = 2048;

uint32_t sum_words_scalar(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n / kWord; ++i) sum += load_le32(p + kWord * i);
    return sum;
}

// Sums (and, with a destination, copies) the leading whole strides; returns
// how many bytes it covered. The sum of wrapping words does not depend on
// the order of the additions, so every build gives the same result.
template <bool kCopy>
__attribute__((always_inline)) inline size_t stride_pass(uint8_t *dst, const uint8_t *src, size_t n,
                                                         uint32_t &sum) {
    if constexpr (std::endian::native != std::endian::little) {
        return 0;  // lanes would hold byte-swapped words: the scalar path does it all
    }
    U32x16 a0{}, a1{}, a2{}, a3{};
    size_t i = 0;
    for (; i + kStride <= n; i += kStride) {
        // Prefetches never fault: running past the end of src is harmless.
        for (size_t line = 0; line < kStride; line += kLane)
            __builtin_prefetch(src + i + kPrefetchAhead + line, 0, 3);
        U32x16 x0, x1, x2, x3;
        std::memcpy(&x0, src + i, kLane);
        std::memcpy(&x1, src + i + kLane, kLane);
        std::memcpy(&x2, src + i + 2 * kLane, kLane);
        std::memcpy(&x3, src + i + 3 * kLane, kLane);
        if constexpr (kCopy) {
            std::memcpy(dst + i, &x0, kLane);
            std::memcpy(dst + i + kLane, &x1, kLane);
            std::memcpy(dst + i + 2 * kLane, &x2, kLane);
            std::memcpy(dst + i + 3 * kLane, &x3, kLane);
        }
        a0 += x0;
        a1 += x1;
        a2 += x2;
        a3 += x3;
    }
    const U32x16 a = a0 + a1 + a2 + a3;
    for (size_t lane = 0; lane < kLane / sizeof(uint32_t); ++lane) sum += a[lane];
    return i;
}

KV_ISA_CLONES(size_t, sum_strides, (const uint8_t *p, size_t n, uint32_t *sum), (p, n, sum)) {
    return stride_pass<false>(nullptr, p, n, *sum);
}

KV_ISA_CLONES(size_t, copy_sum_strides,
              (uint8_t * dst, const uint8_t *src, size_t n, uint32_t *sum), (dst, src, n, sum)) {
    return stride_pass<true>(dst, src, n, *sum);
}

}  // namespace

uint32_t sum_le_words(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    const size_t done = sum_strides(p, n, &sum);
    return sum + sum_words_scalar(p + done, n - done);
}

uint32_t copy_and_sum_le_words(uint8_t *dst, const uint8_t *src, size_t n) {
    uint32_t sum = 0;
    const size_t done = copy_sum_strides(dst, src, n, &sum);
    std::memcpy(dst + done, src + done, n - done);
    return sum + sum_words_scalar(src + done, n - done);
}

}  // namespace kavri::stream
