// Array forms of the table atan2 and the fast square root, and the choice of
// path. The AVX2 path handles eight pixels per step, the AVX-512 path sixteen,
// the NEON path (fixmath_neon.cpp) four; blocks with inputs beyond the range
// of the 32-bit lanes fall back to the scalar form, so results never differ.
#include <algorithm>
#include <cstdint>

#include "alg/fixmath.h"
#include "alg/fixmath_lanes.h"
#include "core/isa.h"

#if defined(__x86_64__)
// GCC 12 warns about the deliberately undefined vectors inside its AVX-512
// intrinsics (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>
#endif

namespace kavri {
namespace {

using lanes::atan2_scalar;
using lanes::kCheckBlock;
using lanes::kInputBits;
using lanes::kPowerInputBits;
using lanes::phase_amp_scalar;

#if defined(__x86_64__)

// The per-register helpers are always inlined into their loops (a call per
// register costs as much as the arithmetic).
#define KV_LANES(isa) inline __attribute__((target(isa), always_inline))
// The AVX2 path fuses the table polynomial's multiply-adds (a fused step gives
// the same entries, fixmath_lanes.h); it is taken only where FMA is present,
// which every AVX2 processor made so far has.
#define KV_AVX2 "avx2,fma"

constexpr int32_t kLanes = 8;
constexpr int kOrOfThree = 0xFE;  // ternary-logic table of a | b | c
// Phasors below 2^12 in magnitude (every phasor of 12-bit samples) take a
// shorter AVX2 loop, see atan2_small.
constexpr int32_t kSmallInputBits = 12;

KV_LANES(KV_AVX2) __m256i or_magnitudes(__m256i seen, __m256i a, __m256i b) {
    return _mm256_or_si256(seen, _mm256_or_si256(_mm256_abs_epi32(a), _mm256_abs_epi32(b)));
}

KV_LANES(KV_AVX2) bool below(__m256i seen, int32_t bits) {
    const __m256i high = _mm256_srli_epi32(seen, bits);
    return _mm256_testz_si256(high, high) != 0;
}

// Lanes of `negative` where the top bit of `sign` is set, else of `other`:
// the blend reads only the top bit, so a sign needs no compare first.
KV_LANES(KV_AVX2) __m256i pick_negative(__m256i other, __m256i negative, __m256i sign) {
    return _mm256_castps_si256(_mm256_blendv_ps(
        _mm256_castsi256_ps(other), _mm256_castsi256_ps(negative), _mm256_castsi256_ps(sign)));
}

// g_atan2_LUT[q] for q in 0..4095 and 4096 for 4096, from the quartics of
// eight intervals (fixmath_lanes.h): a gather of eight entries costs more than
// the whole polynomial. The permutes read the low three bits of the interval
// number, so any other q reads no memory and gives garbage.
KV_LANES(KV_AVX2) __m256i table_entry(__m256i q) {
    const __m256i interval = _mm256_srli_epi32(q, lanes::kIntervalShift8);
    const __m256 x =
        _mm256_cvtepi32_ps(_mm256_and_si256(q, _mm256_set1_epi32(lanes::kOffsetInInterval8)));
    constexpr auto &c = lanes::kEntryQuartic8;
    __m256 p = _mm256_permutevar8x32_ps(_mm256_loadu_ps(c[lanes::kQuarticTerms - 1]), interval);
    for (int k = lanes::kQuarticTerms - 2; k >= 0; --k)
        p = _mm256_fmadd_ps(p, x, _mm256_permutevar8x32_ps(_mm256_loadu_ps(c[k]), interval));
    return _mm256_add_epi32(q, _mm256_cvttps_epi32(p));
}

// (atan2_phase(a, b) + offset) & kAngleMask on eight lanes, offset given in
// every lane; any input below 2^19 in magnitude.
KV_LANES(KV_AVX2) __m256i atan2_lanes(__m256i a, __m256i b, __m256i offset) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    // Half-turn: a < 0 turns (a, b) into (-a, -b).
    const __m256i neg = _mm256_cmpgt_epi32(zero, a);
    __m256i a1 = _mm256_blendv_epi8(a, _mm256_sub_epi32(zero, a), neg);
    __m256i b1 = _mm256_blendv_epi8(b, _mm256_sub_epi32(zero, b), neg);
    __m256i base = _mm256_add_epi32(offset, _mm256_and_si256(neg, _mm256_set1_epi32(kAngleHalf)));
    // Quarter-turn: b <= 0 turns (a, b) into (-b, a).
    const __m256i quarter = _mm256_cmpgt_epi32(one, b1);
    const __m256i a2 = _mm256_blendv_epi8(a1, _mm256_sub_epi32(zero, b1), quarter);
    const __m256i b2 = _mm256_blendv_epi8(b1, a1, quarter);
    base = _mm256_add_epi32(base, _mm256_and_si256(quarter, _mm256_set1_epi32(kAngleQuarter)));
    // Eighth-turn: a >= b turns (a, b) into (a - b, a + b).
    const __m256i eighth = _mm256_xor_si256(_mm256_cmpgt_epi32(b2, a2), _mm256_set1_epi32(-1));
    const __m256i a3 = _mm256_blendv_epi8(a2, _mm256_sub_epi32(a2, b2), eighth);
    const __m256i b3 = _mm256_blendv_epi8(b2, _mm256_add_epi32(a2, b2), eighth);
    base = _mm256_add_epi32(base, _mm256_and_si256(eighth, _mm256_set1_epi32(kAngleEighth)));
    // index = (a * 4096) / b. Numerator and denominator are exact in single
    // precision and the integer quotient k is representable, so the quotient
    // rounded to nearest is at least k and truncates to k or, rounded up
    // across the next integer, to k + 1; a negative remainder corrects that.
    const __m256i num = _mm256_slli_epi32(a3, lanes::kIndexShift);
    __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(b3)));
    const __m256i rem = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, b3));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero, rem));  // rem < 0
    // Every quotient is below 4096 but two. On the axis a == 0 with b < 0 the
    // turns leave (-b, -b), the quotient 4096, whose entry is the last one (an
    // eighth), which completes the half turn. With a == b == 0 the quotient
    // is 0 / 0 (garbage, harmless: no memory is read with it) and the lane is
    // answered with the offset alone.
    const __m256i origin = _mm256_cmpeq_epi32(_mm256_or_si256(a, b), zero);
    const __m256i angle =
        _mm256_blendv_epi8(_mm256_add_epi32(base, table_entry(q)), offset, origin);
    return _mm256_and_si256(angle, _mm256_set1_epi32(kAngleMask));
}

// The same for inputs below 2^12 in magnitude, given with their magnitudes,
// in fewer steps:
// - The turns test strictly (b < 0 after the half turn, a > b), which
//   changes no result: on the boundaries both ways end at the same angle
//   (with b == 0 the quarter turn gives the quotient 0, no quarter turn the
//   quotient 4096 and an eighth more; with a == b the eighth turn gives 0,
//   no eighth turn 4096). After the half turn b < 0 exactly where a and b
//   differ in sign (or a == 0 < -b), so the quarter turn swaps the
//   magnitudes where the sign of a ^ b is set.
// - The origin then takes no turn at all: base 0 and the quotient 0 / 0,
//   whose conversion gives INT32_MIN, whose polynomial (interval 0, x = 0)
//   adds nothing and whose low 15 bits are zero, so the lane is the offset
//   alone without a select.
// - The denominator a + b stays below 8192, so a quotient k + f with f > 0
//   is at least 1 / 8192 below k + 1, more than half a unit in the last
//   place below 4096 (2^-13): rounded to nearest it stays below k + 1, and
//   truncation gives k without a remainder correction.
KV_LANES(KV_AVX2)
__m256i atan2_small(__m256i a, __m256i b, __m256i abs_a, __m256i abs_b, __m256i offset,
                    __m256i offset_half) {
    const __m256i quarter = _mm256_xor_si256(a, b);
    const __m256i a2 = pick_negative(abs_a, abs_b, quarter);
    const __m256i b2 = pick_negative(abs_b, abs_a, quarter);
    const __m256i eighth = _mm256_sub_epi32(b2, a2);  // negative where a > b
    const __m256i a3 = pick_negative(a2, _mm256_sub_epi32(a2, b2), eighth);
    const __m256i b3 = pick_negative(b2, _mm256_add_epi32(a2, b2), eighth);
    const __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(
        _mm256_cvtepi32_ps(_mm256_slli_epi32(a3, lanes::kIndexShift)), _mm256_cvtepi32_ps(b3)));
    __m256i base = pick_negative(offset, offset_half, a);
    base = pick_negative(base, _mm256_add_epi32(base, _mm256_set1_epi32(kAngleQuarter)), quarter);
    base = pick_negative(base, _mm256_add_epi32(base, _mm256_set1_epi32(kAngleEighth)), eighth);
    return _mm256_and_si256(_mm256_add_epi32(base, table_entry(q)), _mm256_set1_epi32(kAngleMask));
}

// Phases alone, blocks as phase_amp_avx2 below takes them.
__attribute__((target(KV_AVX2))) void atan2_avx2(int32_t *phase, const int32_t *a, const int32_t *b,
                                                 int32_t n) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi32(kAngleHalf);
    bool small = true;
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m256i seen = _mm256_setzero_si256();
        int32_t i = start;
        if (small) {
            for (; i + kLanes <= end; i += kLanes) {
                const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
                const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
                const __m256i abs_a = _mm256_abs_epi32(va);
                const __m256i abs_b = _mm256_abs_epi32(vb);
                seen = _mm256_or_si256(seen, _mm256_or_si256(abs_a, abs_b));
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i),
                                    atan2_small(va, vb, abs_a, abs_b, zero, half));
            }
            small = below(seen, kSmallInputBits);
        }
        if (!small) {
            seen = _mm256_setzero_si256();
            for (i = start; i + kLanes <= end; i += kLanes) {
                const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
                const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
                seen = or_magnitudes(seen, va, vb);
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i),
                                    atan2_lanes(va, vb, zero));
            }
            small = below(seen, kSmallInputBits);
            if (!below(seen, kInputBits)) i = start;
        }
        atan2_scalar(phase, a, b, i, end);
    }
}

// fast_sqrtf on eight lanes, the same operations in the same order (none
// fused).
KV_LANES(KV_AVX2) __m256 sqrt_lanes(__m256 x) {
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 hx = _mm256_mul_ps(half, x);
    __m256 y =
        _mm256_castsi256_ps(_mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(x), 1),
                                             _mm256_set1_epi32(static_cast<int32_t>(kSqrtMagic))));
    y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
    y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
    return y;
}

__attribute__((target(KV_AVX2))) void sqrt_avx2(float *dst, const float *src, int32_t n) {
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        _mm256_storeu_ps(dst + i, sqrt_lanes(_mm256_loadu_ps(src + i)));
    for (; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

// The amplitude lanes: the power shifted by `count`, then the square root.
KV_LANES(KV_AVX2) __m256 amp_lanes(__m256i a, __m256i b, __m128i count) {
    const __m256i power = _mm256_srl_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(a, a), _mm256_mullo_epi32(b, b)), count);
    return sqrt_lanes(_mm256_cvtepi32_ps(power));
}

// The whole vectors of [start, end) with atan2_small; returns where they
// end and ORs every magnitude into `seen`.
KV_LANES(KV_AVX2)
int32_t phase_amp_small_block(int32_t *phase, float *amp, const int32_t *a, const int32_t *b,
                              int32_t start, int32_t end, __m128i count, int32_t offset,
                              __m256i &seen) {
    const __m256i turn = _mm256_set1_epi32(offset);
    const __m256i turn_half = _mm256_set1_epi32(offset + kAngleHalf);
    int32_t i = start;
    for (; i + kLanes <= end; i += kLanes) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
        const __m256i abs_a = _mm256_abs_epi32(va);
        const __m256i abs_b = _mm256_abs_epi32(vb);
        seen = _mm256_or_si256(seen, _mm256_or_si256(abs_a, abs_b));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i),
                            atan2_small(va, vb, abs_a, abs_b, turn, turn_half));
        _mm256_storeu_ps(amp + i, amp_lanes(va, vb, count));
    }
    return i;
}

// The same with atan2_lanes, for any input below 2^15.
KV_LANES(KV_AVX2)
int32_t phase_amp_block(int32_t *phase, float *amp, const int32_t *a, const int32_t *b,
                        int32_t start, int32_t end, __m128i count, int32_t offset, __m256i &seen) {
    const __m256i turn = _mm256_set1_epi32(offset);
    int32_t i = start;
    for (; i + kLanes <= end; i += kLanes) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
        seen = or_magnitudes(seen, va, vb);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i), atan2_lanes(va, vb, turn));
        _mm256_storeu_ps(amp + i, amp_lanes(va, vb, count));
    }
    return i;
}

// Phase and amplitude in one pass. Each block runs the loop for small inputs
// while they stay small (the last block predicts the next); a block found to
// hold larger ones is done again with the general loop, and one beyond the
// 32-bit power with the scalar form.
__attribute__((target(KV_AVX2))) void phase_amp_avx2(int32_t *phase, float *amp, const int32_t *a,
                                                     const int32_t *b, int32_t n, int32_t shift,
                                                     int32_t offset) {
    const __m128i count = _mm_cvtsi32_si128(shift);
    bool small = true;
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m256i seen = _mm256_setzero_si256();
        int32_t i = 0;
        if (small) {
            i = phase_amp_small_block(phase, amp, a, b, start, end, count, offset, seen);
            small = below(seen, kSmallInputBits);
        }
        if (!small) {
            seen = _mm256_setzero_si256();
            i = phase_amp_block(phase, amp, a, b, start, end, count, offset, seen);
            small = below(seen, kSmallInputBits);
            if (!below(seen, kPowerInputBits)) i = start;
        }
        phase_amp_scalar(phase, amp, a, b, i, end, shift, offset);
    }
}

// The AVX-512 form: sixteen lanes, mask registers in place of blends, and a
// division rounded toward zero. Numerator (a * 4096) and denominator are
// exact in single precision here (below 2^24 in magnitude after the 2^19
// range check), so the truncated quotient rounded toward zero is the integer
// quotient itself: no remainder correction is needed.
constexpr int32_t kWideLanes = 16;

// The table entry from the cubics of sixteen intervals with fused
// multiply-adds; one permute picks a coefficient from a whole row.
KV_LANES("avx512f") __m512i table_entry(__m512i q) {
    const __m512i interval = _mm512_srli_epi32(q, lanes::kIntervalShift16);
    const __m512 x = _mm512_cvtepi32_ps(
        _mm512_and_si512(q, _mm512_set1_epi32((1 << lanes::kIntervalShift16) - 1)));
    constexpr auto &c = lanes::kEntryCubic16;
    __m512 p = _mm512_permutexvar_ps(interval, _mm512_loadu_ps(c[3]));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(c[2])));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(c[1])));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(c[0])));
    return _mm512_add_epi32(q, _mm512_cvttps_epi32(p));
}

// (atan2_phase(a, b) + offset) & kAngleMask on sixteen lanes, offset given
// in every lane.
KV_LANES("avx512f") __m512i atan2_lanes(__m512i a, __m512i b, __m512i offset) {
    const __m512i zero = _mm512_setzero_si512();
    // Half-turn: a < 0 turns (a, b) into (-a, -b).
    const __mmask16 neg = _mm512_cmplt_epi32_mask(a, zero);
    const __m512i a1 = _mm512_mask_sub_epi32(a, neg, zero, a);
    const __m512i b1 = _mm512_mask_sub_epi32(b, neg, zero, b);
    // Quarter-turn: b <= 0 turns (a, b) into (-b, a).
    const __mmask16 quarter = _mm512_cmple_epi32_mask(b1, zero);
    const __m512i a2 = _mm512_mask_sub_epi32(a1, quarter, zero, b1);
    const __m512i b2 = _mm512_mask_mov_epi32(b1, quarter, a1);
    // Eighth-turn: a >= b turns (a, b) into (a - b, a + b).
    const __mmask16 eighth = _mm512_cmpge_epi32_mask(a2, b2);
    const __m512i a3 = _mm512_mask_sub_epi32(a2, eighth, a2, b2);
    const __m512i b3 = _mm512_mask_add_epi32(b2, eighth, a2, b2);
    __m512i base = _mm512_mask_add_epi32(offset, neg, offset, _mm512_set1_epi32(kAngleHalf));
    base = _mm512_mask_add_epi32(base, quarter, base, _mm512_set1_epi32(kAngleQuarter));
    base = _mm512_mask_add_epi32(base, eighth, base, _mm512_set1_epi32(kAngleEighth));
    const __m512 num = _mm512_cvtepi32_ps(_mm512_slli_epi32(a3, lanes::kIndexShift));
    const __m512 den = _mm512_cvtepi32_ps(b3);
    const __m512 quot = _mm512_div_round_ps(num, den, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    // Every quotient is below 4096 but two. On the axis a == 0 with b < 0 the
    // turns leave (-b, -b), the quotient 4096, whose entry is the last one (an
    // eighth) that completes the half turn. With a == b == 0 the quotient is
    // 0 / 0, NaN (no exception is raised), the only NaN lanes: they are
    // answered with the offset alone.
    const __m512i q = _mm512_cvttps_epi32(quot);
    const __mmask16 origin = _mm512_cmp_ps_mask(quot, quot, _CMP_UNORD_Q);
    const __m512i angle =
        _mm512_mask_mov_epi32(_mm512_add_epi32(base, table_entry(q)), origin, offset);
    return _mm512_and_si512(angle, _mm512_set1_epi32(kAngleMask));
}

KV_LANES("avx512f") __m512i or_magnitudes(__m512i seen, __m512i a, __m512i b) {
    return _mm512_ternarylogic_epi32(seen, _mm512_abs_epi32(a), _mm512_abs_epi32(b), kOrOfThree);
}

KV_LANES("avx512f") bool below(__m512i seen, uint32_t bits) {
    const __m512i high = _mm512_srli_epi32(seen, bits);
    return _mm512_test_epi32_mask(high, high) == 0;
}

__attribute__((target("avx512f"))) void atan2_avx512(int32_t *phase, const int32_t *a,
                                                     const int32_t *b, int32_t n) {
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m512i seen = _mm512_setzero_si512();
        int32_t i = start;
        for (; i + kWideLanes <= end; i += kWideLanes) {
            const __m512i va = _mm512_loadu_si512(a + i);
            const __m512i vb = _mm512_loadu_si512(b + i);
            seen = or_magnitudes(seen, va, vb);
            _mm512_storeu_si512(phase + i, atan2_lanes(va, vb, _mm512_setzero_si512()));
        }
        if (!below(seen, kInputBits)) i = start;
        atan2_scalar(phase, a, b, i, end);
    }
}

KV_LANES("avx512f") __m512 sqrt_lanes(__m512 x) {
    const __m512 half = _mm512_set1_ps(0.5f);
    const __m512 hx = _mm512_mul_ps(half, x);
    __m512 y =
        _mm512_castsi512_ps(_mm512_add_epi32(_mm512_srli_epi32(_mm512_castps_si512(x), 1),
                                             _mm512_set1_epi32(static_cast<int32_t>(kSqrtMagic))));
    y = _mm512_add_ps(_mm512_mul_ps(half, y), _mm512_div_ps(hx, y));
    y = _mm512_add_ps(_mm512_mul_ps(half, y), _mm512_div_ps(hx, y));
    return y;
}

__attribute__((target("avx512f"))) void sqrt_avx512(float *dst, const float *src, int32_t n) {
    int32_t i = 0;
    for (; i + kWideLanes <= n; i += kWideLanes)
        _mm512_storeu_ps(dst + i, sqrt_lanes(_mm512_loadu_ps(src + i)));
    for (; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

__attribute__((target("avx512f"))) void phase_amp_avx512(int32_t *phase, float *amp,
                                                         const int32_t *a, const int32_t *b,
                                                         int32_t n, int32_t shift, int32_t offset) {
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m512i turn = _mm512_set1_epi32(offset);
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m512i seen = _mm512_setzero_si512();
        int32_t i = start;
        for (; i + kWideLanes <= end; i += kWideLanes) {
            const __m512i va = _mm512_loadu_si512(a + i);
            const __m512i vb = _mm512_loadu_si512(b + i);
            seen = or_magnitudes(seen, va, vb);
            const __m512i power = _mm512_srl_epi32(
                _mm512_add_epi32(_mm512_mullo_epi32(va, va), _mm512_mullo_epi32(vb, vb)), count);
            _mm512_storeu_si512(phase + i, atan2_lanes(va, vb, turn));
            _mm512_storeu_ps(amp + i, sqrt_lanes(_mm512_cvtepi32_ps(power)));
        }
        if (!below(seen, kPowerInputBits)) i = start;
        phase_amp_scalar(phase, amp, a, b, i, end, shift, offset);
    }
}

#endif  // __x86_64__

// The path of the instruction set the library picked (core/isa.h).
SimdPath picked_path() {
    const isa::Level level = isa::active();
#if defined(__x86_64__)
    if (level == isa::Level::kAvx512) return SimdPath::kAvx512;
    // The AVX2 path fuses multiply-adds (see KV_AVX2).
    if (level == isa::Level::kAvx2 && __builtin_cpu_supports("fma")) return SimdPath::kAvx2;
#elif defined(__aarch64__)
    if (level == isa::Level::kNeon) return SimdPath::kNeon;
#endif
    return SimdPath::kScalar;
}

// A path the picked instruction set does not allow (a wider one, or one of
// another processor family) gives way to the picked one.
SimdPath usable(SimdPath wanted) {
    const SimdPath best = best_simd_path();
    switch (wanted) {
        case SimdPath::kScalar:
            return wanted;
        case SimdPath::kAvx2:
            return best == SimdPath::kAvx2 || best == SimdPath::kAvx512 ? wanted : best;
        case SimdPath::kAvx512:
        case SimdPath::kNeon:
            return wanted == best ? wanted : best;
    }
    return best;
}

}  // namespace

SimdPath best_simd_path() {
    static const SimdPath path = picked_path();
    return path;
}

void atan2_phase_n(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n) {
    atan2_phase_n(phase, a, b, n, best_simd_path());
}

void fast_sqrtf_n(float *dst, const float *src, int32_t n) {
    fast_sqrtf_n(dst, src, n, best_simd_path());
}

void atan2_phase_n(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n, SimdPath path) {
    if (phase == nullptr || a == nullptr || b == nullptr || n <= 0) return;
    switch (usable(path)) {
#if defined(__x86_64__)
        case SimdPath::kAvx512:
            atan2_avx512(phase, a, b, n);
            return;
        case SimdPath::kAvx2:
            atan2_avx2(phase, a, b, n);
            return;
#endif
#if defined(__aarch64__)
        case SimdPath::kNeon:
            lanes::atan2_neon(phase, a, b, n);
            return;
#endif
        default:
            break;
    }
    atan2_scalar(phase, a, b, 0, n);
}

void fast_sqrtf_n(float *dst, const float *src, int32_t n, SimdPath path) {
    if (dst == nullptr || src == nullptr || n <= 0) return;
    switch (usable(path)) {
#if defined(__x86_64__)
        case SimdPath::kAvx512:
            sqrt_avx512(dst, src, n);
            return;
        case SimdPath::kAvx2:
            sqrt_avx2(dst, src, n);
            return;
#endif
#if defined(__aarch64__)
        case SimdPath::kNeon:
            lanes::sqrt_neon(dst, src, n);
            return;
#endif
        default:
            break;
    }
    for (int32_t i = 0; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

void phase_amp_n(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                 int32_t shift, int32_t offset) {
    phase_amp_n(phase, amp, a, b, n, shift, offset, best_simd_path());
}

void phase_amp_n(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                 int32_t shift, int32_t offset, SimdPath path) {
    if (phase == nullptr || amp == nullptr || a == nullptr || b == nullptr || n <= 0 || shift < 0 ||
        shift > lanes::kMaxPowerShift)
        return;
    switch (usable(path)) {
#if defined(__x86_64__)
        case SimdPath::kAvx512:
            phase_amp_avx512(phase, amp, a, b, n, shift, offset);
            return;
        case SimdPath::kAvx2:
            phase_amp_avx2(phase, amp, a, b, n, shift, offset);
            return;
#endif
#if defined(__aarch64__)
        case SimdPath::kNeon:
            lanes::phase_amp_neon(phase, amp, a, b, n, shift, offset);
            return;
#endif
        default:
            break;
    }
    phase_amp_scalar(phase, amp, a, b, 0, n, shift, offset);
}

}  // namespace kavri
