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

// Interior columns [R, width - R) of one row, whole vectors; rows[] holds the
// 2R+1 clamped source rows, centre row in the middle.
template <int R>
KV_ALWAYS_INLINE void fill_interior(uint16_t *out, const uint16_t *const *rows, int width) {
    const int count = width - 2 * R;
    for (int i = 0; i >= 0; i = next_vector(i, count)) {
        const int x = R + i;
        const vs16 centre = load_raw(rows[R] + x);
        vs16 best = load_raw(rows[R] + x - 1);
        for (int dy = 0; dy <= 2 * R; ++dy) {
            for (int dx = -R; dx <= R; ++dx) {
                if (dy == R && (dx == 0 || dx == -1)) continue;
                best = vmax(best, load_raw(rows[dy] + x + dx));
            }
        }
        const vs16 zero = {};
        store_raw(out + x, centre > zero ? centre : best);
    }
}

KV_TARGET_CLONES void fill3_interior(uint16_t *out, const uint16_t *const *rows, int width) {
    fill_interior<1>(out, rows, width);
}

KV_TARGET_CLONES void fill5_interior(uint16_t *out, const uint16_t *const *rows, int width) {
    fill_interior<2>(out, rows, width);
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
