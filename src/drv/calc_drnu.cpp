// Per-pixel calibrated distance: the measured phase, corrected for the
// temperature drift, is placed between the two neighbouring calibration planes
// of the pixel and interpolated to a distance.
#include <cstdint>
#include <mutex>

#include "drv/calc_pixel.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"

namespace kavri::epc {
namespace {

struct DrnuConst {
    const uint16_t *planes;  // pixel-major: count values per pixel
    int32_t count;           // planes
    float step;              // phase between two planes
    float drift_ph;          // temperature drift in phase units
    int32_t box_phase;
    int64_t range;
    int32_t user_offset;
};

// Distance of one pixel from its phase, or the no-distance marker when its
// planes give no defined result (fewer than two, or equal neighbours).
inline uint16_t drnu_pixel(const DrnuConst &k, size_t idx, int32_t phase) {
    const uint16_t *l = k.planes + idx * static_cast<size_t>(k.count);
    auto plane = [&](int32_t p) { return static_cast<int32_t>(l[p]); };
    const int32_t last = k.count - 1;
    const auto h = static_cast<int32_t>(static_cast<float>(phase) - k.drift_ph);
    const int32_t l0 = plane(0);
    const int32_t ll = plane(last);
    int32_t kk = 0;
    if (h < l0) {
        kk = 0;
    } else if (h < ll) {
        // Both operands are below 2^24, so the float quotient truncates to
        // the exact integer quotient (and a division unit is not needed).
        kk =
            static_cast<int32_t>(static_cast<float>(last * (h - l0)) / static_cast<float>(ll - l0));
    } else {
        kk = last - 1;
    }
    const int32_t lower = plane(kk);
    const int32_t upper = plane(kk + 1);
    if (upper == lower) return static_cast<uint16_t>(KAVRI_DIST_NO_DIST);
    const auto q = static_cast<int32_t>(k.step * static_cast<float>(kk) +
                                        static_cast<float>(h - lower) * k.step /
                                            static_cast<float>(upper - lower));
    const int64_t ph = static_cast<int64_t>(k.box_phase) + q;
    // Arithmetic shift: a phase before the first plane stays a small negative
    // distance and wraps into the range like every other.
    const auto v = static_cast<int32_t>((ph * k.range) >> kPhaseBits) + k.user_offset;
    return static_cast<uint16_t>(wrap_range(v, static_cast<int32_t>(k.range)));
}

// One block of pixels starting at pixel first.
void drnu_block(const DrnuConst &k, bool defined, size_t first, int32_t cnt, const PixelBlock &blk,
                uint16_t *dist, uint16_t *amp) {
    for (int32_t i = 0; i < cnt; ++i) {
        const size_t idx = first + static_cast<size_t>(i);
        const bool bad = blk.invalid[i] != 0;
        amp[idx] = bad ? 0 : static_cast<uint16_t>(blk.amp[i]);
        dist[idx] = bad || !defined ? static_cast<uint16_t>(KAVRI_DIST_NO_DIST)
                                    : drnu_pixel(k, idx, blk.phase[i]);
    }
}

}  // namespace
}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t calc_dist_calib_drnu(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                                  const uint16_t *src, uint32_t width,
                                                  uint32_t height, uint32_t count) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr || dist == nullptr || amp == nullptr ||
        src == nullptr || !frame_shape_ok(width, height, count))
        return 0;
    const size_t n = size_t{width} * height;
    std::lock_guard lock(st->calib_lock);
    const CalibInfo &c = *st->calib;
    // The planes cover one 320 x 240 image.
    if (c.drnu == nullptr || n > kCalibPixels) return 0;
    DrnuConst k{};
    k.planes = c.drnu.get();
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
    const bool defined = k.count >= 2;
    for_each_block(src, n, [&](size_t first, int32_t cnt, const PixelBlock &blk) {
        drnu_block(k, defined, first, cnt, blk, dist, amp);
    });
    return 1;
}
