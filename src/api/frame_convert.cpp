// Raw frames to distance and gray images in the application's float buffer.
#include <algorithm>
#include <cstdint>

#include "api/dev_priv.h"
#include "kavri/api.h"
#include "kavri/epc.h"
#include "core/log_internal.h"

namespace {

constexpr float kMetresPerMm = 0.001f;

// The driver decodes into 16-bit values at the second half of dst; they are
// widened to floats in place, front to back: float i covers bytes 4i..4i+3,
// which lie below every 16-bit value still to be read.
void widen_in_place(float *dst, uint32_t dst_len, uint32_t count, float scale) {
    const auto *src = reinterpret_cast<const uint16_t *>(dst + dst_len / 2);
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t v = src[i];
        dst[i] = static_cast<float>(v) * scale;
    }
}

int get_u16(kavri_dev_t *dev, kavri_dev_priv_t *p, uint16_t *target, uint32_t target_bytes,
            uint32_t kind, const void *raw, uint32_t raw_len, const kavri_frame_info_t *info) {
    constexpr const char *kTag = "_kavri_frame_get_u16";
    (void)dev;
    kavri_drv_t *drv = p == nullptr ? nullptr : p->drv;
    if (p == nullptr || drv == nullptr || drv->ops == nullptr) {
        KV_DBG("[%s] Wrong params\n", kTag);
        return 0;
    }
    if (raw_len < info->frame_size) {
        KV_ERR("[%s] raw frame length too small: datalen=%d, frlen=%d\n", kTag,
               static_cast<int>(raw_len), static_cast<int>(info->frame_size));
        return 0;
    }
    if (drv->ops->frame_decode == nullptr) return 0;
    const int32_t r = drv->ops->frame_decode(drv, target, target_bytes, kind,
                                             static_cast<const uint16_t *>(raw), raw_len, info);
    if (r < 0) {
        KV_ERR("[%s] raw frame decode to %d failed: %d\n", kTag, static_cast<int>(kind), r);
        return 0;
    }
    return r / 2;
}

// Whether the driver's decode of this kind writes floats (metres or gray)
// straight away, as its record says.
bool decodes_floats(const kavri_drv_t *drv, uint32_t kind) {
    if (drv == nullptr) return false;
    const uint8_t out = kind == KAVRI_DECODE_DISTANCE ? drv->distance_out : drv->gray_out;
    return out == KAVRI_DECODE_OUT_F32_M || out == KAVRI_DECODE_OUT_F32_GRAY;
}

int frame_get(const char *func, kavri_dev_t *dev, float *dst, uint32_t dst_len, const void *raw,
              uint32_t raw_len, const kavri_frame_info_t *info, uint32_t kind, float scale) {
    if (dst == nullptr || raw == nullptr || info == nullptr) {
        KV_ERR("[%s] wrong dst_len: %d (wxh=%dx%d)\n", func, static_cast<int>(dst_len), 0, 0);
        return 0;
    }
    const uint64_t pixels = uint64_t{info->width} * info->height;
    if (pixels > dst_len) {
        KV_ERR("[%s] wrong dst_len: %d (wxh=%dx%d)\n", func, static_cast<int>(dst_len),
               static_cast<int>(info->width), static_cast<int>(info->height));
        return 0;
    }
    kavri::api::ApiCall call(dev);
    kavri_dev_priv_t *p = call.priv();
    if (p != nullptr && decodes_floats(p->drv, kind)) {
        if (raw_len < info->frame_size || p->drv->ops->frame_decode == nullptr) return 0;
        const int32_t r =
            p->drv->ops->frame_decode(p->drv, dst, dst_len * static_cast<uint32_t>(sizeof(float)),
                                      kind, static_cast<const uint16_t *>(raw), raw_len, info);
        return r < 0 ? 0 : static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(r), pixels));
    }
    auto *target = reinterpret_cast<uint16_t *>(dst + dst_len / 2);
    const int count = get_u16(dev, p, target, dst_len * 2, kind, raw, raw_len, info);
    widen_in_place(dst, dst_len, static_cast<uint32_t>(pixels), scale);
    return count;
}

}  // namespace

extern "C" KAVRI_API int kavri_frame_get_distance(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                                  const void *raw, uint32_t raw_len,
                                                  const kavri_frame_info_t *info) {
    return frame_get(__func__, dev, dst, dst_len, raw, raw_len, info, KAVRI_DECODE_DISTANCE,
                     kMetresPerMm);
}

extern "C" KAVRI_API int kavri_frame_get_gray(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                              const void *raw, uint32_t raw_len,
                                              const kavri_frame_info_t *info) {
    return frame_get(__func__, dev, dst, dst_len, raw, raw_len, info, KAVRI_DECODE_GRAY, 1.0f);
}
