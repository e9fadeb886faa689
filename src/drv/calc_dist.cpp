// Distance and amplitude from the four phase samples: the simple calculation
// (global scale and offset), the same with caller-given constants, and gray.
#include <cstdint>

#include "drv/calc_pixel.h"
#include "drv/epc_decode_steps.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"

namespace kavri::epc {
namespace {

constexpr int64_t kUmPerMm = 1000;

// Raw phase distance to scaled, offset and wrapped distance for one block.
// With the usual ranges and scales everything fits 32 bits and the division
// by 1000 becomes a multiplication the vector units do.
KV_ISA_CLONES(void, finish_scaled_32,
              (uint16_t * dist, uint16_t *amp, const PixelBlock &blk, int32_t cnt, int32_t range,
               int32_t scale_um, int32_t base, uint16_t invalid_amp),
              (dist, amp, blk, cnt, range, scale_um, base, invalid_amp)) {
    for (int32_t i = 0; i < cnt; ++i) {
        const int32_t raw = (blk.phase[i] * range) >> kPhaseBits;
        const int32_t v = raw * scale_um / static_cast<int32_t>(kUmPerMm) + base;
        const int32_t d = v < 0 ? v + range : (v > range ? v - range : v);
        const bool bad = blk.invalid[i] != 0;
        dist[i] = bad ? static_cast<uint16_t>(KAVRI_DIST_NO_DIST) : static_cast<uint16_t>(d);
        amp[i] = bad ? invalid_amp : static_cast<uint16_t>(blk.amp[i]);
    }
}

void finish_scaled_64(uint16_t *dist, uint16_t *amp, const PixelBlock &blk, int32_t cnt,
                      uint32_t range, int32_t scale_um, int32_t base, uint16_t invalid_amp) {
    const auto r = static_cast<int64_t>(range);
    for (int32_t i = 0; i < cnt; ++i) {
        const int64_t raw = (static_cast<int64_t>(blk.phase[i]) * r) >> kPhaseBits;
        const auto v = static_cast<int32_t>(raw * scale_um / kUmPerMm) + base;
        const int32_t d = wrap_range(v, static_cast<int32_t>(range));
        const bool bad = blk.invalid[i] != 0;
        dist[i] = bad ? static_cast<uint16_t>(KAVRI_DIST_NO_DIST) : static_cast<uint16_t>(d);
        amp[i] = bad ? invalid_amp : static_cast<uint16_t>(blk.amp[i]);
    }
}

void finish_scaled(uint16_t *dist, uint16_t *amp, const PixelBlock &blk, int32_t cnt,
                   uint32_t range, int32_t scale_um, int32_t base, uint16_t invalid_amp) {
    constexpr int64_t kFits = int64_t{1} << 30;
    const int64_t scale_abs = scale_um < 0 ? -int64_t{scale_um} : scale_um;
    if (int64_t{range} * kPhaseFull < kFits * 2 && int64_t{range} * scale_abs < kFits &&
        base > -kFits && base < kFits) {
        finish_scaled_32(dist, amp, blk, cnt, static_cast<int32_t>(range), scale_um, base,
                         invalid_amp);
        return;
    }
    finish_scaled_64(dist, amp, blk, cnt, range, scale_um, base, invalid_amp);
}

bool args_ok(kavri_drv_t *drv, const void *a, const void *b, const uint16_t *src, uint32_t width,
             uint32_t height, uint32_t count, PixelCount rule = PixelCount::kWholeQuads) {
    return state_of(drv) != nullptr && state_of(drv)->calib != nullptr && a != nullptr &&
           b != nullptr && src != nullptr && frame_shape_ok(width, height, count, rule);
}

void scaled_distance(State &st, uint16_t *dist, uint16_t *amp, const uint16_t *src, size_t n,
                     int32_t scale_um, int32_t base) {
    const uint32_t range = st.range_mm;
    for_each_block(src, n, [&](size_t first, int32_t cnt, const PixelBlock &blk) {
        finish_scaled(dist + first, amp + first, blk, cnt, range, scale_um, base,
                      static_cast<uint16_t>(KAVRI_DIST_NO_DIST));
    });
}

// Temperature drift in mm since calibration, rounded half away from zero.
int32_t temperature_drift_mm(const State &st, const CalibInfo &c) {
    const float drift = static_cast<float>(st.t_ib - c.ib_temp) * st.tcoef_ib +
                        static_cast<float>(st.t_sensor - c.cb_temp) * st.tcoef_sensor;
    return round_away(drift);
}

}  // namespace

bool dist_calib_simple(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *src,
                       uint32_t width, uint32_t height, uint32_t count, PixelCount rule) {
    if (!args_ok(drv, dist, amp, src, width, height, count, rule)) return false;
    State &st = *state_of(drv);
    const CalibInfo &c = *st.calib;
    int32_t base = c.offset_mm - temperature_drift_mm(st, c);
    if (st.offset_en) base += st.user_offset_mm;
    scaled_distance(st, dist, amp, src, size_t{width} * height, c.scale_um, base);
    return true;
}

bool gray(kavri_drv_t *drv, uint16_t *amp, const uint16_t *src, uint32_t width, uint32_t height,
          uint32_t count, PixelCount rule) {
    if (!args_ok(drv, amp, amp, src, width, height, count, rule)) return false;
    for_each_block(src, size_t{width} * height,
                   [&](size_t first, int32_t cnt, const PixelBlock &blk) {
                       uint16_t *out = amp + first;
                       for (int32_t i = 0; i < cnt; ++i)
                           out[i] = blk.invalid[i] ? 0 : static_cast<uint16_t>(blk.amp[i]);
                   });
    return true;
}

}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t calc_dist_calib_simple(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                                    const uint16_t *src, uint32_t width,
                                                    uint32_t height, uint32_t count) {
    return dist_calib_simple(drv, dist, amp, src, width, height, count, PixelCount::kWholeQuads)
               ? 1
               : 0;
}

extern "C" KAVRI_API uint8_t calc_dist_calib_none(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                                  const uint16_t *src, uint32_t width,
                                                  uint32_t height, uint32_t count, int32_t scale_um,
                                                  int32_t offset_mm) {
    if (!args_ok(drv, dist, amp, src, width, height, count)) return 0;
    State &st = *state_of(drv);
    const int32_t base = st.offset_en ? offset_mm + st.user_offset_mm : offset_mm;
    scaled_distance(st, dist, amp, src, size_t{width} * height, scale_um, base);
    return 1;
}

extern "C" KAVRI_API uint8_t calc_gray(kavri_drv_t *drv, uint16_t *amp, const uint16_t *src,
                                       uint32_t width, uint32_t height, uint32_t count) {
    return gray(drv, amp, src, width, height, count, PixelCount::kWholeQuads) ? 1 : 0;
}
