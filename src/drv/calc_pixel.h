// Phase and amplitude of the four-phase samples, computed a block of pixels at
// a time so that each step runs as one vectorised pass over the block.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/isa_clones.h"

namespace kavri::epc {

constexpr uint16_t kSampleMask = 0x0FFF;
constexpr uint16_t kSampleSaturated = 0x0FFF;
constexpr int32_t kPhaseQuarter = 16384;
constexpr int32_t kBlock = 512;
constexpr int32_t kAngleMask = 0x7FFF;

// Loops over whole blocks are written as KV_ISA_CLONES (core/isa_clones.h):
// built for AVX-512 (x86-64-v4), AVX2 and the baseline, and run on the one the
// library picked. Results must not depend on the pick, so no multiply-add is
// ever fused (the library is built with -ffp-contract=off).

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
void compute_block(PixelBlock &blk, const uint16_t *src, size_t n, size_t first, int32_t cnt);

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

// Which pixel counts a calculation accepts. The exported calculations keep
// their documented refusal of counts that are not a multiple of 4; the block
// loops handle any count, so the decode, which must fill every pixel it
// reports, takes any count.
enum class PixelCount { kWholeQuads, kAny };

// The sub-frame count and size that the distance and gray calculations accept.
inline bool frame_shape_ok(uint32_t width, uint32_t height, uint32_t count,
                           PixelCount rule = PixelCount::kWholeQuads) {
    constexpr uint32_t kSubFrames = 4;
    const uint64_t n = static_cast<uint64_t>(width) * height;
    return count == kSubFrames && (rule == PixelCount::kAny || n % kSubFrames == 0) &&
           n <= UINT32_MAX / 8;
}

}  // namespace kavri::epc
