// Per-pixel calibrated distance: the measured phase, corrected for the
// temperature drift, is placed between the two neighbouring calibration planes
// of the pixel and interpolated to a distance.
#include <cstdint>
#include <mutex>

#include "drv/calc_drnu_block.h"
#include "drv/calc_pixel.h"
#include "drv/epc_decode_steps.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"

namespace kavri::epc {

bool dist_calib_drnu(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *src,
                     uint32_t width, uint32_t height, uint32_t count, PixelCount rule) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr || dist == nullptr || amp == nullptr ||
        src == nullptr || !frame_shape_ok(width, height, count, rule))
        return false;
    const size_t n = size_t{width} * height;
    std::lock_guard lock(st->calib_lock);
    const CalibInfo &c = *st->calib;
    // The planes cover one 320 x 240 image.
    if (c.drnu == nullptr || n > kCalibPixels) return false;
    DrnuConst k{};
    k.planes = c.drnu.get();
    k.plane_stride = kCalibPixels;
    k.count = c.planes;
    k.range = st->range_mm;
    k.step =
        st->range_mm == 0
            ? 0.0f
            : static_cast<float>((static_cast<uint32_t>(c.step_mm) << kPhaseBits) / st->range_mm);
    k.drift_ph = static_cast<float>(st->t_ib - c.ib_temp) * st->tcoef_ib_ph +
                 static_cast<float>(st->t_sensor - c.cb_temp) * st->tcoef_sensor_ph;
    k.box_phase = static_cast<int32_t>(st->box_phase);
    k.user_offset = st->offset_en ? st->user_offset_mm : 0;
    for_each_block(src, n, [&](size_t first, int32_t cnt, const PixelBlock &blk) {
        drnu_block(k, first, cnt, blk, dist, amp);
    });
    return true;
}

}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t calc_dist_calib_drnu(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                                  const uint16_t *src, uint32_t width,
                                                  uint32_t height, uint32_t count) {
    return dist_calib_drnu(drv, dist, amp, src, width, height, count, PixelCount::kWholeQuads) ? 1
                                                                                               : 0;
}
