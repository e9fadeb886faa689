// The EPC driver's filter switch: processing steps on and off, with their
// arguments.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "drv/epc_calc.h"
#include "drv/epc_io.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "core/log_internal.h"

namespace {

template <typename T>
T arg_as(const void *arg) {
    T v{};
    if (arg != nullptr) std::memcpy(&v, arg, sizeof v);
    return v;
}

constexpr uint16_t kTemporalWeightMin = 1;

// Which switches change the images the temporal filter averages: all but the
// filter itself and the temperature monitor, which only logs.
bool restarts_history(uint32_t filter_id) {
    return filter_id != KAVRI_FILTER_TEMPORAL && filter_id != KAVRI_FILTER_TEMP_MONITOR;
}

}  // namespace

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t epc_filter_enable(kavri_drv_t *drv, uint32_t filter_id,
                                               const void *arg, uint32_t) {
    State *st = state_of(drv);
    if (st == nullptr) return 0;
    std::lock_guard lock(st->lock);
    if (restarts_history(filter_id)) st->temporal.restart();
    switch (filter_id) {
        case KAVRI_FILTER_UNDISTORT:
            st->undistort_en = 1;
            break;
        case KAVRI_FILTER_CALIB:
            st->calib_en = 1;
            return kavri::epc::calc_calib_loaded(drv);
        case KAVRI_FILTER_SMOOTH:
            st->smooth_en = 1;
            st->smooth_level = arg_as<uint8_t>(arg);
            break;
        case KAVRI_FILTER_AMP_MIN:
            st->amp_min_en = 1;
            st->amp_min = arg_as<uint16_t>(arg);
            break;
        case KAVRI_FILTER_AUTO_INTG:
            st->auto_intg_en = 1;
            st->sat_ratio = arg_as<uint16_t>(arg);
            break;
        case KAVRI_FILTER_SYNC_CHECK:
            st->sync_check_en = 1;
            st->sync_value = arg_as<int16_t>(arg);
            break;
        case KAVRI_FILTER_TEMP_MONITOR:
            st->temp_monitor_en = 1;
            st->temp_arg = arg_as<uint16_t>(arg);
            break;
        case KAVRI_FILTER_HDR:
            st->hdr_en = 1;
            break;
        case KAVRI_FILTER_OFFSET: {
            const auto mm = arg_as<int32_t>(arg);
            if (mm != st->user_offset_mm)
                KV_DBG("[%s] offset_mm: %d -> %d\n", __func__, st->user_offset_mm, mm);
            st->offset_en = 1;
            st->user_offset_mm = mm;
            break;
        }
        case KAVRI_FILTER_TEMPORAL: {
            const auto weight = arg_as<uint16_t>(arg);
            if (weight < kTemporalWeightMin || weight > Temporal::kWeightOff) {
                KV_ERR("[%s] temporal weight %u out of 1..1000\n", __func__, weight);
                return 0;
            }
            Temporal &t = st->temporal;
            if (!t.on) t.restart();
            t.weight = weight;
            t.on = weight < Temporal::kWeightOff;
            if (!t.on) t.release();
            break;
        }
        default:
            break;
    }
    return 1;
}

extern "C" KAVRI_API uint8_t epc_filter_disable(kavri_drv_t *drv, uint32_t filter_id) {
    State *st = state_of(drv);
    if (st == nullptr) return 0;
    std::unique_lock lock(st->lock);
    if (restarts_history(filter_id)) st->temporal.restart();
    switch (filter_id) {
        case KAVRI_FILTER_UNDISTORT:
            st->undistort_en = 0;
            break;
        case KAVRI_FILTER_CALIB:
            st->calib_en = 0;
            break;
        case KAVRI_FILTER_SMOOTH:
            st->smooth_en = 0;
            st->smooth_level = 0;
            break;
        case KAVRI_FILTER_AMP_MIN:
            st->amp_min_en = 0;
            std::vector<uint8_t>().swap(st->amp_state);
            break;
        case KAVRI_FILTER_AUTO_INTG:
            st->auto_intg_en = 0;
            st->sat_ratio = 0;
            break;
        case KAVRI_FILTER_SYNC_CHECK:
            st->sync_check_en = 0;
            break;
        case KAVRI_FILTER_TEMP_MONITOR:
            st->temp_monitor_en = 0;
            break;
        case KAVRI_FILTER_HDR: {
            st->hdr_en = 0;
            lock.unlock();  // no command under the state lock
            const uint8_t zero[2] = {0, 0};
            param_write(drv, KAVRI_PARAM_INTG_TIME2, zero, sizeof zero);
            break;
        }
        case KAVRI_FILTER_OFFSET:
            st->offset_en = 0;
            break;
        case KAVRI_FILTER_TEMPORAL:
            st->temporal.on = false;
            st->temporal.weight = Temporal::kWeightOff;
            st->temporal.release();
            break;
        default:
            break;
    }
    return 1;
}
