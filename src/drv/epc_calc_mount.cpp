// Mounting a calibration block: header repair, planes to phase units, and the
// global scale/offset fit used by the simple distance calculation.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/le.h"
#include "drv/epc_calc_load.h"
#include "drv/epc_calc.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "core/log_internal.h"
#include "param/param_format.h"

namespace kavri::epc {
namespace {

namespace dh = param::drv_hdr;
constexpr int16_t kMinIbTemp = 1;
constexpr int32_t kDefaultValueScale = 30000;
constexpr uint32_t kFitSkipColumn = kDefaultWidth - 1;  // the last column is left out
constexpr float kMmPerCm = 10.0f;
constexpr int32_t kUmPerMm = 1000;

// Integer mean of a plane over the fit pixels; values(i) gives pixel i.
template <typename Values>
uint32_t fit_mean(Values values) {
    uint64_t sum = 0;
    uint32_t cnt = 0;
    for (uint32_t i = 0; i < kCalibPixels; ++i) {
        if (i % kDefaultWidth == kFitSkipColumn) continue;
        sum += values(i);
        ++cnt;
    }
    return static_cast<uint32_t>(sum / cnt);
}

// Bounds that keep what the file says convertible to whole micrometres and
// millimetres: no calibration box is a kilometre long.
constexpr float kMaxBoxLenCm = 100000.0f;
constexpr float kMaxFitScale = 1.0e6f;     // x 1000 stays inside int32
constexpr float kMaxFitOffsetMm = 1.0e9f;  // inside int32

struct Fit {
    float scale;
    float offset;
};

// The scale/offset that maps plane 0 to the box and the middle plane to its
// header distance.
Fit fit_scale_offset(uint32_t mod_freq, float box_len_cm, uint32_t m0, uint32_t m_mid,
                     int32_t mid_dist_um) {
    const auto r = static_cast<float>(kHalfLightSpeedMmPerS / mod_freq);
    const auto box = static_cast<float>(static_cast<int32_t>(kMmPerCm * box_len_cm));
    const float p0 = static_cast<float>(m0) * r / static_cast<float>(kPhaseFull);
    const float pm = static_cast<float>(m_mid) * r / static_cast<float>(kPhaseFull);
    const auto target = static_cast<float>(
        static_cast<int32_t>(static_cast<float>(mid_dist_um / kUmPerMm) + kMmPerCm * box_len_cm));
    const float f = (target - box) / (pm - p0);
    return {f, box - p0 * f};
}

// Header repair, then the planes to phases. False when the payload does not
// hold the planes the header announces.
bool take_planes(CalibInfo &c) {
    uint8_t *h = c.drv_hdr;
    const int16_t cb = le::get_s16(h + dh::kCbTemp);
    const int16_t ib = le::get_s16(h + dh::kIbTemp);
    if (ib < kMinIbTemp) {
        KV_WRN("[%s] wrong IB calib temp %d\n", "epc_calc_mount_calib", ib);
        le::put_u16(h + dh::kIbTemp, static_cast<uint16_t>(cb));
    }
    if (le::get_s32(h + dh::kWidth) == 0) le::put_u32(h + dh::kWidth, kDefaultWidth);
    if (le::get_s32(h + dh::kHeight) == 0) le::put_u32(h + dh::kHeight, kDefaultHeight);
    if (le::get_s32(h + dh::kValueScale) == 0)
        le::put_u32(h + dh::kValueScale, static_cast<uint32_t>(kDefaultValueScale));
    const int32_t scale = le::get_s32(h + dh::kValueScale);
    const int64_t width = le::get_s32(h + dh::kWidth);
    const int64_t height = le::get_s32(h + dh::kHeight);
    const uint32_t planes = h[dh::kPlanes];
    if (scale < 0 || width < 0 || height < 0 || c.payload_bytes < planes * kPlaneBytes) {
        KV_ERR("[%s] calib block does not hold %u planes of scale %d: %zu bytes\n",
               "epc_calc_mount_calib", planes, scale, c.payload_bytes);
        return false;
    }
    // The planes cover one 320 x 240 image whatever the header says.
    const auto scaled = static_cast<uint32_t>(std::min<int64_t>(width * height, kCalibPixels));
    const bool rescale = scale != kPhaseFull;
    if (rescale) KV_TRC("[%s] scale %d -> %d\n", "epc_calc_mount_calib", scale, kPhaseFull);
    c.drnu.reset(new (std::nothrow) uint16_t[size_t{planes} * kCalibPixels + 1]);
    if (c.drnu == nullptr) {
        KV_ERR("[%s] malloc failed\n", "epc_calc_mount_calib");
        std::exit(-3);
    }
    c.plane_dist_um.assign(planes, 0);
    // Plane-major, as in the file: a frame reads the first and last plane
    // whole and, of the others, mostly the bracketing pair its scene needs,
    // so far fewer bytes than all planes of every pixel.
    for (uint32_t p = 0; p < planes; ++p) {
        const uint8_t *plane = c.payload.get() + size_t{p} * kPlaneBytes;
        c.plane_dist_um[p] = le::get_s32(plane);
        const uint8_t *in = plane + kPlaneHdrBytes;
        uint16_t *out = c.drnu.get() + size_t{p} * kCalibPixels;
        for (uint32_t i = 0; i < kCalibPixels; ++i) {
            const uint64_t v = le::get_u16(in + 2 * i);
            out[i] = rescale && i < scaled
                         ? static_cast<uint16_t>(v * kPhaseFull / static_cast<uint32_t>(scale))
                         : static_cast<uint16_t>(v);
        }
    }
    c.payload.reset();
    c.payload_bytes = 0;
    c.normalised = true;
    return true;
}

void set_defaults(State &st) {
    st.calib->scale_um = kDefaultScaleUm;
    st.calib->offset_mm = kDefaultOffsetMm;
}

int32_t mount_failed(State &st) {
    release_calib_block(*st.calib);
    set_defaults(st);
    KV_DBG("[%s] No calib data : freq=%d. Use default scale_um/offset_mm = %d/%d\n",
           "epc_calc_mount_calib", st.mod_freq, st.calib->scale_um, st.calib->offset_mm);
    return -1;
}

}  // namespace
}  // namespace kavri::epc

using namespace kavri::epc;
using kavri::le::get_s16;
using kavri::le::get_u32;
namespace dh = kavri::param::drv_hdr;

namespace kavri::epc {

uint8_t calc_init(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr) return 0;
    auto *c = new (std::nothrow) CalibInfo;
    if (c == nullptr) return 0;
    st->calib.reset(c);
    return 1;
}

void calc_unmount_clib(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr) return;
    CalibInfo &c = *st->calib;
    if (c.drnu != nullptr || c.payload != nullptr)
        KV_DBG("[%s] Calib data unload [freq=%d]\n", "epc_calc_unmount_clib",
               static_cast<int>(get_u32(c.drv_hdr + dh::kFreq)));
    release_calib_block(c);
}

void calc_uninit(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr) return;
    calc_unmount_clib(drv);
    st->calib.reset();
}

uint8_t calc_calib_loaded(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr || st->calib->drnu == nullptr) return 0;
    return get_u32(st->calib->drv_hdr + dh::kFreq) == st->mod_freq ? 1 : 0;
}

int32_t calc_mount_calib(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr) return -1;
    KV_TRC("[%s] Mount\n", "epc_calc_mount_calib");
    if (!load_calib_block(*st, st->mod_freq)) return mount_failed(*st);
    CalibInfo &c = *st->calib;
    const uint32_t freq = get_u32(c.drv_hdr + dh::kFreq);
    // A block for frequency 0 cannot be placed in any range.
    if (freq == 0) return mount_failed(*st);
    if (!c.normalised && !take_planes(c)) return mount_failed(*st);

    c.box_len_cm = std::bit_cast<float>(get_u32(c.drv_hdr + dh::kBoxLenCm));
    // The box length comes from the file as a float: a damaged one (NaN, huge,
    // not positive) cannot become millimetres and refuses the block.
    if (!std::isfinite(c.box_len_cm) || c.box_len_cm <= 0.0f || c.box_len_cm > kMaxBoxLenCm) {
        KV_WRN("[%s] wrong box length in calibration block: %f cm\n", "epc_calc_mount_calib",
               static_cast<double>(c.box_len_cm));
        return mount_failed(*st);
    }
    // Only a block that is taken chooses the frequency: a refused one changes nothing.
    if (st->mod_freq == 0) st->mod_freq = freq;
    c.cb_temp = get_s16(c.drv_hdr + dh::kCbTemp);
    c.ib_temp = get_s16(c.drv_hdr + dh::kIbTemp);
    c.planes = c.drv_hdr[dh::kPlanes];
    c.step_mm = c.planes >= 2 ? c.plane_dist_um[1] / 1000 : 0;

    set_defaults(*st);
    if (c.planes >= 1) {
        const uint16_t *v = c.drnu.get();
        const auto mid = static_cast<size_t>(c.planes / 2);
        const uint16_t *mid_plane = v + mid * kCalibPixels;
        const Fit fit = fit_scale_offset(
            st->mod_freq, c.box_len_cm, fit_mean([v](uint32_t i) { return v[i]; }),
            fit_mean([mid_plane](uint32_t i) { return mid_plane[i]; }), c.plane_dist_um[mid]);
        KV_TRC("[%s] calib scale/offset = %.3f/%.3f\n", "epc_calc_mount_calib", fit.scale,
               fit.offset);
        // Planes that do not spread (a single plane, or all alike) fit nothing:
        // the default scale and offset stay.
        if (std::isfinite(fit.scale) && std::isfinite(fit.offset) &&
            std::fabs(fit.scale) < kMaxFitScale && std::fabs(fit.offset) < kMaxFitOffsetMm) {
            c.scale_um = static_cast<int32_t>(1000.0f * fit.scale);
            c.offset_mm = round_away(fit.offset);
        }
    }
    st->box_mm = static_cast<int32_t>(10.0f * c.box_len_cm);
    const uint32_t range = range_for(st->mod_freq);
    st->box_phase = range == 0 ? 0 : (static_cast<uint32_t>(st->box_mm) << kPhaseBits) / range;
    KV_DBG(
        "[%s] Calib data loaded [freq=%d]: box_len: %.1f cm, temp: cb=%d, ib=%d, step mm = %u, "
        "scale_um/offset_mm = %d/%d\n",
        "epc_calc_mount_calib", static_cast<int>(freq), static_cast<double>(c.box_len_cm),
        c.cb_temp, c.ib_temp, static_cast<unsigned>(c.step_mm), c.scale_um, c.offset_mm);
    return 1;
}

extern "C" KAVRI_API void _calc_scale_offset(kavri_drv_t *drv, float *scale, float *offset,
                                             const uint8_t *plane0, const uint8_t *plane_mid) {
    State *st = state_of(drv);
    if (st == nullptr || st->calib == nullptr || scale == nullptr || offset == nullptr ||
        plane0 == nullptr || plane_mid == nullptr || st->mod_freq == 0)
        return;
    const uint8_t *v0 = plane0 + kPlaneHdrBytes;
    const uint8_t *vm = plane_mid + kPlaneHdrBytes;
    const Fit fit =
        fit_scale_offset(st->mod_freq, st->calib->box_len_cm,
                         fit_mean([v0](uint32_t i) { return kavri::le::get_u16(v0 + 2 * i); }),
                         fit_mean([vm](uint32_t i) { return kavri::le::get_u16(vm + 2 * i); }),
                         kavri::le::get_s32(plane_mid));
    *scale = fit.scale;
    *offset = fit.offset;
}

}  // namespace kavri::epc

extern "C" KAVRI_API uint8_t epc_calc_init(kavri_drv_t *drv) {
    return kavri::epc::calc_init(drv);
}

extern "C" KAVRI_API void epc_calc_unmount_clib(kavri_drv_t *drv) {
    kavri::epc::calc_unmount_clib(drv);
}

extern "C" KAVRI_API void epc_calc_uninit(kavri_drv_t *drv) {
    kavri::epc::calc_uninit(drv);
}

extern "C" KAVRI_API uint8_t epc_calc_calib_loaded(kavri_drv_t *drv) {
    return kavri::epc::calc_calib_loaded(drv);
}

extern "C" KAVRI_API int32_t epc_calc_mount_calib(kavri_drv_t *drv) {
    return kavri::epc::calc_mount_calib(drv);
}
