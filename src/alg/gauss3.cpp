// 3x3 gaussian (1 2 1 / 2 4 2 / 1 2 1) / 16, rounding down. Separable: the
// vertical sums of a chunk of columns go into a small 32-bit buffer, the
// horizontal pass reads them at three offsets.
#include <cstdint>

#include "filter_common.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

constexpr int kWeightShift = 4;  // the weights sum to 16
using vu32 = uint32_t __attribute__((vector_size(64)));

KV_ALWAYS_INLINE vu32 load_wide(const uint16_t *p) {
    vu16 v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, vu32);
}

KV_ALWAYS_INLINE vu32 load_u32(const uint32_t *p) {
    vu32 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

KV_ISA_CLONES(void, gauss3_row_wide,
              (uint16_t * out, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2,
               int width),
              (out, r0, r1, r2, width)) {
    // Vertical sums of the chunk; entry j is column x0 - 1 + j.
    alignas(64) uint32_t vsum[kChunk + 2];
    for (int x0 = 0; x0 < width;) {
        const int n = chunk_len(x0, width);
        const int jb = x0 == 0 ? 1 : 0;
        const int je = x0 + n == width ? n + 1 : n + 2;
        const int cnt = je - jb;
        const int col0 = x0 - 1 + jb;
        for (int i = 0; i >= 0; i = next_vector(i, cnt)) {
            const vu32 s = load_wide(r0 + col0 + i) + (load_wide(r1 + col0 + i) << 1) +
                           load_wide(r2 + col0 + i);
            std::memcpy(vsum + jb + i, &s, sizeof s);
        }
        if (jb == 1) vsum[0] = vsum[1];
        if (je == n + 1) vsum[n + 1] = vsum[n];
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            const vu32 s =
                load_u32(vsum + i) + (load_u32(vsum + i + 1) << 1) + load_u32(vsum + i + 2);
            const vu16 res = __builtin_convertvector(s >> kWeightShift, vu16);
            std::memcpy(out + x0 + i, &res, sizeof res);
        }
        x0 += n;
    }
}

void gauss3_row_narrow(uint16_t *out, const uint16_t *r0, const uint16_t *r1, const uint16_t *r2,
                       int width) {
    auto vsum = [&](int x) {
        x = clamp_index(x, width);
        return uint32_t{r0[x]} + 2u * r1[x] + r2[x];
    };
    for (int x = 0; x < width; ++x)
        out[x] = static_cast<uint16_t>((vsum(x - 1) + 2u * vsum(x) + vsum(x + 1)) >> kWeightShift);
}

}  // namespace
}  // namespace kavri::filter

void kavri::filter::gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (!check_size("kv_gauss2d_u16_k3", dst, src, width, height)) return;
    for (int y = 0; y < height; ++y) {
        const uint16_t *r0 = clamped_row(src, y - 1, width, height);
        const uint16_t *r1 = clamped_row(src, y, width, height);
        const uint16_t *r2 = clamped_row(src, y + 1, width, height);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        if (width >= kLanes) {
            gauss3_row_wide(out, r0, r1, r2, width);
        } else {
            gauss3_row_narrow(out, r0, r1, r2, width);
        }
    }
}

extern "C" KAVRI_API void kv_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width,
                                            int height) {
    kavri::filter::gauss2d_u16_k3(dst, src, width, height);
}
