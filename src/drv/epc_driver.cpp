// EPC driver life cycle: state set-up and release, sensor programming, the
// modulation frequency and the calibration mount at open.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "api/dev_cmd.h"
#include "core/le.h"
#include "drv/epc_calc.h"
#include "drv/epc_io.h"
#include "drv/epc_lens.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "drv/lens_map.h"
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/calib_pkg.h"
#include "param/param.h"

namespace kavri::epc {
namespace {

// Sensor set-up written at every init.
constexpr uint32_t kRegMode = 139;
constexpr uint32_t kRegModeValue = 2;
constexpr uint32_t kRegRoi = 113;  // three registers
constexpr uint32_t kRegClock = 174;
constexpr uint32_t kRegClockValue = 4;
constexpr uint32_t kRegPixelCfg[] = {34, 37, 40, 43};
constexpr uint32_t kPixelCfgBits = 0x30;

constexpr int32_t kExitNoMemory = -3;

void program_sensor(kavri_drv_t *drv) {
    uint32_t v = kRegModeValue;
    reg_rw(drv, 'w', kRegMode, 1, &v);
    uint32_t roi[3] = {0, 0, 0};
    reg_rw(drv, 'w', kRegRoi, 3, roi);
    v = kRegClockValue;
    reg_rw(drv, 'w', kRegClock, 1, &v);
    for (uint32_t reg : kRegPixelCfg) {
        // A failed read still writes, with whatever the buffer holds.
        reg_rw(drv, 'r', reg, 1, &v);
        v |= kPixelCfgBits;
        reg_rw(drv, 'w', reg, 1, &v);
    }
}

// Whether the local parameter file is there, valid and not older than the
// camera's calibration.
bool local_param_current(kavri_drv_t *drv, const char *param_path) {
    constexpr const char *kTag = "epc_calib_save";
    kavri_param_t param{};
    bool valid = param::param_open_file(&param, param_path) != 0;
    if (!valid) return false;
    // Parameter 8 carries the package header of the camera's calibration.
    uint8_t pkg[kavri::param::kPkgHdrSize] = {};
    if (!param_read(drv, KAVRI_PARAM_INFO_CALIB, pkg, sizeof pkg)) {
        KV_ERR("[%s]  get PARAM_INFO_CALIB failed!\n", kTag);
        valid = false;
    } else {
        const uint32_t local_ts = le::get_u32(param.hdr + KAVRI_PARAM_HDR_OFF_TIMESTAMP);
        const kavri::param::PackageHeader dev = kavri::param::decode_package_header(pkg);
        const uint32_t dev_ts = dev.timestamp;
        if (dev.valid == 0) {
            KV_DBG("[%s]  No valid calib data on dev, use local cache!\n", kTag);
        } else if (local_ts < dev_ts) {
            KV_DBG("[%s] local param (ts=%u) is not up-to-date (dev ts=%u)\n", kTag, local_ts,
                   dev_ts);
            valid = false;
        }
    }
    param::param_close(&param);
    return valid;
}

bool param_file_opens(const char *path) {
    kavri_param_t param{};
    const bool ok = param::param_open_file(&param, path) != 0;
    if (ok) param::param_close(&param);
    return ok;
}

// The frequency change with its remount, then the derived constants; under
// the state lock.
void apply_mod_freq(kavri_drv_t *drv, State &st, uint32_t freq) {
    if (freq != st.mod_freq) {
        KV_DBG("[%s] MOD_FREQ change: %d -> %d HZ\n", "epc_event_freq_change",
               static_cast<int>(st.mod_freq), static_cast<int>(freq));
        st.mod_freq = freq;
        std::lock_guard lock(st.calib_lock);
        calc_unmount_clib(drv);
        calc_mount_calib(drv);
    }
    update_derived(st);
}

}  // namespace

void update_derived(State &st) {
    st.range_mm = range_for(st.mod_freq);
    if (st.range_mm == 0) {
        st.box_phase = 0;
        st.tcoef_sensor_ph = st.tcoef_ib_ph = 0.0f;
        return;
    }
    st.box_phase = (static_cast<uint32_t>(st.box_mm) << kPhaseBits) / st.range_mm;
    st.tcoef_sensor_ph = st.tcoef_sensor * kPhaseFull / static_cast<float>(st.range_mm);
    st.tcoef_ib_ph = st.tcoef_ib * kPhaseFull / static_cast<float>(st.range_mm);
}

}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t epc_init(kavri_drv_t *drv, kavri_dev_t *dev) {
    if (drv == nullptr) return 0;
    drv->dev = dev;
    // Each open device has its own driver record: a state found here is this
    // record's own, from an earlier init that was not undone.
    State *st = state_of(drv);
    if (st == nullptr) {
        st = new (std::nothrow) State;
        if (st == nullptr) {
            KV_ERR("[%s] malloc failed\n", __func__);
            std::exit(kExitNoMemory);
        }
        drv->priv = st;
        update_lens_param(dev == nullptr ? nullptr : dev->path);
        const kv_lens_param_t lens = lens_param();
        kavri::lens::calib_len_init_map(&st->len_map, &lens);
        if (!kavri::epc::calc_init(drv)) {
            KV_ERR("[%s] malloc failed\n", __func__);
            std::exit(kExitNoMemory);
        }
    } else {
        update_lens_param(dev == nullptr ? nullptr : dev->path);
        const kv_lens_param_t lens = lens_param();
        std::lock_guard lock(st->lock);
        kavri::lens::calib_len_update_map(&st->len_map, &lens);
    }
    ++st->users;
    program_sensor(drv);
    return 1;
}

extern "C" KAVRI_API void epc_uninit(kavri_drv_t *drv) {
    State *st = state_of(drv);
    if (st == nullptr) return;
    if (st->users > 1) {
        --st->users;
        return;
    }
    kavri::lens::calib_len_uninit_map(&st->len_map);
    {
        std::lock_guard lock(st->calib_lock);
        kavri::epc::calc_uninit(drv);
    }
    drv->priv = nullptr;
    delete st;
}

// The calculation keeps nothing of the integration time; the temporal
// filter's history starts afresh, as the noise and amplitude change with it.
extern "C" KAVRI_API void epc_update_intg_time(kavri_drv_t *drv, uint16_t, uint32_t) {
    if (State *st = state_of(drv); st != nullptr) st->temporal.restart();
}

extern "C" KAVRI_API void epc_update_mod_freq(kavri_drv_t *drv, uint32_t freq_hz, uint32_t) {
    State *st = state_of(drv);
    if (st == nullptr) return;
    std::lock_guard lock(st->lock);
    apply_mod_freq(drv, *st, freq_hz);
    st->temporal.restart();
}

extern "C" KAVRI_API int32_t epc_calib_save(kavri_drv_t *drv, int32_t, int32_t, int32_t) {
    State *st = state_of(drv);
    if (st == nullptr) return -1;
    char path[kParamPathSize] = {};
    if (drv->dev == nullptr ||
        kavri::param::get_param_absolute_name(drv->dev, path, sizeof path) == nullptr) {
        KV_ERR("[%s] cannot get param name!\n", __func__);
        return -1;
    }
    KV_TRC("[%s] param_name:%s\n", __func__, path);
    // The check, the pull and the frequency set-up are one command sequence;
    // the state lock is taken only around what the decode reads.
    kavri::api::CommandSequence commands(drv->dev);
    bool valid = local_param_current(drv, path);
    if (!valid) {
        KV_DBG("[%s] Try to load calib data from device\n", __func__);
        if (kavri::param::param_load_from_dev(drv->dev))
            valid = param_file_opens(path);
        else
            KV_TRC("[%s] Load calibration data from device failed\n", __func__);
    }
    uint32_t freq = kDefaultModFreqHz;
    {
        std::lock_guard lock(st->lock);
        std::memcpy(st->param_path, path, sizeof st->param_path);
        st->param_valid = valid ? 1 : 0;
        if (valid) {
            st->mod_freq = 0;
            {
                std::lock_guard calib(st->calib_lock);
                kavri::epc::calc_mount_calib(drv);
            }
            freq = st->mod_freq;
            if (freq == 0)
                freq = kDefaultModFreqHz;
            else
                st->calib_en = 1;
        }
    }
    if (valid) {
        uint8_t cur[4] = {};
        if (!param_read(drv, KAVRI_PARAM_MOD_FREQ, cur, sizeof cur) ||
            kavri::le::get_u32(cur) != freq) {
            uint8_t val[4];
            kavri::le::put_u32(val, freq);
            param_write(drv, KAVRI_PARAM_MOD_FREQ, val, sizeof val);
        }
    }
    std::lock_guard lock(st->lock);
    apply_mod_freq(drv, *st, freq);
    return 0;
}
