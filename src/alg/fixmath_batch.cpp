// Array forms of the table atan2 and the fast square root. The AVX2 path handles
// eight pixels per step; chunks with inputs beyond the 19-bit range of the
// 32-bit algorithm fall back to the scalar form, so results never differ.
#include <immintrin.h>

#include <array>
#include <cstdint>

#include "alg/fixmath.h"

namespace kavri {
namespace {

constexpr int32_t kLanes = 8;
constexpr int32_t kInputLimit = 1 << 19;  // a * 4096 stays within 32 bits below this

// The table widened to 32 bits for the gather instruction.
const std::array<int32_t, kAtan2LutSize> kLut32 = [] {
    std::array<int32_t, kAtan2LutSize> t{};
    for (int32_t i = 0; i < kAtan2LutSize; ++i) t[i] = g_atan2_LUT[i];
    return t;
}();

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

// Every lane below 2^19 in magnitude (|INT32_MIN| keeps its top bit and fails).
__attribute__((target("avx2"))) bool in_range(__m256i a, __m256i b) {
    const __m256i high =
        _mm256_srli_epi32(_mm256_or_si256(_mm256_abs_epi32(a), _mm256_abs_epi32(b)), 19);
    return _mm256_testz_si256(high, high) != 0;
}

__attribute__((target("avx2"))) __m256i atan2_lanes(__m256i a, __m256i b) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    // Half-turn: a < 0 turns (a, b) into (-a, -b).
    const __m256i neg = _mm256_cmpgt_epi32(zero, a);
    __m256i a1 = _mm256_blendv_epi8(a, _mm256_sub_epi32(zero, a), neg);
    __m256i b1 = _mm256_blendv_epi8(b, _mm256_sub_epi32(zero, b), neg);
    __m256i base = _mm256_and_si256(neg, _mm256_set1_epi32(kAngleHalf));
    // Quarter-turn: b <= 0 turns (a, b) into (-b, a).
    const __m256i quarter = _mm256_cmpgt_epi32(one, b1);
    const __m256i a2 = _mm256_blendv_epi8(a1, _mm256_sub_epi32(zero, b1), quarter);
    const __m256i b2 = _mm256_blendv_epi8(b1, a1, quarter);
    base = _mm256_add_epi32(base, _mm256_and_si256(quarter, _mm256_set1_epi32(kAngleQuarter)));
    // Eighth-turn: a >= b turns (a, b) into (a - b, a + b).
    const __m256i eighth = _mm256_xor_si256(_mm256_cmpgt_epi32(b2, a2), _mm256_set1_epi32(-1));
    __m256i a3 = _mm256_blendv_epi8(a2, _mm256_sub_epi32(a2, b2), eighth);
    __m256i b3 = _mm256_blendv_epi8(b2, _mm256_add_epi32(a2, b2), eighth);
    base = _mm256_add_epi32(base, _mm256_and_si256(eighth, _mm256_set1_epi32(kAngleEighth)));
    // a == 0 is answered directly; give those lanes a harmless quotient 0 / 1.
    const __m256i a_zero = _mm256_cmpeq_epi32(a, zero);
    a3 = _mm256_andnot_si256(a_zero, a3);
    b3 = _mm256_blendv_epi8(b3, one, a_zero);
    // index = (a * 4096) / b: the float quotient is within one of the integer
    // quotient; the remainder corrects it.
    const __m256i num = _mm256_slli_epi32(a3, 12);
    __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(b3)));
    const __m256i rem = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, b3));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero, rem));                       // rem < 0
    q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rem, _mm256_sub_epi32(b3, one)));  // rem >= b
    const __m256i lut = _mm256_i32gather_epi32(kLut32.data(), q, 4);
    const __m256i angle =
        _mm256_and_si256(_mm256_add_epi32(base, lut), _mm256_set1_epi32(kAngleMask));
    const __m256i axis =
        _mm256_and_si256(_mm256_cmpgt_epi32(zero, b), _mm256_set1_epi32(kAngleHalf));
    return _mm256_blendv_epi8(angle, axis, a_zero);
}

__attribute__((target("avx2"))) void atan2_avx2(int32_t *phase, const int32_t *a, const int32_t *b,
                                                int32_t n) {
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
        if (in_range(va, vb)) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(phase + i), atan2_lanes(va, vb));
        } else {
            for (int32_t k = i; k < i + kLanes; ++k) phase[k] = atan2_phase(a[k], b[k]);
        }
    }
    for (; i < n; ++i) phase[i] = atan2_phase(a[i], b[i]);
}

__attribute__((target("avx2"))) void sqrt_avx2(float *dst, const float *src, int32_t n) {
    const __m256i magic = _mm256_set1_epi32(0x1FBFFB72);
    const __m256 half = _mm256_set1_ps(0.5f);
    int32_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const __m256 x = _mm256_loadu_ps(src + i);
        const __m256 hx = _mm256_mul_ps(half, x);
        __m256 y = _mm256_castsi256_ps(
            _mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(x), 1), magic));
        y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
        y = _mm256_add_ps(_mm256_mul_ps(half, y), _mm256_div_ps(hx, y));
        _mm256_storeu_ps(dst + i, y);
    }
    for (; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

}  // namespace

void atan2_phase_n(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n) {
    if (phase == nullptr || a == nullptr || b == nullptr || n <= 0) return;
    if (has_avx2()) {
        atan2_avx2(phase, a, b, n);
        return;
    }
    for (int32_t i = 0; i < n; ++i) phase[i] = atan2_phase(a[i], b[i]);
}

void fast_sqrtf_n(float *dst, const float *src, int32_t n) {
    if (dst == nullptr || src == nullptr || n <= 0) return;
    if (has_avx2()) {
        sqrt_avx2(dst, src, n);
        return;
    }
    for (int32_t i = 0; i < n; ++i) dst[i] = fast_sqrtf(src[i]);
}

}  // namespace kavri
