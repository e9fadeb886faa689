// Per-pixel confidence from the amplitude and the headroom of the samples.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "drv/calc_pixel.h"
#include "drv/epc_decode_steps.h"

namespace kavri::epc {
namespace {

constexpr int32_t kConfidenceMax = 255;
// Samples above this have begun to lose headroom (the sensor's high band);
// the confidence falls linearly to 0 at saturation.
constexpr int32_t kHeadroomStart = 3584;
constexpr int32_t kHeadroomSpan = kSampleSaturated - kHeadroomStart;  // 511
constexpr size_t kSubFrames = 4;

}  // namespace

KV_ISA_CLONES(void, confidence_pass,
              (uint16_t * conf, const uint16_t *amp, const uint16_t *src, size_t n),
              (conf, amp, src, n)) {
    const uint16_t *s0 = src;
    const uint16_t *s1 = src + n;
    const uint16_t *s2 = src + 2 * n;
    const uint16_t *s3 = src + 3 * n;
    static_assert(kSubFrames == 4);
    for (size_t i = 0; i < n; ++i) {
        const int32_t d0 = s0[i] & kSampleMask;
        const int32_t d1 = s1[i] & kSampleMask;
        const int32_t d2 = s2[i] & kSampleMask;
        const int32_t d3 = s3[i] & kSampleMask;
        const int32_t hi = std::max(std::max(d0, d1), std::max(d2, d3));
        const int32_t lo = std::min(std::min(d0, d1), std::min(d2, d3));
        const int32_t a = std::min<int32_t>(amp[i], kConfidenceMax);
        const int32_t room = std::min(kHeadroomSpan, kSampleSaturated - hi);
        const int32_t c = a * room / kHeadroomSpan;
        conf[i] = static_cast<uint16_t>(hi == kSampleSaturated || lo == 0 ? 0 : c);
    }
}

}  // namespace kavri::epc
