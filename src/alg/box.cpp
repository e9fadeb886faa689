// 3x3 box filter over the eight neighbours: the centre does not take part.
#include <cstdint>

#include "filter_common.h"
#include "kavri/filter.h"

namespace {
constexpr int kNeighbourShift = 3;  // divide by the 8 neighbours
}

extern "C" KAVRI_API void kv_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int width,
                                          int height) {
    using namespace kavri::filter;
    if (!check_size(__func__, dst, src, width, height)) return;
    for (int y = 0; y < height; ++y) {
        const uint16_t *a = clamped_row(src, y - 1, width, height);
        const uint16_t *b = clamped_row(src, y, width, height);
        const uint16_t *c = clamped_row(src, y + 1, width, height);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x) {
            const int l = clamp_index(x - 1, width);
            const int r = clamp_index(x + 1, width);
            const uint32_t sum = uint32_t{a[l]} + a[x] + a[r] + b[l] + b[r] + c[l] + c[x] + c[r];
            out[x] = static_cast<uint16_t>(sum >> kNeighbourShift);
        }
    }
}
