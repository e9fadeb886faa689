// 3x3 median: every column of the window is sorted once and shared by the
// three outputs that use it; the median of nine is then the median of
// (largest column minimum, median of column medians, smallest column maximum).
#include <cstdint>

#include "filter_common.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

template <typename V>
KV_ALWAYS_INLINE V median_of_3(V a, V b, V c) {
    return vmax(vmin(a, b), vmin(vmax(a, b), c));
}

// Median of a 3x3 window given its three columns, each sorted (lo <= md <= hi).
template <typename V>
KV_ALWAYS_INLINE V median_from_columns(V lo0, V md0, V hi0, V lo1, V md1, V hi1, V lo2, V md2,
                                       V hi2) {
    const V lo = vmax(vmax(lo0, lo1), lo2);
    const V hi = vmin(vmin(hi0, hi1), hi2);
    const V md = median_of_3(md0, md1, md2);
    return median_of_3(lo, md, hi);
}

template <typename V>
KV_ALWAYS_INLINE void sort3(V &a, V &b, V &c) {
    cswap(a, b);
    cswap(b, c);
    cswap(a, b);
}

// Rows at least one vector wide.
KV_ISA_CLONES(void, median3_row_wide,
              (uint16_t * out, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2,
               int width),
              (out, r0, r1, r2, width)) {
    // Sorted columns of the chunk; entry j is column x0 - 1 + j.
    alignas(32) int16_t lo[kChunk + 2];
    alignas(32) int16_t md[kChunk + 2];
    alignas(32) int16_t hi[kChunk + 2];
    for (int x0 = 0; x0 < width;) {
        const int n = chunk_len(x0, width);
        // Columns inside the image: entries jb .. je - 1.
        const int jb = x0 == 0 ? 1 : 0;
        const int je = x0 + n == width ? n + 1 : n + 2;
        const int cnt = je - jb;
        const int col0 = x0 - 1 + jb;
        for (int i = 0; i >= 0; i = next_vector(i, cnt)) {
            vs16 a = load_biased(r0 + col0 + i);
            vs16 b = load_biased(r1 + col0 + i);
            vs16 c = load_biased(r2 + col0 + i);
            sort3(a, b, c);
            store_raw(lo + jb + i, a);
            store_raw(md + jb + i, b);
            store_raw(hi + jb + i, c);
        }
        // Clamped columns repeat the edge column.
        if (jb == 1) lo[0] = lo[1], md[0] = md[1], hi[0] = hi[1];
        if (je == n + 1) lo[n + 1] = lo[n], md[n + 1] = md[n], hi[n + 1] = hi[n];
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const vs16 m = median_from_columns(load_raw(lo + i), load_raw(md + i), load_raw(hi + i),
                                               load_raw(lo + i + 1), load_raw(md + i + 1),
                                               load_raw(hi + i + 1), load_raw(lo + i + 2),
                                               load_raw(md + i + 2), load_raw(hi + i + 2));
            store_unbiased(out + x0 + i, m);
        }
        x0 += n;
    }
}

// Rows narrower than a vector: the same network one pixel at a time.
void median3_row_narrow(uint16_t *out, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2,
                        int width) {
    int16_t lo[kLanes + 2], md[kLanes + 2], hi[kLanes + 2];
    for (int j = 0; j < width + 2; ++j) {
        const int x = clamp_index(j - 1, width);
        int16_t a = bias(r0[x]), b = bias(r1[x]), c = bias(r2[x]);
        sort3(a, b, c);
        lo[j] = a, md[j] = b, hi[j] = c;
    }
    for (int x = 0; x < width; ++x) {
        out[x] = unbias(median_from_columns(lo[x], md[x], hi[x], lo[x + 1], md[x + 1], hi[x + 1],
                                            lo[x + 2], md[x + 2], hi[x + 2]));
    }
}

}  // namespace
}  // namespace kavri::filter

void kavri::filter::median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (!check_size("kv_median2d_u16_k3", dst, src, width, height)) return;
    for (int y = 0; y < height; ++y) {
        const uint16_t *r0 = clamped_row(src, y - 1, width, height);
        const uint16_t *r1 = clamped_row(src, y, width, height);
        const uint16_t *r2 = clamped_row(src, y + 1, width, height);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        if (width >= kLanes) {
            median3_row_wide(out, r0, r1, r2, width);
        } else {
            median3_row_narrow(out, r0, r1, r2, width);
        }
    }
}

extern "C" KAVRI_API void kv_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width,
                                             int height) {
    kavri::filter::median2d_u16_k3(dst, src, width, height);
}
