// Raw four-phase frame to distance or gray image.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "drv/epc_calc.h"
#include "drv/epc_decode_steps.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "alg/filter.h"
#include "drv/lens_map.h"
#include "core/log_internal.h"

namespace kavri::epc {
namespace {

constexpr uint16_t kFormatNone = 0;
constexpr uint16_t kFormatFourPhase = 2;
constexpr uint16_t kFormatCalibData = 171;
constexpr uint32_t kSubFrames = 4;
constexpr uint8_t kMinSmoothLevel = 2;
constexpr int kHoleFlag = 0;
constexpr const char *kTag = "epc_frame_decode";

// Work images of the calling thread, kept between frames so that a decode
// allocates only when the image grows. Each thread has its own, so
// conversions on several threads never share them.
struct WorkBuffers {
    std::vector<uint16_t> a, t;
    bool reserve(size_t n) {
        try {
            if (a.size() < n) a.resize(n);
            if (t.size() < n) t.resize(n);
        } catch (const std::bad_alloc &) {
            return false;
        }
        return true;
    }
};
thread_local WorkBuffers t_work;

bool ensure_amp_state(State &st, size_t n) {
    if (st.amp_state.size() >= n) return true;
    try {
        st.amp_state.assign(n, 0);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed\n", "_feature_minamp_filter");
        std::exit(-3);
    }
    return true;
}

int32_t decode_distance(kavri_drv_t *drv, State &st, uint16_t *dst, const uint16_t *src, uint32_t w,
                        uint32_t h) {
    const size_t n = size_t{w} * h;
    if (!t_work.reserve(n)) {
        KV_ERR("[%s] malloc failed\n", kTag);
        return -1;
    }
    uint16_t *a = t_work.a.data();
    uint16_t *t = t_work.t.data();
    // Any pixel count: every pixel of the reported image is computed.
    const bool drnu = st.calib_en && calc_calib_loaded(drv) &&
                      dist_calib_drnu(drv, dst, a, src, w, h, kSubFrames, PixelCount::kAny);
    if (!drnu && !dist_calib_simple(drv, dst, a, src, w, h, kSubFrames, PixelCount::kAny))
        return -1;
    const auto iw = static_cast<int32_t>(w);
    const auto ih = static_cast<int32_t>(h);
    calc_dcs_sort(t, a, iw, ih);    // amplitude
    calc_dcs_sort(a, dst, iw, ih);  // distance
    uint16_t *d = a;
    uint16_t *m = t;
    if (st.hdr_en) merge_rows(d, m, w, h);
    if (st.amp_hyst_en) {
        ensure_amp_state(st, n);
        if (st.amp_min_en) amp_filter_hyst(d, m, st.amp_state.data(), n, st.amp_min, st.amp_hyst);
    } else if (st.amp_min_en) {
        amp_filter(d, m, n, st.amp_min);
    }
    uint16_t *r = d;
    uint16_t *o = m;  // the amplitude is no longer needed
    if (st.smooth_en && st.smooth_level >= kMinSmoothLevel) {
        filter::median2d_u16_k5(dst, d, iw, ih);
        filter::gauss2d_u16_k3(d, dst, iw, ih);
        if (st.flypix_en) {
            filter::flypix_u16_k3(dst, d, iw, ih, st.flypix_thr);
            filter::fhole_u16_k3(d, dst, iw, ih, kHoleFlag);
            r = d;
            o = dst;
        } else {
            filter::fhole_u16_k3(dst, d, iw, ih, kHoleFlag);
            r = dst;
            o = d;
        }
    }
    range_check(r, n, st.range_mm);
    temporal_apply(st.temporal, r, n);
    if (st.undistort_en && w == kDefaultWidth && h == kDefaultHeight) {
        lens::calib_len_undistort_u16(&st.len_map, o, static_cast<int32_t>(n), r, iw, ih, 0);
        r = o;
    }
    if (r != dst) std::memcpy(dst, r, n * sizeof(uint16_t));
    return static_cast<int32_t>(n * sizeof(uint16_t));
}

int32_t decode_gray(kavri_drv_t *drv, State &st, uint16_t *dst, const uint16_t *src, uint32_t w,
                    uint32_t h) {
    const size_t n = size_t{w} * h;
    if (!t_work.reserve(n)) {
        KV_ERR("[%s] malloc failed\n", kTag);
        return -1;
    }
    uint16_t *g = t_work.t.data();
    const auto iw = static_cast<int32_t>(w);
    const auto ih = static_cast<int32_t>(h);
    if (!gray(drv, dst, src, w, h, kSubFrames, PixelCount::kAny)) return -1;
    calc_dcs_sort(g, dst, iw, ih);
    if (st.hdr_en) merge_rows_gray(g, w, h);
    if (st.undistort_en && w == kDefaultWidth && h == kDefaultHeight)
        lens::calib_len_undistort_u16(&st.len_map, dst, static_cast<int32_t>(n), g, iw, ih, 0);
    else
        std::memcpy(dst, g, n * sizeof(uint16_t));
    return static_cast<int32_t>(n * sizeof(uint16_t));
}

// The confidence image: the gray path's geometry over the confidence of
// each pixel's samples.
int32_t decode_confidence(kavri_drv_t *drv, State &st, uint16_t *dst, const uint16_t *src,
                          uint32_t w, uint32_t h) {
    const size_t n = size_t{w} * h;
    if (!t_work.reserve(n)) {
        KV_ERR("[%s] malloc failed\n", kTag);
        return -1;
    }
    uint16_t *amp = t_work.a.data();
    uint16_t *conf = t_work.t.data();
    const auto iw = static_cast<int32_t>(w);
    const auto ih = static_cast<int32_t>(h);
    if (!gray(drv, amp, src, w, h, kSubFrames, PixelCount::kAny)) return -1;
    confidence_pass(conf, amp, src, n);
    calc_dcs_sort(amp, conf, iw, ih);
    if (st.hdr_en) merge_rows_gray(amp, w, h);
    if (st.undistort_en && w == kDefaultWidth && h == kDefaultHeight)
        lens::calib_len_undistort_u16(&st.len_map, dst, static_cast<int32_t>(n), amp, iw, ih, 0);
    else
        std::memcpy(dst, amp, n * sizeof(uint16_t));
    return static_cast<int32_t>(n * sizeof(uint16_t));
}

}  // namespace
}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API int32_t epc_frame_decode(kavri_drv_t *drv, void *dst, uint32_t dst_bytes,
                                              uint32_t kind, const uint16_t *src,
                                              uint32_t src_bytes, const kavri_frame_info_t *info) {
    State *st = state_of(drv);
    if (st == nullptr || info == nullptr || dst == nullptr || src == nullptr) return -1;
    if (info->frame_size < src_bytes) src_bytes = info->frame_size;
    PreDecode pre{};
    {
        std::lock_guard lock(st->lock);
        pre = PreDecode{st->auto_intg_en, st->hdr_en, st->sync_check_en, st->sat_ratio,
                        st->sync_value};
    }
    // Both checks may send commands, so they run before the state lock is taken.
    auto_intg(drv, *st, pre, src, src_bytes);
    switch (info->frame_format) {
        case kFormatNone:
            return -1;
        case kFormatCalibData:
            KV_INF("[%s] Calibration data frame,size:%d\n", kTag,
                   static_cast<int>(info->frame_size));
            return -1;
        case kFormatFourPhase:
            break;
        default:
            return -1;
    }
    const uint32_t w = info->width;
    const uint32_t h = info->height;
    const uint64_t n = uint64_t{w} * h;
    if (n == 0 || n > INT32_MAX / 8 || dst_bytes < n * 2 || src_bytes < n * 8) {
        KV_ERR("[%s] wrong data len: src=%d, dst=%d\n", kTag, static_cast<int>(src_bytes),
               static_cast<int>(dst_bytes));
        return -1;
    }
    if (pre.sync_check_en && !sync_check(drv, *st, pre.sync_value, src, n, src_bytes)) return -1;
    auto *out = static_cast<uint16_t *>(dst);
    // A filter switch, an offset, a frequency change or a mount from another
    // thread lands between two frames, never inside one.
    std::lock_guard lock(st->lock);
    if (kind == KAVRI_DECODE_DISTANCE) return decode_distance(drv, *st, out, src, w, h);
    if (kind == KAVRI_DECODE_GRAY) return decode_gray(drv, *st, out, src, w, h);
    if (kind == KAVRI_DECODE_CONFIDENCE) return decode_confidence(drv, *st, out, src, w, h);
    return -1;
}
