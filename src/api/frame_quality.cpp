// The temporal filter's settings and the confidence image.
#include <cmath>
#include <cstdint>
#include <new>
#include <vector>

#include "api/dev_priv.h"
#include "drv/drv_quality.h"
#include "kavri/epc.h"
#include "kavri/quality.h"
#include "core/log_internal.h"

namespace {

constexpr float kMaxDistM = 60.0f;
constexpr uint16_t kConfidenceMax = 255;
constexpr uint64_t kFourPhaseBytesPerPixel = 8;

// The driver's 16-bit confidence of the calling thread's last frame, kept so
// that a conversion allocates only when the image grows.
thread_local std::vector<uint16_t> t_confidence;

kavri_drv_t *driver_of(const kavri::api::ApiCall &call) {
    return call.ok() ? call.priv()->drv : nullptr;
}

}  // namespace

extern "C" KAVRI_API int kavri_temporal_set(kavri_dev_t *dev, uint16_t motion_mm,
                                            uint8_t hole_frames) {
    if (dev == nullptr) return -1;
    kavri::api::ApiCall call(dev);
    kavri_drv_t *drv = driver_of(call);
    if (drv == nullptr) return -1;
    return kavri::drv::temporal_set(drv, motion_mm, hole_frames);
}

extern "C" KAVRI_API int kavri_temporal_get(kavri_dev_t *dev, uint16_t *weight_permille,
                                            uint16_t *motion_mm, uint8_t *hole_frames) {
    if (dev == nullptr) return -1;
    kavri::api::ApiCall call(dev);
    kavri_drv_t *drv = driver_of(call);
    if (drv == nullptr) return -1;
    return kavri::drv::temporal_get(drv, weight_permille, motion_mm, hole_frames);
}

extern "C" KAVRI_API int kavri_frame_get_confidence(kavri_dev_t *dev, uint8_t *dst,
                                                    uint32_t dst_len, const void *raw,
                                                    uint32_t raw_len,
                                                    const kavri_frame_info_t *info,
                                                    const float *dist, uint32_t dist_len) {
    constexpr const char *kTag = "kavri_frame_get_confidence";
    if (dev == nullptr || dst == nullptr || raw == nullptr || info == nullptr) {
        KV_ERR("[%s] wrong arguments\n", kTag);
        return 0;
    }
    const uint64_t pixels = uint64_t{info->width} * info->height;
    // A four-phase frame holds 8 bytes a pixel: checked before any memory is
    // taken for the image, so a description with an absurd size costs nothing.
    if (pixels == 0 || pixels > dst_len || (dist != nullptr && pixels > dist_len) ||
        raw_len < info->frame_size || pixels * kFourPhaseBytesPerPixel > raw_len) {
        KV_ERR("[%s] wrong lengths: dst_len=%u, dist_len=%u, raw_len=%u (wxh=%ux%u, frlen=%u)\n",
               kTag, dst_len, dist_len, raw_len, info->width, info->height, info->frame_size);
        return 0;
    }
    kavri::api::ApiCall call(dev);
    kavri_drv_t *drv = driver_of(call);
    if (drv == nullptr || drv->ops == nullptr || drv->ops->frame_decode == nullptr) return 0;
    try {
        if (t_confidence.size() < pixels) t_confidence.resize(pixels);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed\n", kTag);
        return 0;
    }
    const auto bytes = static_cast<uint32_t>(pixels * sizeof(uint16_t));
    const int32_t r =
        drv->ops->frame_decode(drv, t_confidence.data(), bytes, KAVRI_DECODE_CONFIDENCE,
                               static_cast<const uint16_t *>(raw), raw_len, info);
    if (r < 0 || static_cast<uint64_t>(r) < bytes) return 0;
    for (uint64_t i = 0; i < pixels; ++i) {
        const uint16_t c = t_confidence[i];
        const bool no_distance = dist != nullptr && !(dist[i] > 0.0f && dist[i] < kMaxDistM);
        dst[i] = no_distance ? 0 : static_cast<uint8_t>(c < kConfidenceMax ? c : kConfidenceMax);
    }
    return static_cast<int>(pixels);
}
