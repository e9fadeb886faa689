// Applying the lens undistortion map: one indexed copy per pixel.
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "core/isa.h"
#include "core/log_internal.h"
#include "drv/lens_map.h"

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

#if defined(__x86_64__)
// Sixteen 16-bit pixels per step with two gathers. A 32-bit gather at the byte
// offset 2 * index reads the wanted pixel and the next one, so the lanes with the
// image's last pixel (and the lanes without a source) are left out of the gather
// and filled in afterwards.
__attribute__((target("avx2"))) void remap_u16_avx2(const int32_t *map, uint16_t *dst,
                                                    const uint16_t *src, int32_t n, int32_t last,
                                                    uint16_t fill) {
    constexpr int32_t kStep = 16;
    const __m256i fill_v = _mm256_set1_epi32(fill);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i minus_one = _mm256_set1_epi32(-1);
    const __m256i last_v = _mm256_set1_epi32(last);
    const auto *base = reinterpret_cast<const int *>(src);
    int32_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        __m256i out[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i idx =
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(map + i + 8 * h));
            // idx in [0, last): idx > -1 and last > idx
            const __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi32(idx, minus_one),
                                                _mm256_cmpgt_epi32(last_v, idx));
            const __m256i got = _mm256_mask_i32gather_epi32(fill_v, base, idx, ok, 2);
            out[h] = _mm256_blendv_epi8(fill_v, _mm256_and_si256(got, low16), ok);
        }
        const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(out[0], out[1]), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), packed);
        // The last pixel of the image, wherever the map asks for it.
        const __m256i hit0 = _mm256_cmpeq_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(map + i)), last_v);
        const __m256i hit1 = _mm256_cmpeq_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(map + i + 8)), last_v);
        if (!_mm256_testz_si256(_mm256_or_si256(hit0, hit1), _mm256_or_si256(hit0, hit1))) {
            for (int32_t k = i; k < i + kStep; ++k) {
                if (map[k] == last) dst[k] = src[last];
            }
        }
    }
    for (; i < n; ++i) dst[i] = map[i] >= 0 ? src[map[i]] : fill;
}
#endif

template <typename T>
void remap_fast(const int32_t *map, T *dst, const T *src, int32_t n,
                [[maybe_unused]] int32_t pixels, T fill) {
#if defined(__x86_64__)
    if constexpr (sizeof(T) == 2) {
        if (kavri::isa::active() >= kavri::isa::Level::kAvx2) {
            remap_u16_avx2(map, dst, src, n, pixels - 1, fill);
            return;
        }
    }
#endif
    remap(map, dst, src, n, fill);
}

template <typename T>
uint8_t undistort(const char *tag, const kv_calib_len_map_t *map, T *dst, int32_t count,
                  const T *src, int32_t src_w, int32_t src_h, T fill) {
    if (map == nullptr || dst == nullptr || src == nullptr) {
        KV_ERR("[%s] NULL argument\n", tag);
        return 0;
    }
    if (!map->valid || map->map == nullptr) {
        // Without a map the image passes through unchanged rather than leaving the
        // destination unwritten.
        KV_WRN("[%s] no undistortion map, image left as it is\n", tag);
        const int64_t pixels = static_cast<int64_t>(src_w) * src_h;
        const int64_t n = count < pixels ? count : pixels;
        if (n > 0 && dst != src) std::memmove(dst, src, static_cast<size_t>(n) * sizeof(T));
        return 0;
    }
    if (src_w != map->width || src_h != map->height) {
        KV_ERR("[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", tag, map->width,
               map->height, src_w, src_h);
        return 0;
    }
    const int32_t limit = map->width * map->height;
    const int32_t n = count < limit ? count : limit;
    if (n <= 0) return 1;
    if (overlaps(dst, src, static_cast<size_t>(limit))) {
        // Reading pixels already overwritten would corrupt the image: work on a copy.
        std::vector<T> copy;
        try {
            copy.assign(src, src + limit);
        } catch (const std::bad_alloc &) {
            KV_ERR("[%s] malloc failed\n", tag);
            return 0;
        }
        remap_fast(map->map, dst, copy.data(), n, limit, fill);
    } else {
        remap_fast(map->map, dst, src, n, limit, fill);
    }
    return 1;
}

}  // namespace

uint8_t kavri::lens::calib_len_undistort_u16(const kv_calib_len_map_t *map, uint16_t *dst,
                                             int32_t count, const uint16_t *src, int32_t src_w,
                                             int32_t src_h, int32_t fill) {
    return undistort<uint16_t>("kv_calib_len_undistort_u16", map, dst, count, src, src_w, src_h,
                               static_cast<uint16_t>(fill));
}

extern "C" {

KAVRI_API uint8_t kv_calib_len_undistort_u16(const kv_calib_len_map_t *map, uint16_t *dst,
                                             int32_t count, const uint16_t *src, int32_t src_w,
                                             int32_t src_h, int32_t fill) {
    return kavri::lens::calib_len_undistort_u16(map, dst, count, src, src_w, src_h, fill);
}

KAVRI_API uint8_t kv_calib_len_undistort_f32(const kv_calib_len_map_t *map, float *dst,
                                             int32_t count, const float *src, int32_t src_w,
                                             int32_t src_h, float fill) {
    return undistort<float>(__func__, map, dst, count, src, src_w, src_h, fill);
}

}  // extern "C"
