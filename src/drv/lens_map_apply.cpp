// Applying the lens undistortion map: one indexed copy per pixel.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kavri/lens.h"
#include "kavri/log.h"

namespace {

template <typename T>
bool overlaps(const T *a, const T *b, size_t n) {
    const auto pa = reinterpret_cast<uintptr_t>(a);
    const auto pb = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = n * sizeof(T);
    return pa < pb + bytes && pb < pa + bytes;
}

template <typename T>
void remap(const int32_t *__restrict map, T *__restrict dst, const T *__restrict src, int32_t n,
           T fill) {
    for (int32_t i = 0; i < n; ++i) {
        const int32_t s = map[i];
        dst[i] = s >= 0 ? src[s] : fill;
    }
}

template <typename T>
uint8_t undistort(const char *tag, const kv_calib_len_map_t *map, T *dst, int32_t count,
                  const T *src, int32_t src_w, int32_t src_h, T fill) {
    if (map == nullptr || dst == nullptr || src == nullptr) {
        kv_log(KV_LOG_ERR, "ERR", "[%s] NULL argument\n", tag);
        return 0;
    }
    if (!map->valid || map->map == nullptr) {
        // Without a map the image passes through unchanged rather than leaving the
        // destination unwritten.
        kv_log(KV_LOG_WRN, "WRN", "[%s] no undistortion map, image left as it is\n", tag);
        const int64_t pixels = static_cast<int64_t>(src_w) * src_h;
        const int64_t n = count < pixels ? count : pixels;
        if (n > 0 && dst != src) std::memmove(dst, src, static_cast<size_t>(n) * sizeof(T));
        return 0;
    }
    if (src_w != map->width || src_h != map->height) {
        kv_log(KV_LOG_ERR, "ERR", "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", tag,
               map->width, map->height, src_w, src_h);
        return 0;
    }
    const int32_t limit = map->width * map->height;
    const int32_t n = count < limit ? count : limit;
    if (n <= 0) return 1;
    if (overlaps(dst, src, static_cast<size_t>(limit))) {
        // Reading pixels already overwritten would corrupt the image: work on a copy.
        const std::vector<T> copy(src, src + limit);
        remap(map->map, dst, copy.data(), n, fill);
    } else {
        remap(map->map, dst, src, n, fill);
    }
    return 1;
}

}  // namespace

extern "C" {

KAVRI_API uint8_t kv_calib_len_undistort_u16(const kv_calib_len_map_t *map, uint16_t *dst,
                                             int32_t count, const uint16_t *src, int32_t src_w,
                                             int32_t src_h, int32_t fill) {
    return undistort<uint16_t>(__func__, map, dst, count, src, src_w, src_h,
                               static_cast<uint16_t>(fill));
}

KAVRI_API uint8_t kv_calib_len_undistort_f32(const kv_calib_len_map_t *map, float *dst,
                                             int32_t count, const float *src, int32_t src_w,
                                             int32_t src_h, float fill) {
    return undistort<float>(__func__, map, dst, count, src, src_w, src_h, fill);
}

}  // extern "C"
