// Colouring a whole distance image (metres) with the library-wide colour map.
#include <cstdint>

#include "alg/cmap.h"
#include "alg/cmap_shared.h"
#include "alg/conv_trunc.h"
#include "kavri/cmap.h"
#include "core/log_internal.h"

namespace {

constexpr double kMillimetresPerMetre = 1000.0;

int32_t to_millimetres(float metres) {
    // The product is exact in double, as in the extended-precision original.
    return kavri::trunc_indefinite<int32_t>(static_cast<double>(metres) * kMillimetresPerMetre);
}

template <int kRed, int kGreen, int kBlue, int kBytes>
void paint(uint8_t *dst, const float *src, int32_t n, const kv_cmap_t &map) {
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t color = kavri::cmap_get_color(&map, to_millimetres(src[i]));
        uint8_t *px = dst + static_cast<size_t>(i) * kBytes;
        px[kRed] = static_cast<uint8_t>(color);
        px[kGreen] = static_cast<uint8_t>(color >> 8);
        px[kBlue] = static_cast<uint8_t>(color >> 16);
        if constexpr (kBytes == 4) px[3] = 0;
    }
}

}  // namespace

extern "C" KAVRI_API int32_t kavri_cmap_float(uint8_t *dst, int32_t dst_size, const float *src,
                                              int32_t count, int32_t format, float range_min,
                                              float range_max) {
    // The range is set on the shared map (the coloured point cloud uses it too),
    // but this call colours with the record it set, whatever other threads do.
    const kv_cmap_t map =
        kavri::cmap_shared_set_range(to_millimetres(range_min), to_millimetres(range_max));
    int32_t bytes_per_pixel = 0;
    switch (format) {
        case KAVRI_CMAP_OUTFMT_RGB:
        case KAVRI_CMAP_OUTFMT_BGR:
            bytes_per_pixel = 3;
            break;
        case KAVRI_CMAP_OUTFMT_RGB32:
            bytes_per_pixel = 4;
            break;
        default:
            return 0;
    }
    const int32_t capacity = dst_size / bytes_per_pixel;
    const int32_t n = count < capacity ? count : capacity;
    if (n <= 0) return n;
    if (dst == nullptr || src == nullptr) {
        KV_ERR("[%s] NULL buffer: dst=%p, src=%p\n", __func__, static_cast<void *>(dst),
               static_cast<const void *>(src));
        return 0;
    }
    switch (format) {
        case KAVRI_CMAP_OUTFMT_RGB:
            paint<0, 1, 2, 3>(dst, src, n, map);
            break;
        case KAVRI_CMAP_OUTFMT_BGR:
            paint<2, 1, 0, 3>(dst, src, n, map);
            break;
        default:
            paint<0, 1, 2, 4>(dst, src, n, map);
            break;
    }
    return n;
}
