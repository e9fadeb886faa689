// Phase and amplitude of the four-phase samples, computed a block of pixels at
// a time so that each step runs as one vectorised pass over the block.
#pragma once

#include <algorithm>
#include <cstdint>

#include "alg/fixmath.h"

namespace kavri::epc {

constexpr uint16_t kSampleMask = 0x0FFF;
constexpr uint16_t kSampleSaturated = 0x0FFF;
constexpr int32_t kPhaseQuarter = 16384;
constexpr int32_t kBlock = 512;

// One block of pixels: phase (0..32767), amplitude and the invalid mark.
struct PixelBlock {
    alignas(64) int32_t y[kBlock];  // d3 - d1
    alignas(64) int32_t x[kBlock];  // d2 - d0
    alignas(64) int32_t phase[kBlock];
    alignas(64) float amp[kBlock];
    alignas(64) uint8_t invalid[kBlock];
};

// Fills blk for pixels [first, first + cnt) of the four sub-frames at src
// (n samples each).
inline void compute_block(PixelBlock &blk, const uint16_t *src, size_t n, size_t first,
                          int32_t cnt) {
    const uint16_t *s0 = src + first;
    const uint16_t *s1 = s0 + n;
    const uint16_t *s2 = s1 + n;
    const uint16_t *s3 = s2 + n;
    for (int32_t i = 0; i < cnt; ++i) {
        const int32_t d0 = s0[i] & kSampleMask;
        const int32_t d1 = s1[i] & kSampleMask;
        const int32_t d2 = s2[i] & kSampleMask;
        const int32_t d3 = s3[i] & kSampleMask;
        const int32_t hi = std::max(std::max(d0, d1), std::max(d2, d3));
        const int32_t lo = std::min(std::min(d0, d1), std::min(d2, d3));
        blk.invalid[i] = static_cast<uint8_t>((hi == kSampleSaturated) | (lo == 0));
        const int32_t y = d3 - d1;
        const int32_t x = d2 - d0;
        blk.y[i] = y;
        blk.x[i] = x;
        blk.amp[i] = static_cast<float>((x * x + y * y) >> 2);
    }
    atan2_phase_n(blk.phase, blk.y, blk.x, cnt);
    fast_sqrtf_n(blk.amp, blk.amp, cnt);
    for (int32_t i = 0; i < cnt; ++i) blk.phase[i] = (blk.phase[i] + kPhaseQuarter) & kAngleMask;
}

// Runs fn(first, cnt, blk) over the n pixels block by block.
template <typename Fn>
inline void for_each_block(const uint16_t *src, size_t n, Fn &&fn) {
    PixelBlock blk;
    for (size_t first = 0; first < n; first += kBlock) {
        const auto cnt = static_cast<int32_t>(std::min<size_t>(kBlock, n - first));
        compute_block(blk, src, n, first, cnt);
        fn(first, cnt, blk);
    }
}

// The sub-frame count and size that the distance and gray calculations accept.
inline bool frame_shape_ok(uint32_t width, uint32_t height, uint32_t count) {
    constexpr uint32_t kSubFrames = 4;
    const uint64_t n = static_cast<uint64_t>(width) * height;
    return count == kSubFrames && n % kSubFrames == 0 && n <= UINT32_MAX / 8;
}

}  // namespace kavri::epc
