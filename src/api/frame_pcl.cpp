// Point clouds from distance images. The distance of a pixel is measured
// along its ray, so the point is the ray's unit direction times the distance:
// with a = (c - cx) / fx, b = (r - cy) / fy and n = sqrt(1 + a^2 + b^2) the
// point is d (a, b, 1) / n.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "alg/cmap.h"
#include "alg/cmap_shared.h"
#include "api/dev_priv.h"
#include "kavri/api.h"
#include "kavri/cmap.h"
#include "kavri/quality.h"
#include "core/log_internal.h"

namespace {

constexpr float kMaxDistM = 60.0f;
constexpr float kMmPerM = 1000.0f;

struct Lens {
    float cx, cy, fx, fy, scale;
};

// The application's lens, or the driver's for this image size.
bool lens_for(const char *func, kavri_dev_priv_t *p, uint32_t width, uint32_t height,
              const kavri_lens_param_t *given, Lens &out) {
    if (given != nullptr) {
        out = {given->cx, given->cy, given->fx, given->fy, given->dist_scale};
    } else {
        kavri_drv_t *drv = p == nullptr ? nullptr : p->drv;
        if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr) {
            KV_ERR("[%s] Cannot generate PCL: no lens parameter in driver.\n", func);
            return false;
        }
        kv_lens_param_t lp{};
        if (!drv->ops->lens_param_get(drv, &lp, width, height)) return false;
        out = {static_cast<float>(lp.cx), static_cast<float>(lp.cy), static_cast<float>(lp.fx),
               static_cast<float>(lp.fy), 1.0f};
    }
    // Without a finite, non-zero focal length no pixel has a ray.
    if (!std::isnormal(out.fx) || !std::isnormal(out.fy) || !std::isfinite(out.cx) ||
        !std::isfinite(out.cy)) {
        KV_ERR("[%s] wrong lens parameters: fx=%f, fy=%f\n", func, static_cast<double>(out.fx),
               static_cast<double>(out.fy));
        return false;
    }
    return true;
}

// Columns whose ray slope is computed once per call; the slopes of any
// further columns of an absurdly wide image are computed per pixel, so that
// the width alone never decides how much memory a call takes.
constexpr uint32_t kMaxCachedColumns = 1u << 16;

// Millimetres of a scaled distance, clamped into the 32-bit range first: a
// huge dist_scale would make the conversion undefined. Not a number is no
// distance.
int32_t millimetres_clamped(float d) {
    const double mm = static_cast<double>(d) * static_cast<double>(kMmPerM);
    if (std::isnan(mm)) return KV_CMAP_MARK_INVALID;
    if (mm >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    if (mm <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    return static_cast<int32_t>(mm);
}

// Writes the points of the valid pixels, per floats each; extra(d) gives the
// fourth value when per is 4. With conf, only pixels whose confidence is above
// threshold count as valid.
template <int Per, typename Extra>
int project(float *dst, uint32_t dst_len, const float *dist, uint32_t width, uint32_t height,
            const Lens &lens, Extra extra, const uint8_t *conf = nullptr, uint8_t threshold = 0) {
    // Horizontal ray slopes are the same in every row.
    std::vector<float> col_a(std::min(width, kMaxCachedColumns));
    const auto slope = [&lens](uint32_t c) { return (static_cast<float>(c) - lens.cx) / lens.fx; };
    for (uint32_t c = 0; c < col_a.size(); ++c) col_a[c] = slope(c);
    uint32_t points = 0;
    for (uint32_t r = 0; r < height; ++r) {
        const float b = (static_cast<float>(r) - lens.cy) / lens.fy;
        const float *row = dist + size_t{r} * width;
        const uint8_t *conf_row = conf != nullptr ? conf + size_t{r} * width : nullptr;
        for (uint32_t c = 0; c < width; ++c) {
            if (uint64_t{Per} * points + (Per - 1) >= dst_len) return static_cast<int>(points);
            float d = row[c];
            if (!(d > 0.0f && d < kMaxDistM)) continue;
            if (conf_row != nullptr && conf_row[c] <= threshold) continue;
            d *= lens.scale;
            const float a = c < col_a.size() ? col_a[c] : slope(c);
            const float inv_n = 1.0f / std::sqrt(1.0f + a * a + b * b);
            float *pt = dst + size_t{Per} * points;
            pt[0] = d * a * inv_n;
            pt[1] = d * b * inv_n;
            pt[2] = d * inv_n;
            if constexpr (Per == 4) pt[3] = extra(d);
            ++points;
        }
    }
    return static_cast<int>(points);
}

// Runs a point-cloud call; nothing thrown crosses the C interface: a call
// that cannot have its memory writes no point and returns 0.
template <typename Fn>
int guarded(const char *func, Fn &&fn) {
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed\n", func);
        return 0;
    }
}

}  // namespace

extern "C" KAVRI_API int kavri_frame_get_pcl(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                             const float *dist, uint32_t, uint32_t width,
                                             uint32_t height, const kavri_lens_param_t *lens) {
    if (dev == nullptr || dst == nullptr || dist == nullptr) return 0;
    const char *func = __func__;  // inside the lambda __func__ would name the lambda
    return guarded(func, [&] {
        kavri::api::ApiCall call(dev);
        Lens l{};
        if (!lens_for(func, call.priv(), width, height, lens, l)) return 0;
        return project<3>(dst, dst_len, dist, width, height, l, [](float) { return 0.0f; });
    });
}

extern "C" KAVRI_API int kavri_frame_get_pcl_xyzd(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                                  const float *dist, uint32_t, uint32_t width,
                                                  uint32_t height, uint8_t color,
                                                  const kavri_lens_param_t *lens) {
    if (dev == nullptr || dst == nullptr || dist == nullptr) return 0;
    const char *func = __func__;  // inside the lambda __func__ would name the lambda
    return guarded(func, [&] {
        kavri::api::ApiCall call(dev);
        Lens l{};
        if (!lens_for(func, call.priv(), width, height, lens, l)) return 0;
        if (!color)
            return project<4>(dst, dst_len, dist, width, height, l, [](float d) { return d; });
        const kv_cmap_t map = kavri::cmap_shared_snapshot();
        return project<4>(dst, dst_len, dist, width, height, l, [&map](float d) {
            return static_cast<float>(kavri::cmap_get_color(&map, millimetres_clamped(d)));
        });
    });
}

extern "C" KAVRI_API int kavri_frame_get_pcl_confident(kavri_dev_t *dev, float *dst,
                                                       uint32_t dst_len, const float *dist,
                                                       uint32_t dist_len, const uint8_t *conf,
                                                       uint32_t conf_len, uint8_t threshold,
                                                       uint32_t width, uint32_t height,
                                                       const kavri_lens_param_t *lens) {
    const uint64_t pixels = uint64_t{width} * height;
    if (dev == nullptr || dst == nullptr || dist == nullptr || conf == nullptr ||
        dist_len < pixels || conf_len < pixels) {
        KV_ERR("[%s] wrong arguments: dist_len=%u, conf_len=%u (wxh=%ux%u)\n", __func__, dist_len,
               conf_len, width, height);
        return 0;
    }
    const char *func = __func__;  // inside the lambda __func__ would name the lambda
    return guarded(func, [&] {
        kavri::api::ApiCall call(dev);
        Lens l{};
        if (!lens_for(func, call.priv(), width, height, lens, l)) return 0;
        return project<3>(
            dst, dst_len, dist, width, height, l, [](float) { return 0.0f; }, conf, threshold);
    });
}
