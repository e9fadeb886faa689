// Array forms of the table atan2 and the fast square root. The AVX2 path
// handles eight pixels per step, the AVX-512 path sixteen; chunks with inputs
// beyond the 19-bit range of the 32-bit algorithm fall back to the scalar
// form, so results never differ.
// GCC 12 warns about the deliberately undefined vectors inside its AVX-512
// intrinsics (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "alg/fixmath.h"

namespace kavri {
namespace {

// The per-register helpers are always inlined into their loops (a call per
// register costs as much as the arithmetic).
#define KV_LANES(isa) inline __attribute__((target(isa), always_inline))

constexpr int32_t kLanes = 8;
constexpr int32_t kInputBits = 19;  // below 2^19, a * 4096 stays within 32 bits
// Below 2^15, a * a + b * b stays within 31 bits, so the fused pass forms the
// power in 32-bit lanes.
constexpr int32_t kPowerInputBits = 15;
constexpr int32_t kMaxPowerShift = 31;

// The AVX2 path gathers table entries (widened to 32 bits). On processors
// with AVX-512 the gather is the slowest step, so that path computes the
// entry instead: entry(q) = q + floor(r(q) + 0.5) with
// r(q) = atan(q / 4095) * 32768 / (2 pi) - q, which stays within 0..372 where
// single precision resolves 3e-5. The index range is cut into sixteen
// intervals of 256, and on each r(q) + 0.5 is a cubic in x = q - start, a
// small exact integer; the coefficients of a lane's interval are picked by a
// register permute. Evaluated with fused multiply-adds in exactly the order
// below, every entry of the table comes out exactly (the tests compare all of
// them), at least 2.5e-4 away from the nearest rounding boundary.
const std::array<int32_t, kAtan2LutSize> kLut32 = [] {
    std::array<int32_t, kAtan2LutSize> t{};
    for (int32_t i = 0; i < kAtan2LutSize; ++i) t[i] = g_atan2_LUT[i];
    return t;
}();
constexpr int32_t kIntervalShift16 = 8;  // 4096 / 16 indices per interval
constexpr float kEntryCubic16[4][16] = {
    {4.999809802e-01f, 7.010513478e+01f, 1.371914814e+02f, 1.993551963e+02f, 2.544096106e+02f,
     3.004643377e+02f, 3.359754929e+02f, 3.597660163e+02f, 3.710193010e+02f, 3.692520528e+02f,
     3.542733913e+02f, 3.261369101e+02f, 2.850912397e+02f, 2.315331239e+02f, 1.659654971e+02f,
     8.896178397e+01f},
    {2.735526145e-01f, 2.685992744e-01f, 2.539584104e-01f, 2.302905483e-01f, 1.986159074e-01f,
     1.602097412e-01f, 1.164843501e-01f, 6.887617154e-02f, 1.875178316e-02f, -3.265977813e-02f,
     -8.430711890e-02f, -1.353322279e-01f, -1.850674495e-01f, -2.330198673e-01f, -2.788486465e-01f,
     -3.223396729e-01f},
    {-3.642719783e-08f, -1.941700260e-05f, -3.789792918e-05f, -5.468603987e-05f, -6.917075154e-05f,
     -8.096911574e-05f, -8.993195791e-05f, -9.611716040e-05f, -9.974205515e-05f, -1.011280921e-04f,
     -1.006485199e-04f, -9.868571415e-05f, -9.560074562e-05f, -9.171479898e-05f, -8.730036855e-05f,
     -8.257957681e-05f},
    {-2.514692238e-08f, -2.399281285e-08f, -2.181228931e-08f, -1.883890158e-08f, -1.536512229e-08f,
     -1.169250607e-08f, -8.089258027e-09f, -4.762918004e-09f, -1.849906662e-09f, 5.810190246e-10f,
     2.516592434e-09f, 3.983345792e-09f, 5.032292943e-09f, 5.726211338e-09f, 6.130328967e-09f,
     6.306291989e-09f},
};

// The vector loops check the input range once per block: every lane's
// magnitude is ORed into one register as the block goes, and a block that
// held an out-of-range lane is done again with the scalar form (a check and a
// branch per register cost more than the arithmetic they guard). The
// magnitude of INT32_MIN keeps its top bit, so it fails the check too.
constexpr int32_t kCheckBlock = 1024;
constexpr int kOrOfThree = 0xFE;  // ternary-logic table of a | b | c

// Elements [from, to) with the scalar form.
void phase_amp_scalar(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t from,
                      int32_t to, int32_t shift, int32_t offset) {
    for (int32_t i = from; i < to; ++i) {
        const PhaseAmp r = phase_amp(a[i], b[i], shift, offset);
        phase[i] = r.phase;
        amp[i] = r.amp;
    }
}

KV_LANES("avx2") __m256i or_magnitudes(__m256i seen, __m256i a, __m256i b) {
    return _mm256_or_si256(seen, _mm256_or_si256(_mm256_abs_epi32(a), _mm256_abs_epi32(b)));
}

KV_LANES("avx2") bool below(__m256i seen, int32_t bits) {
    const __m256i high = _mm256_srli_epi32(seen, bits);
    return _mm256_testz_si256(high, high) != 0;
}

// (atan2_phase(a, b) + offset) & kAngleMask on eight lanes, offset given in
// every lane.
KV_LANES("avx2") __m256i atan2_lanes(__m256i a, __m256i b, __m256i offset) {
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
    const __m256i num = _mm256_slli_epi32(a3, 12);
    __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(b3)));
    const __m256i rem = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, b3));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero, rem));  // rem < 0
    // Every quotient is below 4096 but two. On the axis a == 0 with b < 0 the
    // turns leave (-b, -b), the quotient 4096, clamped to the last entry (an
    // eighth), which completes the half turn. With a == b == 0 the quotient
    // is 0 / 0 (garbage, clamped into the table for the gather) and the lane
    // is answered with the offset alone.
    q = _mm256_min_epu32(q, _mm256_set1_epi32(kAtan2LutSize - 1));
    const __m256i lut = _mm256_i32gather_epi32(kLut32.data(), q, 4);
    const __m256i origin = _mm256_cmpeq_epi32(_mm256_or_si256(a, b), zero);
    const __m256i angle = _mm256_blendv_epi8(_mm256_add_epi32(base, lut), offset, origin);
    return _mm256_and_si256(angle, _mm256_set1_epi32(kAngleMask));
}

__attribute__((target("avx2"))) void atan2_avx2(int32_t *phase, const int32_t *a, const int32_t *b,
                                                int32_t n) {
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m256i seen = _mm256_setzero_si256();
        int32_t i = start;
        for (; i + kLanes <= end; i += kLanes) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
            seen = or_magnitudes(seen, va, vb);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i),
                                atan2_lanes(va, vb, _mm256_setzero_si256()));
        }
        if (!below(seen, kInputBits)) i = start;
        for (; i < end; ++i) phase[i] = atan2_phase(a[i], b[i]);
    }
}

// fast_sqrtf on eight lanes, the same operations in the same order.
KV_LANES("avx2") __m256 sqrt_lanes(__m256 x) {
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 hx = _mm256_mul_ps(half, x);
    __m256 y =
        _mm256_castsi256_ps(_mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(x), 1),
                                             _mm256_set1_epi32(static_cast<int32_t>(kSqrtMagic))));
    y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
    y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
    return y;
}

__attribute__((target("avx2"))) void sqrt_avx2(float *dst, const float *src, int32_t n) {
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        _mm256_storeu_ps(dst + i, sqrt_lanes(_mm256_loadu_ps(src + i)));
    for (; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

// Phase and amplitude in one pass; chunks beyond the 32-bit power fall back
// to the scalar form.
__attribute__((target("avx2"))) void phase_amp_avx2(int32_t *phase, float *amp, const int32_t *a,
                                                    const int32_t *b, int32_t n, int32_t shift,
                                                    int32_t offset) {
    const __m128i count = _mm_cvtsi32_si128(shift);
    const __m256i turn = _mm256_set1_epi32(offset);
    for (int32_t start = 0; start < n; start += kCheckBlock) {
        const int32_t end = std::min(n, start + kCheckBlock);
        __m256i seen = _mm256_setzero_si256();
        int32_t i = start;
        for (; i + kLanes <= end; i += kLanes) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
            seen = or_magnitudes(seen, va, vb);
            const __m256i ph = atan2_lanes(va, vb, turn);
            const __m256i power = _mm256_srl_epi32(
                _mm256_add_epi32(_mm256_mullo_epi32(va, va), _mm256_mullo_epi32(vb, vb)), count);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i), ph);
            _mm256_storeu_ps(amp + i, sqrt_lanes(_mm256_cvtepi32_ps(power)));
        }
        if (!below(seen, kPowerInputBits)) i = start;
        phase_amp_scalar(phase, amp, a, b, i, end, shift, offset);
    }
}

// The AVX-512 form: sixteen lanes, mask registers in place of blends, and a
// division rounded toward zero. Numerator (a * 4096) and denominator are
// exact in single precision here (below 2^24 in magnitude after the 2^19
// range check), so the truncated quotient rounded toward zero is the integer
// quotient itself: no remainder correction is needed.
constexpr int32_t kWideLanes = 16;

KV_LANES("avx512f") __m512i table_entry(__m512i q) {
    const __m512i interval = _mm512_srli_epi32(q, kIntervalShift16);
    const __m512 x =
        _mm512_cvtepi32_ps(_mm512_and_si512(q, _mm512_set1_epi32((1 << kIntervalShift16) - 1)));
    __m512 p = _mm512_permutexvar_ps(interval, _mm512_loadu_ps(kEntryCubic16[3]));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(kEntryCubic16[2])));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(kEntryCubic16[1])));
    p = _mm512_fmadd_ps(p, x, _mm512_permutexvar_ps(interval, _mm512_loadu_ps(kEntryCubic16[0])));
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
    const __m512 num = _mm512_cvtepi32_ps(_mm512_slli_epi32(a3, 12));
    const __m512 den = _mm512_cvtepi32_ps(b3);
    const __m512 quot = _mm512_div_round_ps(num, den, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    // Every quotient is below 4096 but two. On the axis a == 0 with b < 0 the
    // turns leave (-b, -b), the quotient 4096: its interval number 16 picks
    // interval 0 in the permutes (they read the low four bits) at x = 0,
    // which gives 4096 + 0, the last entry (an eighth) that completes the
    // half turn. With a == b == 0 the quotient is 0 / 0, NaN (no exception
    // is raised), the only NaN lanes: they are answered with the offset alone.
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
        for (; i < end; ++i) phase[i] = atan2_phase(a[i], b[i]);
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

SimdPath detect_simd_path() {
    if (__builtin_cpu_supports("avx512f")) return SimdPath::kAvx512;
    if (__builtin_cpu_supports("avx2")) return SimdPath::kAvx2;
    return SimdPath::kScalar;
}

// A path the processor cannot run falls back to the best it can.
SimdPath usable(SimdPath wanted) {
    const SimdPath best = best_simd_path();
    return static_cast<int>(wanted) <= static_cast<int>(best) ? wanted : best;
}

}  // namespace

SimdPath best_simd_path() {
    static const SimdPath path = detect_simd_path();
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
        case SimdPath::kAvx512:
            atan2_avx512(phase, a, b, n);
            return;
        case SimdPath::kAvx2:
            atan2_avx2(phase, a, b, n);
            return;
        case SimdPath::kScalar:
            break;
    }
    for (int32_t i = 0; i < n; ++i) phase[i] = atan2_phase(a[i], b[i]);
}

void fast_sqrtf_n(float *dst, const float *src, int32_t n, SimdPath path) {
    if (dst == nullptr || src == nullptr || n <= 0) return;
    switch (usable(path)) {
        case SimdPath::kAvx512:
            sqrt_avx512(dst, src, n);
            return;
        case SimdPath::kAvx2:
            sqrt_avx2(dst, src, n);
            return;
        case SimdPath::kScalar:
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
        shift > kMaxPowerShift)
        return;
    switch (usable(path)) {
        case SimdPath::kAvx512:
            phase_amp_avx512(phase, amp, a, b, n, shift, offset);
            return;
        case SimdPath::kAvx2:
            phase_amp_avx2(phase, amp, a, b, n, shift, offset);
            return;
        case SimdPath::kScalar:
            break;
    }
    phase_amp_scalar(phase, amp, a, b, 0, n, shift, offset);
}

}  // namespace kavri
