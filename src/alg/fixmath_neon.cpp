// The Advanced SIMD (NEON) path of the array forms, four lanes a step, the
// same operations as the scalar forms so the same bits: the turns as selects,
// the table index by a division with a remainder correction, the table entry
// from the quartics of fixmath_lanes.h (arm64 has no gather; a two-register
// table look-up picks each coefficient), and the square root's estimate and
// Newton steps in the scalar form's order, none fused.
#if defined(__aarch64__)
#include <arm_neon.h>

#include <algorithm>
#include <cstdint>

#include "alg/fixmath.h"
#include "alg/fixmath_lanes.h"

namespace kavri::lanes {
namespace {

constexpr int32_t kLanes = 4;
constexpr uint32_t kBytesPerLane = 4;
// Byte k of a 32-bit lane at row offset 4 * interval + k: the look-up index
// of a whole lane is interval * 0x04040404 + 0x03020100.
constexpr uint32_t kLaneBytes = 0x03020100u;
constexpr uint32_t kLaneStride = 0x04040404u;
static_assert(kBytesPerLane * kIntervals8 == 32, "a row is two registers");

// The coefficient rows as two-register byte tables.
struct Rows {
    uint8x16x2_t row[kQuarticTerms];
};

inline Rows load_rows() {
    Rows r;
    for (int k = 0; k < kQuarticTerms; ++k)
        r.row[k] = vld1q_u8_x2(reinterpret_cast<const uint8_t *>(kEntryQuartic8[k]));
    return r;
}

// g_atan2_LUT[q] for q in 0..4095 and 4096 for 4096; the look-ups read the
// low three bits of the interval number, so any other q reads no memory.
inline int32x4_t table_entry(const Rows &rows, int32x4_t q) {
    const uint32x4_t interval =
        vandq_u32(vshrq_n_u32(vreinterpretq_u32_s32(q), kIntervalShift8), vdupq_n_u32(7));
    const uint8x16_t index = vreinterpretq_u8_u32(
        vmlaq_u32(vdupq_n_u32(kLaneBytes), interval, vdupq_n_u32(kLaneStride)));
    const float32x4_t x = vcvtq_f32_s32(vandq_s32(q, vdupq_n_s32(kOffsetInInterval8)));
    auto coefficient = [&](int k) { return vreinterpretq_f32_u8(vqtbl2q_u8(rows.row[k], index)); };
    float32x4_t p = coefficient(kQuarticTerms - 1);
    for (int k = kQuarticTerms - 2; k >= 0; --k) p = vfmaq_f32(coefficient(k), p, x);
    return vaddq_s32(q, vcvtq_s32_f32(p));
}

// (atan2_phase(a, b) + offset) & kAngleMask on four lanes; inputs below
// 2^19 in magnitude.
inline int32x4_t atan2_lanes(const Rows &rows, int32x4_t a, int32x4_t b, int32x4_t offset) {
    // Half-turn: a < 0 turns (a, b) into (-a, -b).
    const uint32x4_t neg = vcltzq_s32(a);
    const int32x4_t a1 = vbslq_s32(neg, vnegq_s32(a), a);
    const int32x4_t b1 = vbslq_s32(neg, vnegq_s32(b), b);
    // Quarter-turn: b <= 0 turns (a, b) into (-b, a).
    const uint32x4_t quarter = vclezq_s32(b1);
    const int32x4_t a2 = vbslq_s32(quarter, vnegq_s32(b1), a1);
    const int32x4_t b2 = vbslq_s32(quarter, a1, b1);
    // Eighth-turn: a >= b turns (a, b) into (a - b, a + b).
    const uint32x4_t eighth = vcgeq_s32(a2, b2);
    const int32x4_t a3 = vbslq_s32(eighth, vsubq_s32(a2, b2), a2);
    const int32x4_t b3 = vbslq_s32(eighth, vaddq_s32(a2, b2), b2);
    int32x4_t base =
        vaddq_s32(offset, vandq_s32(vreinterpretq_s32_u32(neg), vdupq_n_s32(kAngleHalf)));
    base = vaddq_s32(base, vandq_s32(vreinterpretq_s32_u32(quarter), vdupq_n_s32(kAngleQuarter)));
    base = vaddq_s32(base, vandq_s32(vreinterpretq_s32_u32(eighth), vdupq_n_s32(kAngleEighth)));
    // index = (a * 4096) / b: numerator and denominator are exact in single
    // precision, so the quotient rounded to nearest truncates (the conversion
    // rounds toward zero) to the integer quotient k or k + 1; a negative
    // remainder corrects the latter.
    const int32x4_t num = vshlq_n_s32(a3, kIndexShift);
    int32x4_t q = vcvtq_s32_f32(vdivq_f32(vcvtq_f32_s32(num), vcvtq_f32_s32(b3)));
    const int32x4_t rem = vsubq_s32(num, vmulq_s32(q, b3));
    q = vaddq_s32(q, vreinterpretq_s32_u32(vcltzq_s32(rem)));  // rem < 0: -1
    // The quotient 4096 (the axis a == 0, b < 0) gives the last entry; the
    // origin's 0 / 0 (converted to 0) is answered with the offset alone.
    const uint32x4_t origin = vceqzq_s32(vorrq_s32(a, b));
    const int32x4_t angle = vbslq_s32(origin, offset, vaddq_s32(base, table_entry(rows, q)));
    return vandq_s32(angle, vdupq_n_s32(kAngleMask));
}

// fast_sqrtf on four lanes, the same operations in the same order.
inline float32x4_t sqrt_lanes(float32x4_t x) {
    const float32x4_t half = vdupq_n_f32(0.5f);
    const float32x4_t hx = vmulq_f32(half, x);
    float32x4_t y = vreinterpretq_f32_u32(
        vaddq_u32(vshrq_n_u32(vreinterpretq_u32_f32(x), 1), vdupq_n_u32(kSqrtMagic)));
    y = vaddq_f32(vmulq_f32(half, y), vdivq_f32(hx, y));
    y = vaddq_f32(vmulq_f32(half, y), vdivq_f32(hx, y));
    return y;
}

// The magnitudes of every lane ORed into seen; the magnitude of INT32_MIN
// keeps its top bit.
inline uint32x4_t or_magnitudes(uint32x4_t seen, int32x4_t a, int32x4_t b) {
    return vorrq_u32(seen, vreinterpretq_u32_s32(vorrq_s32(vabsq_s32(a), vabsq_s32(b))));
}

inline bool below(uint32x4_t seen, int32_t bits) {
    return (vmaxvq_u32(seen) >> bits) == 0;
}

}  // namespace

void atan2_neon(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n) {
    const Rows rows = load_rows();
    const int32x4_t zero = vdupq_n_s32(0);
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        uint32x4_t seen = vdupq_n_u32(0);
        int32_t i = start;
        for (; i + kLanes <= end; i += kLanes) {
            const int32x4_t va = vld1q_s32(a + i);
            const int32x4_t vb = vld1q_s32(b + i);
            seen = or_magnitudes(seen, va, vb);
            vst1q_s32(phase + i, atan2_lanes(rows, va, vb, zero));
        }
        if (!below(seen, kInputBits)) i = start;
        atan2_scalar(phase, a, b, i, end);
    }
}

void sqrt_neon(float *dst, const float *src, int32_t n) {
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) vst1q_f32(dst + i, sqrt_lanes(vld1q_f32(src + i)));
    for (; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

void phase_amp_neon(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                    int32_t shift, int32_t offset) {
    const Rows rows = load_rows();
    const int32x4_t turn = vdupq_n_s32(offset);
    const int32x4_t right = vdupq_n_s32(-shift);  // a negative shift count shifts right
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        uint32x4_t seen = vdupq_n_u32(0);
        int32_t i = start;
        for (; i + kLanes <= end; i += kLanes) {
            const int32x4_t va = vld1q_s32(a + i);
            const int32x4_t vb = vld1q_s32(b + i);
            seen = or_magnitudes(seen, va, vb);
            vst1q_s32(phase + i, atan2_lanes(rows, va, vb, turn));
            // Below 2^15 the power fits 31 bits: shifted as unsigned it is
            // the 64-bit power shifted.
            const uint32x4_t power =
                vshlq_u32(vreinterpretq_u32_s32(vmlaq_s32(vmulq_s32(va, va), vb, vb)), right);
            vst1q_f32(amp + i, sqrt_lanes(vcvtq_f32_u32(power)));
        }
        if (!below(seen, kPowerInputBits)) i = start;
        phase_amp_scalar(phase, amp, a, b, i, end, shift, offset);
    }
}

}  // namespace kavri::lanes
#endif  // __aarch64__
