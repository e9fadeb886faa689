// Inline forms of the fixed-point atan2 and the fast square roots, for loops
// over whole images inside the library; the exported kv_math_* call these.
#pragma once

#include <bit>
#include <cstdint>

namespace kavri {

constexpr int32_t kAtan2LutSize = 4096;
constexpr int32_t kAngleEighth = 4096;
constexpr int32_t kAngleQuarter = 8192;
constexpr int32_t kAngleHalf = 16384;
constexpr int32_t kAngleThreeQuarters = 24576;
constexpr int32_t kAngleMask = 0x7FFF;  // 32768 units per full turn

// Entry i = round(atan2(i, 4095) * 32768 / (2 pi)), halves away from zero.
extern const uint16_t g_atan2_LUT[kAtan2LutSize];

// atan2(a, b) in 1/32768 turns. The arithmetic is 64-bit, so every int32 input is
// defined; for |a|, |b| < 2^19 the result equals the 32-bit table algorithm. The
// quadrant and octant steps are selects rather than branches: with real phases
// they are unpredictable.
inline int32_t atan2_phase(int32_t a_in, int32_t b_in) {
    const int64_t a = a_in;
    const int64_t b = b_in;
    // All-ones masks select without branches (the compiler keeps ternaries as jumps).
    auto mask = [](bool c) { return -static_cast<int64_t>(c); };
    auto pick = [](int64_t m, int64_t yes, int64_t no) { return (yes & m) | (no & ~m); };
    // Half-turn: a < 0 turns (a, b) into (-a, -b).
    const int64_t neg = mask(a < 0);
    const int64_t a1 = (a ^ neg) - neg;
    const int64_t b1 = (b ^ neg) - neg;
    // Quarter-turn: b <= 0 turns (a, b) into (-b, a).
    const int64_t quarter = mask(b1 <= 0);
    const int64_t a2 = pick(quarter, -b1, a1);
    const int64_t b2 = pick(quarter, a1, b1);
    // Eighth-turn: a >= b turns (a, b) into (a - b, a + b), so that a < b.
    const int64_t eighth = mask(a2 >= b2);
    int64_t a3 = pick(eighth, a2 - b2, a2);
    int64_t b3 = pick(eighth, a2 + b2, b2);
    const auto base = static_cast<int32_t>((neg & kAngleHalf) + (quarter & kAngleQuarter) +
                                           (eighth & kAngleEighth));
    // a == 0 is answered directly; its lanes get the harmless quotient 0 / 1.
    const int64_t on_axis = mask(a == 0);
    a3 = pick(on_axis, 0, a3);
    b3 = pick(on_axis, 1, b3);
    // The quotient of integers below 2^44 and 2^33 truncated from a double is the
    // exact integer quotient (the fraction, if any, is at least 2^-33, far above
    // the rounding error), and the division is cheaper than a 64-bit idiv.
    const auto index =
        static_cast<int32_t>(static_cast<double>(a3 * kAtan2LutSize) / static_cast<double>(b3));
    // Near a full turn the table's last entry (an eighth) can carry the sum to
    // 32768, which is the angle 0.
    const int32_t angle = (base + g_atan2_LUT[index]) & kAngleMask;
    const auto axis_angle = static_cast<int32_t>(mask(b < 0) & kAngleHalf);
    return static_cast<int32_t>(pick(on_axis, axis_angle, angle));
}

// Square root: bit-trick estimate and two Newton steps in single precision
// (every operation rounds to float, so the batch form below gives the same bits).
constexpr uint32_t kSqrtMagic = 0x1FBFFB72u;
inline float fast_sqrtf(float x) {
    const float half_x = 0.5f * x;
    auto y = std::bit_cast<float>((std::bit_cast<uint32_t>(x) >> 1) + kSqrtMagic);
    y = 0.5f * y + half_x / y;
    y = 0.5f * y + half_x / y;
    return y;
}

// Inverse square root: bit-trick estimate and one Newton step.
inline float fast_inv_sqrtf(float x) {
    constexpr uint32_t kMagic = 0x5F375A86u;
    const uint32_t half_bits = static_cast<uint32_t>(std::bit_cast<int32_t>(x) >> 1);
    const auto y = static_cast<double>(std::bit_cast<float>(kMagic - half_bits));
    const auto h = static_cast<double>(static_cast<float>(0.5 * static_cast<double>(x)));
    return static_cast<float>(y * (1.5 - h * y * y));
}

// Phase and amplitude of one phasor as the depth decode wants them: the phase
// turned by `offset` (wrapped to 0..32767) and the square root of the power
// shifted right by `shift` (0..31). The power is formed in 64 bits.
struct PhaseAmp {
    int32_t phase;
    float amp;
};
inline PhaseAmp phase_amp(int32_t a, int32_t b, int32_t shift, int32_t offset) {
    const int64_t power = (int64_t{a} * a + int64_t{b} * b) >> shift;
    return {(atan2_phase(a, b) + offset) & kAngleMask, fast_sqrtf(static_cast<float>(power))};
}

// Paths the array forms can take. Without one named, they take the path of
// the instruction set the library picked (core/isa.h, capped by
// KAVRI_MAX_ISA); a path named that the pick does not allow (a wider one, or
// one of the other processor family) gives way to the picked one, so tests
// can ask for every path on any machine.
enum class SimdPath { kScalar, kAvx2, kAvx512, kNeon };
SimdPath best_simd_path();

// Whole arrays, the same results as the scalar forms on every path.
// phase[i] = atan2_phase(a[i], b[i]).
void atan2_phase_n(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n);
void atan2_phase_n(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n, SimdPath path);
// dst[i] = fast_sqrtf(src[i]); dst may be src.
void fast_sqrtf_n(float *dst, const float *src, int32_t n);
void fast_sqrtf_n(float *dst, const float *src, int32_t n, SimdPath path);
// phase[i], amp[i] = phase_amp(a[i], b[i], shift, offset), in one pass.
void phase_amp_n(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                 int32_t shift, int32_t offset);
void phase_amp_n(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                 int32_t shift, int32_t offset, SimdPath path);

}  // namespace kavri
