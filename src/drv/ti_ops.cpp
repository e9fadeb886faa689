// The TI OP8241 chip driver: the sensor computes amplitude and phase itself,
// so the driver only describes frames and scales the 12-bit values.
#include "kavri/ti.h"

#include <algorithm>

#include "core/le.h"

namespace {

constexpr uint32_t kTiWidth = 320;
constexpr uint32_t kTiHeight = 240;
constexpr uint8_t kTiBytesPerPixel = 4;
constexpr uint16_t kValueMask = 0x0fff;
constexpr double kFullScale = 0.000244140625;  // 1 / 4096
constexpr double kPhaseToMetres = 3.122838;    // unambiguous range of the phase word

uint8_t ti_init(kavri_drv_t *drv, kavri_dev_t *dev) {
    drv->dev = dev;
    return 1;
}

void ti_uninit(kavri_drv_t *) {}

uint8_t ti_frame_get_info(kavri_drv_t *, kavri_frame_info_t *out,
                          const kv_stream_frame_info_t *raw) {
    out->frame_size = raw->frlen;
    out->frame_format = raw->frfmt;
    out->frame_idx = raw->fridx;
    out->width = kTiWidth;
    out->height = kTiHeight;
    out->pixel_width = kTiBytesPerPixel;
    return 1;
}

int32_t ti_frame_decode(kavri_drv_t *, void *dst, uint32_t dst_bytes, uint32_t kind,
                        const uint16_t *src, uint32_t src_bytes, const kavri_frame_info_t *info) {
    constexpr uint32_t kKindDistance = 1;
    constexpr uint32_t kKindGray = 2;
    const int32_t pixels = static_cast<int32_t>(info->width * info->height);
    if (dst == nullptr || src == nullptr || (kind != kKindDistance && kind != kKindGray))
        return pixels;
    auto *out = static_cast<float *>(dst);
    const auto *bytes = reinterpret_cast<const uint8_t *>(src);
    const uint32_t n =
        std::min(src_bytes / kTiBytesPerPixel, static_cast<uint32_t>(dst_bytes / sizeof(float)));
    // Per pixel: amplitude word, then phase word.
    const uint32_t word = kind == kKindDistance ? 1 : 0;
    for (uint32_t k = 0; k < n; ++k) {
        const uint16_t v = kavri::le::get_u16(bytes + k * kTiBytesPerPixel + 2 * word) & kValueMask;
        const double value = v * kFullScale;
        out[k] = static_cast<float>(kind == kKindDistance ? value * kPhaseToMetres : value);
    }
    return pixels;
}

int32_t ti_reserved5(kavri_drv_t *) {
    return 0;
}
int32_t ti_reserved8(kavri_drv_t *, int32_t arg) {
    return arg;
}
int32_t ti_calib_load(kavri_drv_t *, int32_t a0, int32_t, int32_t) {
    return a0;
}
int32_t ti_reserved10(kavri_drv_t *) {
    return 1;
}

}  // namespace

// No lens parameters, integration or frequency hooks and no filters: those
// slots stay null.
extern "C" KAVRI_API const kavri_drv_op_t g_kavri_driver_op_ti = {
    .init = ti_init,
    .uninit = ti_uninit,
    .frame_get_info = ti_frame_get_info,
    .frame_decode = ti_frame_decode,
    .lens_param_get = nullptr,
    .reserved5 = ti_reserved5,
    .update_intg_time = nullptr,
    .update_mod_freq = nullptr,
    .reserved8 = ti_reserved8,
    .calib_load = ti_calib_load,
    .reserved10 = ti_reserved10,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
    .empty = {},
};
