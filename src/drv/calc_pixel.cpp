// Phase and amplitude of a block of pixels: one vectorised pass for the
// sample differences and validity, then one pass for the phase (the table
// atan2 turned by a quarter) and the amplitude (the square root of a quarter
// of the power).
#include "drv/calc_pixel.h"

#include <algorithm>

#include "alg/fixmath.h"

namespace kavri::epc {
namespace {

KV_ISA_CLONES(void, differences,
              (PixelBlock & blk, const uint16_t *s0, const uint16_t *s1, const uint16_t *s2,
               const uint16_t *s3, int32_t cnt),
              (blk, s0, s1, s2, s3, cnt)) {
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
    }
}

// The amplitude is the square root of a quarter of the power.
constexpr int32_t kPowerShift = 2;

}  // namespace

void compute_block(PixelBlock &blk, const uint16_t *src, size_t n, size_t first, int32_t cnt) {
    const uint16_t *s0 = src + first;
    differences(blk, s0, s0 + n, s0 + 2 * n, s0 + 3 * n, cnt);
    phase_amp_n(blk.phase, blk.amp, blk.y, blk.x, cnt, kPowerShift, kPhaseQuarter);
}

}  // namespace kavri::epc
