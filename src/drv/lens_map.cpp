// Building and releasing the lens undistortion map.
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "drv/lens_map.h"
#include "drv/lens_map_model.h"
#include "math/geom.h"
#include "core/log_internal.h"

namespace {

// Leaves the record invalid without looking at what it held.
void invalidate(kv_calib_len_map_t *map) {
    map->map = nullptr;
    map->valid = 0;
}

void release(kv_calib_len_map_t *map) {
    if (map->valid) std::free(map->map);
    invalidate(map);
}

// Rectangle value + 0.5, truncated; values beyond int32 are clamped.
int32_t roi_value(float v) {
    const double r = static_cast<double>(v) + 0.5;
    if (!(r > std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    if (!(r < std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(r);
}

int32_t build(kv_calib_len_map_t *map, const kv_lens_param_t *param) {
    const int32_t w = param->img_w;
    const int32_t h = param->img_h;
    const int64_t count = static_cast<int64_t>(w) * h;
    if (w <= 0 || h <= 0 || count > std::numeric_limits<int32_t>::max()) {
        KV_ERR("[%s] wrong image size %dx%d\n", __func__, w, h);
        return 0;
    }
    auto *entries =
        static_cast<int32_t *>(std::malloc(static_cast<size_t>(count) * sizeof(int32_t)));
    if (entries == nullptr) {
        // The map stays invalid; undistortion then passes images through unchanged.
        KV_ERR("[%s] malloc failed: %dx%d\n", __func__, w, h);
        return 0;
    }
    using namespace kavri::lens;
    const Mat3 k_new = new_camera_matrix(*param);
    const RectF inner = undistorted_extent(*param, &k_new).inner;

    Mat3 r{};
    // The lens matrices are row order; inversion does not depend on the order.
    kavri::geom::mat3_set(k_new.data(), r.data());
    if (kavri::geom::mat3_inverse(r.data(), nullptr) == nullptr) r.fill(0.0);
    for (int32_t v = 0; v < h; ++v) {
        int32_t *row = entries + static_cast<size_t>(v) * w;
        for (int32_t u = 0; u < w; ++u) row[u] = nearest_index(source_point(*param, r, u, v), w, h);
    }
    map->map = entries;
    map->count = static_cast<int32_t>(count);
    map->width = w;
    map->height = h;
    map->roi_x = roi_value(inner.x);
    map->roi_y = roi_value(inner.y);
    map->roi_w = roi_value(inner.width);
    map->roi_h = roi_value(inner.height);
    map->valid = 1;
    return map->count;
}

}  // namespace

int32_t kavri::lens::calib_len_init_map(kv_calib_len_map_t *map, const kv_lens_param_t *param) {
    if (map == nullptr || param == nullptr) {
        KV_ERR("[kv_calib_len_init_map] NULL argument\n");
        return 0;
    }
    // Initialisation only writes the record: a caller's uncleared record may
    // point anywhere, so nothing it holds is released (update does that).
    invalidate(map);
    return build(map, param);
}

int32_t kavri::lens::calib_len_update_map(kv_calib_len_map_t *map, const kv_lens_param_t *param) {
    if (map == nullptr || param == nullptr) {
        KV_ERR("[kv_calib_len_update_map] NULL argument\n");
        return 0;
    }
    release(map);
    return build(map, param);
}

void kavri::lens::calib_len_uninit_map(kv_calib_len_map_t *map) {
    if (map == nullptr) return;
    release(map);
}

extern "C" {

KAVRI_API int32_t kv_calib_len_init_map(kv_calib_len_map_t *map, const kv_lens_param_t *param) {
    return kavri::lens::calib_len_init_map(map, param);
}

KAVRI_API int32_t kv_calib_len_update_map(kv_calib_len_map_t *map, const kv_lens_param_t *param) {
    return kavri::lens::calib_len_update_map(map, param);
}

KAVRI_API void kv_calib_len_uninit_map(kv_calib_len_map_t *map) {
    kavri::lens::calib_len_uninit_map(map);
}

}  // extern "C"
