// 3x3 and 5x5 hole fill: a hole (0, or any value from 32768 up, that is not
// above 0 as a signed 16-bit number) takes the signed maximum of the other
// positions of its clamped window, so a marker never wins over a valid value.
#include <cstdint>
#include <cstring>

#include "filter_common.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "alg/filter.h"

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

// Interior columns 1 .. width-2 of output rows y and y+1 (width - 2 >=
// kLanes); rows[] holds the clamped source rows y-1 .. y+2. The column maxima
// are shared by the three outputs of a row that use them, and the maximum of
// the two middle rows by both output rows.
KV_ISA_CLONES(void, fill3_interior,
              (uint16_t * out0, uint16_t *out1, const uint16_t *const *rows, int width),
              (out0, out1, rows, width)) {
    const uint16_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    alignas(32) int16_t col_max0[kChunk + 2];  // entry j: column x0 - 1 + j
    alignas(32) int16_t col_max1[kChunk + 2];
    const int total = width - 2;
    for (int o = 0; o < total;) {
        const int n = chunk_len(o, total);
        const int x0 = 1 + o;
        for (int i = 0; i >= 0; i = next_vector(i, n + 2)) {
            const int col = x0 - 1 + i;
            const vs16 mid = vmax(load_raw(r1 + col), load_raw(r2 + col));
            store_raw(col_max0 + i, vmax(mid, load_raw(r0 + col)));
            store_raw(col_max1 + i, vmax(mid, load_raw(r3 + col)));
        }
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const int x = x0 + i;
            const vs16 c1 = load_raw(r1 + x), c2 = load_raw(r2 + x);
            const vs16 sides0 = vmax(load_raw(col_max0 + i), load_raw(col_max0 + i + 2));
            store_raw(out0 + x, keep_valid(c1, vmax(sides0, vmax(load_raw(r0 + x), c2))));
            const vs16 sides1 = vmax(load_raw(col_max1 + i), load_raw(col_max1 + i + 2));
            store_raw(out1 + x, keep_valid(c2, vmax(sides1, vmax(c1, load_raw(r3 + x)))));
        }
        o += n;
    }
}

// Interior columns 2 .. width-3 of output rows y and y+1 (width - 4 >=
// kLanes); rows[] holds the clamped source rows y-2 .. y+3. Per column: the
// maximum of the four rows around each centre row and of all five rows.
KV_ISA_CLONES(void, fill5_interior,
              (uint16_t * out0, uint16_t *out1, const uint16_t *const *rows, int width),
              (out0, out1, rows, width)) {
    const uint16_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3], *r4 = rows[4],
                   *r5 = rows[5];
    alignas(32) int16_t outer0[kChunk + 4];  // entry j: column x0 - 2 + j
    alignas(32) int16_t col_max0[kChunk + 4];
    alignas(32) int16_t outer1[kChunk + 4];
    alignas(32) int16_t col_max1[kChunk + 4];
    const int total = width - 4;
    for (int o = 0; o < total;) {
        const int n = chunk_len(o, total);
        const int x0 = 2 + o;
        for (int i = 0; i >= 0; i = next_vector(i, n + 4)) {
            const int col = x0 - 2 + i;
            const vs16 v2 = load_raw(r2 + col), v3 = load_raw(r3 + col);
            const vs16 shared = vmax(load_raw(r1 + col), load_raw(r4 + col));
            const vs16 o0 = vmax(shared, vmax(load_raw(r0 + col), v3));
            const vs16 o1 = vmax(shared, vmax(v2, load_raw(r5 + col)));
            store_raw(outer0 + i, o0);
            store_raw(col_max0 + i, vmax(o0, v2));
            store_raw(outer1 + i, o1);
            store_raw(col_max1 + i, vmax(o1, v3));
        }
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const int x = x0 + i;
            const vs16 l0 = vmax(load_raw(col_max0 + i), load_raw(col_max0 + i + 1));
            const vs16 h0 = vmax(load_raw(col_max0 + i + 3), load_raw(col_max0 + i + 4));
            const vs16 best0 = vmax(vmax(l0, h0), load_raw(outer0 + i + 2));
            store_raw(out0 + x, keep_valid(load_raw(r2 + x), best0));
            const vs16 l1 = vmax(load_raw(col_max1 + i), load_raw(col_max1 + i + 1));
            const vs16 h1 = vmax(load_raw(col_max1 + i + 3), load_raw(col_max1 + i + 4));
            const vs16 best1 = vmax(vmax(l1, h1), load_raw(outer1 + i + 2));
            store_raw(out1 + x, keep_valid(load_raw(r3 + x), best1));
        }
        o += n;
    }
}

// Non-recursive fill, two output rows per pass; with an odd height the last
// pair overlaps the one before it (recomputing a row gives the same values).
template <int R>
void fill_rows(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (width - 2 * R < kLanes) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                dst[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)] =
                    fill_pixel<R>(src, width, height, x, y);
        return;
    }
    constexpr int kTaps = 2 * R + 2;  // source rows of two output rows
    for (int y = 0; y < height; y += 2) {
        y = std::min(y, height - 2);
        const uint16_t *rows[kTaps];
        for (int r = 0; r < kTaps; ++r) rows[r] = clamped_row(src, y - R + r, width, height);
        uint16_t *out0 = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        uint16_t *out1 = out0 + width;
        if constexpr (R == 1) {
            fill3_interior(out0, out1, rows, width);
        } else {
            fill5_interior(out0, out1, rows, width);
        }
        for (int row = y; row < y + 2; ++row) {
            uint16_t *out = dst + static_cast<size_t>(row) * static_cast<size_t>(width);
            for (int x = 0; x < R; ++x) {
                out[x] = fill_pixel<R>(src, width, height, x, row);
                out[width - 1 - x] = fill_pixel<R>(src, width, height, width - 1 - x, row);
            }
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

void kavri::filter::fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                 int recursive) {
    hole_fill<1>("kv_fhole_u16_k3", dst, src, width, height, recursive);
}

extern "C" KAVRI_API void kv_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int recursive) {
    kavri::filter::fhole_u16_k3(dst, src, width, height, recursive);
}

extern "C" KAVRI_API void kv_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height,
                                          int recursive) {
    kavri::filter::hole_fill<2>(__func__, dst, src, width, height, recursive);
}
