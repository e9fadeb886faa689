// Phase and amplitude of a block of pixels: one vectorised pass for the
// sample differences and validity, then the batch atan2 and square root.
#include "drv/calc_pixel.h"

#include <algorithm>

#include "alg/fixmath.h"

namespace kavri::epc {
namespace {

KV_EPC_VECTOR_CLONES void differences(PixelBlock &blk, const uint16_t *s0, const uint16_t *s1,
                                      const uint16_t *s2, const uint16_t *s3, int32_t cnt) {
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
}

KV_EPC_VECTOR_CLONES void quarter_turn(int32_t *phase, int32_t cnt) {
    for (int32_t i = 0; i < cnt; ++i) phase[i] = (phase[i] + kPhaseQuarter) & kAngleMask;
}

}  // namespace

void compute_block(PixelBlock &blk, const uint16_t *src, size_t n, size_t first, int32_t cnt) {
    const uint16_t *s0 = src + first;
    differences(blk, s0, s0 + n, s0 + 2 * n, s0 + 3 * n, cnt);
    atan2_phase_n(blk.phase, blk.y, blk.x, cnt);
    fast_sqrtf_n(blk.amp, blk.amp, cnt);
    quarter_turn(blk.phase, cnt);
}

}  // namespace kavri::epc
