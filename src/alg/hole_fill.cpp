// 3x3 and 5x5 hole fill: a hole (0, or any value from 32768 up, that is not
// above 0 as a signed 16-bit number) takes the signed maximum of the other
// positions of its clamped window, so a marker never wins over a valid value.
#include <cstdint>
#include <cstring>

#include "filter_common.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "kavri/filter.h"

namespace kavri::filter {
namespace {

KV_ALWAYS_INLINE int16_t as_signed(uint16_t v) {
    return static_cast<int16_t>(v);
}

// Signed maximum over the clamped (2R+1)x(2R+1) window of (x, y) without its
// centre position; clamped positions may land on the centre pixel itself.
template <int R>
int16_t window_max(const uint16_t *img, int width, int height, int x, int y) {
    int16_t best = INT16_MIN;
    for (int dy = -R; dy <= R; ++dy) {
        const uint16_t *row = clamped_row(img, y + dy, width, height);
        for (int dx = -R; dx <= R; ++dx) {
            if (dx == 0 && dy == 0) continue;
            best = std::max(best, as_signed(row[clamp_index(x + dx, width)]));
        }
    }
    return best;
}

template <int R>
KV_ALWAYS_INLINE uint16_t fill_pixel(const uint16_t *img, int width, int height, int x, int y) {
    const uint16_t v =
        img[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    if (as_signed(v) > 0) return v;
    return static_cast<uint16_t>(window_max<R>(img, width, height, x, y));
}

KV_ALWAYS_INLINE vs16 keep_valid(vs16 centre, vs16 best) {
    const vs16 zero = {};
    return centre > zero ? centre : best;
}

// Interior columns 1 .. width-2 of one row (width - 2 >= kLanes). The column
// maxima of the three rows are shared by the three outputs that use them.
KV_TARGET_CLONES void fill3_interior(uint16_t *out, const uint16_t *const *rows, int width) {
    const uint16_t *a = rows[0], *b = rows[1], *c = rows[2];
    alignas(32) int16_t col_max[kChunk + 2];  // entry j: column x0 - 1 + j
    const int total = width - 2;
    for (int o = 0; o < total;) {
        const int n = chunk_len(o, total);
        const int x0 = 1 + o;
        for (int i = 0; i >= 0; i = next_vector(i, n + 2)) {
            const int col = x0 - 1 + i;
            store_raw(col_max + i,
                      vmax(vmax(load_raw(a + col), load_raw(b + col)), load_raw(c + col)));
        }
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const int x = x0 + i;
            const vs16 sides = vmax(load_raw(col_max + i), load_raw(col_max + i + 2));
            const vs16 best = vmax(sides, vmax(load_raw(a + x), load_raw(c + x)));
            store_raw(out + x, keep_valid(load_raw(b + x), best));
        }
        o += n;
    }
}

// Interior columns 2 .. width-3 of one row (width - 4 >= kLanes): maxima of
// the four outer rows and of all five rows per column, shared by the five
// outputs that use them.
KV_TARGET_CLONES void fill5_interior(uint16_t *out, const uint16_t *const *rows, int width) {
    const uint16_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3], *r4 = rows[4];
    alignas(32) int16_t outer_max[kChunk + 4];  // entry j: column x0 - 2 + j
    alignas(32) int16_t col_max[kChunk + 4];
    const int total = width - 4;
    for (int o = 0; o < total;) {
        const int n = chunk_len(o, total);
        const int x0 = 2 + o;
        for (int i = 0; i >= 0; i = next_vector(i, n + 4)) {
            const int col = x0 - 2 + i;
            const vs16 outer = vmax(vmax(load_raw(r0 + col), load_raw(r1 + col)),
                                    vmax(load_raw(r3 + col), load_raw(r4 + col)));
            store_raw(outer_max + i, outer);
            store_raw(col_max + i, vmax(outer, load_raw(r2 + col)));
        }
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const int x = x0 + i;
            const vs16 left = vmax(load_raw(col_max + i), load_raw(col_max + i + 1));
            const vs16 right = vmax(load_raw(col_max + i + 3), load_raw(col_max + i + 4));
            const vs16 best = vmax(vmax(left, right), load_raw(outer_max + i + 2));
            store_raw(out + x, keep_valid(load_raw(r2 + x), best));
        }
        o += n;
    }
}

template <int R>
void fill_rows(uint16_t *dst, const uint16_t *src, int width, int height) {
    constexpr int kTaps = 2 * R + 1;
    const bool wide = width - 2 * R >= kLanes;
    for (int y = 0; y < height; ++y) {
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        if (!wide) {
            for (int x = 0; x < width; ++x) out[x] = fill_pixel<R>(src, width, height, x, y);
            continue;
        }
        const uint16_t *rows[kTaps];
        for (int r = 0; r < kTaps; ++r) rows[r] = clamped_row(src, y - R + r, width, height);
        if constexpr (R == 1) {
            fill3_interior(out, rows, width);
        } else {
            fill5_interior(out, rows, width);
        }
        for (int x = 0; x < R; ++x) {
            out[x] = fill_pixel<R>(src, width, height, x, y);
            out[width - 1 - x] = fill_pixel<R>(src, width, height, width - 1 - x, y);
        }
    }
}

// Recursive mode: works in place on dst, so a hole sees the filled values of
// the pixels before it in row-major order.
template <int R>
void fill_recursive(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (dst != src) std::memmove(dst, src, pixel_count(width, height) * sizeof(uint16_t));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint16_t &v =
                dst[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
            if (as_signed(v) <= 0) {
                v = static_cast<uint16_t>(window_max<R>(dst, width, height, x, y));
            }
        }
    }
}

template <int R>
void hole_fill(const char *func, uint16_t *dst, const uint16_t *src, int width, int height,
               int recursive) {
    if (!check_size(func, dst, src, width, height)) return;
    if (recursive != 0) {
        fill_recursive<R>(dst, src, width, height);
    } else {
        fill_rows<R>(dst, src, width, height);
    }
}

}  // namespace
}  // namespace kavri::filter

extern "C" KAVRI_API void kv_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int recursive) {
    kavri::filter::hole_fill<1>(__func__, dst, src, width, height, recursive);
}

extern "C" KAVRI_API void kv_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int recursive) {
    kavri::filter::hole_fill<2>(__func__, dst, src, width, height, recursive);
}
