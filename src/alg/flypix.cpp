// Fly-pixel filter: pixels on a steep depth edge (mixed pixels at object
// borders) become 0. The gradient is a Sobel operator on the quartered
// neighbours; the squared magnitude is compared with threshold >> 4.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>

#include "filter_common.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

// A squared gradient of at least kGradLimit^2 = 2^28 exceeds every possible
// threshold >> 4 (at most 2^28 - 1), so gradients can be clamped to this
// bound without changing any decision.
constexpr int kGradLimit = 1 << 14;
constexpr int kThresholdShift = 4;
constexpr int kQuarterShift = 2;
// Pixels per SSE2 register.
constexpr int kPixels = 8;

// The squared magnitude is formed without wrapping: the sum of two extreme
// squared gradients exceeds 32 bits and must still count as a steep edge.
KV_ALWAYS_INLINE bool is_steep(int tl, int t, int tr, int l, int r, int bl, int b, int br,
                               uint32_t limit) {
    const int64_t gx = tr + br + 2 * (r - l) - tl - bl;
    const int64_t gy = bl + br + 2 * (b - t) - tl - tr;
    const uint64_t s = static_cast<uint64_t>(gx * gx + gy * gy);
    return limit < s;
}

uint16_t flypix_pixel(const uint16_t *src, int width, int height, int x, int y, uint32_t limit) {
    const uint16_t *a = clamped_row(src, y - 1, width, height);
    const uint16_t *b = clamped_row(src, y, width, height);
    const uint16_t *c = clamped_row(src, y + 1, width, height);
    const int xl = clamp_index(x - 1, width);
    const int xr = clamp_index(x + 1, width);
    auto q = [](uint16_t v) { return int{v} >> kQuarterShift; };
    return is_steep(q(a[xl]), q(a[x]), q(a[xr]), q(b[xl]), q(b[xr]), q(c[xl]), q(c[x]), q(c[xr]),
                    limit)
               ? 0
               : b[x];
}

#if defined(__x86_64__)
KV_ALWAYS_INLINE __m128i load_quarter(const uint16_t *p) {
    return _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), kQuarterShift);
}

// Interior columns 1 .. width-2 of one row, eight pixels per step; the
// quartered values differ by at most 16383, so each difference fits 16 bits
// and the saturating sums are exact until they pass the clamping bound.
KV_ISA_CLONES(void, flypix_interior,
              (uint16_t * out, const uint16_t *a, const uint16_t *b, const uint16_t *c, int width,
               uint32_t limit),
              (out, a, b, c, width, limit)) {
    const __m128i lim = _mm_set1_epi32(static_cast<int32_t>(limit));
    const __m128i hi = _mm_set1_epi16(kGradLimit);
    const __m128i lo = _mm_set1_epi16(-kGradLimit);
    const int count = width - 2;
    for (int i = 0; i >= 0; i = next_vector<kPixels>(i, count)) {
        const int x = 1 + i;
        const __m128i tl = load_quarter(a + x - 1), t = load_quarter(a + x);
        const __m128i tr = load_quarter(a + x + 1), l = load_quarter(b + x - 1);
        const __m128i r = load_quarter(b + x + 1), bl = load_quarter(c + x - 1);
        const __m128i bm = load_quarter(c + x), br = load_quarter(c + x + 1);
        __m128i gx = _mm_adds_epi16(_mm_add_epi16(_mm_sub_epi16(tr, tl), _mm_sub_epi16(br, bl)),
                                    _mm_slli_epi16(_mm_sub_epi16(r, l), 1));
        __m128i gy = _mm_adds_epi16(_mm_add_epi16(_mm_sub_epi16(bl, tl), _mm_sub_epi16(br, tr)),
                                    _mm_slli_epi16(_mm_sub_epi16(bm, t), 1));
        gx = _mm_min_epi16(_mm_max_epi16(gx, lo), hi);
        gy = _mm_min_epi16(_mm_max_epi16(gy, lo), hi);
        const __m128i pl = _mm_unpacklo_epi16(gx, gy), ph = _mm_unpackhi_epi16(gx, gy);
        const __m128i steep = _mm_packs_epi32(_mm_cmpgt_epi32(_mm_madd_epi16(pl, pl), lim),
                                              _mm_cmpgt_epi32(_mm_madd_epi16(ph, ph), lim));
        const __m128i centre = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_andnot_si128(steep, centre));
    }
}
#else
// Interior columns 1 .. width-2 of one row, the portable way.
KV_ISA_CLONES(void, flypix_interior,
              (uint16_t * out, const uint16_t *a, const uint16_t *b, const uint16_t *c, int width,
               uint32_t limit),
              (out, a, b, c, width, limit)) {
    auto q = [](uint16_t v) { return int{v} >> kQuarterShift; };
    for (int x = 1; x + 1 < width; ++x) {
        out[x] = is_steep(q(a[x - 1]), q(a[x]), q(a[x + 1]), q(b[x - 1]), q(b[x + 1]), q(c[x - 1]),
                          q(c[x]), q(c[x + 1]), limit)
                     ? 0
                     : b[x];
    }
}
#endif

#if KV_HAS_AVX512_LOOPS
// Pixels per AVX-512 register.
constexpr int kWidePixels = 32;

KV_ALWAYS_INLINE __attribute__((target("avx512f,avx512bw"))) __m512i load_quarter512(
    const uint16_t *p) {
    return _mm512_srli_epi16(_mm512_loadu_si512(p), kQuarterShift);
}

// The same steps as flypix_interior on 32 pixels at a time; the 32-bit
// compare results come back to 16-bit lanes through the same pack.
KV_TARGET_AVX512 void flypix_interior_avx512(uint16_t *out, const uint16_t *a, const uint16_t *b,
                                             const uint16_t *c, int width, uint32_t limit) {
    const __m512i lim = _mm512_set1_epi32(static_cast<int32_t>(limit));
    const __m512i hi = _mm512_set1_epi16(kGradLimit);
    const __m512i lo = _mm512_set1_epi16(-kGradLimit);
    const __m512i all = _mm512_set1_epi32(-1);
    const int count = width - 2;
    for (int i = 0; i >= 0; i = next_vector<kWidePixels>(i, count)) {
        const int x = 1 + i;
        const __m512i tl = load_quarter512(a + x - 1), t = load_quarter512(a + x);
        const __m512i tr = load_quarter512(a + x + 1), l = load_quarter512(b + x - 1);
        const __m512i r = load_quarter512(b + x + 1), bl = load_quarter512(c + x - 1);
        const __m512i bm = load_quarter512(c + x), br = load_quarter512(c + x + 1);
        __m512i gx =
            _mm512_adds_epi16(_mm512_add_epi16(_mm512_sub_epi16(tr, tl), _mm512_sub_epi16(br, bl)),
                              _mm512_slli_epi16(_mm512_sub_epi16(r, l), 1));
        __m512i gy =
            _mm512_adds_epi16(_mm512_add_epi16(_mm512_sub_epi16(bl, tl), _mm512_sub_epi16(br, tr)),
                              _mm512_slli_epi16(_mm512_sub_epi16(bm, t), 1));
        gx = _mm512_min_epi16(_mm512_max_epi16(gx, lo), hi);
        gy = _mm512_min_epi16(_mm512_max_epi16(gy, lo), hi);
        const __m512i pl = _mm512_unpacklo_epi16(gx, gy), ph = _mm512_unpackhi_epi16(gx, gy);
        const __mmask16 sl = _mm512_cmpgt_epi32_mask(_mm512_madd_epi16(pl, pl), lim);
        const __mmask16 sh = _mm512_cmpgt_epi32_mask(_mm512_madd_epi16(ph, ph), lim);
        const __m512i steep =
            _mm512_packs_epi32(_mm512_maskz_mov_epi32(sl, all), _mm512_maskz_mov_epi32(sh, all));
        const __m512i centre = _mm512_loadu_si512(b + x);
        _mm512_storeu_si512(out + x, _mm512_and_si512(_mm512_xor_si512(steep, all), centre));
    }
}
#endif

}  // namespace
}  // namespace kavri::filter

void kavri::filter::flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                  uint32_t threshold) {
    if (!check_size("kv_flypix_u16_k3", dst, src, width, height)) return;
    const uint32_t limit = threshold >> kThresholdShift;
    const bool wide = width - 2 >= kPixels;
#if KV_HAS_AVX512_LOOPS
    const bool wider = width - 2 >= kWidePixels && has_avx512_loops();
#endif
    for (int y = 0; y < height; ++y) {
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        if (wide) {
            const uint16_t *above = clamped_row(src, y - 1, width, height);
            const uint16_t *row = clamped_row(src, y, width, height);
            const uint16_t *below = clamped_row(src, y + 1, width, height);
#if KV_HAS_AVX512_LOOPS
            if (wider)
                flypix_interior_avx512(out, above, row, below, width, limit);
            else
#endif
                flypix_interior(out, above, row, below, width, limit);
            out[0] = flypix_pixel(src, width, height, 0, y, limit);
            out[width - 1] = flypix_pixel(src, width, height, width - 1, y, limit);
        } else {
            for (int x = 0; x < width; ++x) out[x] = flypix_pixel(src, width, height, x, y, limit);
        }
    }
}

extern "C" KAVRI_API void kv_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width,
                                           int height, uint32_t threshold) {
    kavri::filter::flypix_u16_k3(dst, src, width, height, threshold);
}
