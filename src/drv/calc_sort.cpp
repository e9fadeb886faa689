// Row order of the sensor: rows are read from the middle of the image
// outwards, alternating between the upper and the lower half.
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/log_internal.h"
#include "drv/epc_calc.h"
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

// Runs the row copy fn(dst, src) with src taken from a copy when the call is
// in place: rows move between both halves, so copying in place would
// overwrite rows before they are read.
template <typename Fn>
void with_distinct_source(const char *tag, uint16_t *dst, const uint16_t *src, int32_t width,
                          int32_t height, Fn &&fn) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0) return;
    if (dst != src) {
        fn(dst, src);
        return;
    }
    std::vector<uint16_t> copy;
    try {
        copy.assign(src, src + static_cast<size_t>(width) * static_cast<size_t>(height));
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed\n", tag);
        return;
    }
    fn(dst, copy.data());
}

}  // namespace

namespace kavri::epc {

void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height) {
    with_distinct_source("calc_dcs_sort", dst, src, width, height,
                         [&](uint16_t *d, const uint16_t *s) {
                             for (int32_t r = 0; r < height; ++r)
                                 copy_row(d, image_row(r, height), s, r, width);
                         });
}

void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height) {
    with_distinct_source("calc_dcs_unsort", dst, src, width, height,
                         [&](uint16_t *d, const uint16_t *s) {
                             for (int32_t r = 0; r < height; ++r)
                                 copy_row(d, r, s, image_row(r, height), width);
                         });
}

}  // namespace kavri::epc

extern "C" KAVRI_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width,
                                        int32_t height) {
    kavri::epc::calc_dcs_sort(dst, src, width, height);
}

extern "C" KAVRI_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width,
                                          int32_t height) {
    kavri::epc::calc_dcs_unsort(dst, src, width, height);
}
