// Row order of the sensor: rows are read from the middle of the image
// outwards, alternating between the upper and the lower half.
#include <cstdint>
#include <cstring>

#include "kavri/epc.h"

namespace {

// Image row of source row s. With an odd height the last source row has no
// place in the alternation and takes the one image row left over, the last.
inline int32_t image_row(int32_t s, int32_t height) {
    const int32_t half = height / 2;
    const int32_t k = s / 2;
    if (s % 2 == 0) return half - 1 - k >= 0 ? half - 1 - k : height - 1;
    return half + k;
}

void copy_row(uint16_t *dst, int32_t dst_row, const uint16_t *src, int32_t src_row, int32_t width) {
    std::memcpy(dst + static_cast<size_t>(dst_row) * static_cast<size_t>(width),
                src + static_cast<size_t>(src_row) * static_cast<size_t>(width),
                static_cast<size_t>(width) * sizeof(uint16_t));
}

}  // namespace

extern "C" KAVRI_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width,
                                        int32_t height) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || dst == src) return;
    for (int32_t s = 0; s < height; ++s) copy_row(dst, image_row(s, height), src, s, width);
}

extern "C" KAVRI_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width,
                                          int32_t height) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0 || dst == src) return;
    for (int32_t s = 0; s < height; ++s) copy_row(dst, s, src, image_row(s, height), width);
}
