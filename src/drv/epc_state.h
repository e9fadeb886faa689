// The EPC driver's private state and its mounted calibration. One state per
// device: each open device has its own driver record.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "drv/epc_temporal.h"
#include "kavri/epc.h"
#include "kavri/param.h"
#include "kavri/types.h"

namespace kavri::epc {

constexpr uint32_t kDefaultWidth = 320;
constexpr uint32_t kDefaultHeight = 240;
constexpr uint32_t kCalibPixels = kDefaultWidth * kDefaultHeight;
constexpr size_t kDrvHdrBytes = 37;
constexpr size_t kPlaneHdrBytes = 20;
constexpr size_t kPlaneBytes = kPlaneHdrBytes + kCalibPixels * 2;  // 153620
constexpr int32_t kDefaultScaleUm = 1000;
constexpr int32_t kDefaultOffsetMm = -2000;
constexpr uint32_t kPhaseBits = 15;
constexpr int32_t kPhaseFull = 1 << kPhaseBits;  // one period
constexpr double kHalfLightSpeedMmPerS = 149896229000.0;
constexpr uint32_t kDefaultModFreqHz = 12000000;
// The parameter file's name: any name under the 255-character working path.
constexpr size_t kParamPathSize = KAVRI_PARAM_PATH_SIZE;

// The mounted calibration block.
struct CalibInfo {
    uint32_t reserved = 0;
    float box_len_cm = 0.0f;
    int32_t planes = 0;
    int32_t step_mm = 0;
    int32_t scale_um = kDefaultScaleUm;
    int32_t offset_mm = kDefaultOffsetMm;
    int16_t cb_temp = 0;
    int16_t ib_temp = 0;
    uint8_t drv_hdr[kDrvHdrBytes] = {};
    // The block payload as read from the file, until the mount has taken the
    // planes out of it.
    std::unique_ptr<uint8_t[]> payload;
    size_t payload_bytes = 0;
    // The planes as phases, pixel-major (the planes of pixel i at i x planes); null while
    // nothing is mounted. Built once per loaded block, so a repeated mount of
    // the same block does not normalise twice.
    std::unique_ptr<uint16_t[]> drnu;
    std::vector<int32_t> plane_dist_um;  // each plane header's distance
    bool normalised = false;             // drnu holds the planes of the loaded block
};

struct State {
    // The driver state lock: everything a decode reads (switches, arguments,
    // frequency, temperatures, the hysteresis state, the lens map, the
    // mounted calibration) changes only under it, and a decode holds it from
    // its first read to its last. Last in the device's lock order, above only
    // calib_lock: no command is sent while it is held.
    std::mutex lock;
    kv_calib_len_map_t len_map{};
    uint8_t calib_en = 0;
    uint8_t undistort_en = 0;
    uint8_t amp_min_en = 1;
    uint8_t auto_intg_en = 0;
    uint8_t sync_check_en = 0;
    uint8_t temp_monitor_en = 1;
    uint8_t hdr_en = 0;
    uint8_t smooth_en = 1;
    uint8_t offset_en = 1;
    uint8_t flypix_en = 1;
    uint8_t amp_hyst_en = 1;
    uint32_t flypix_thr = 90000;
    uint16_t amp_hyst = 10;
    uint16_t amp_min = 0;
    uint16_t sat_ratio = 0;
    int16_t sync_value = 0;
    uint16_t temp_arg = 75;
    int32_t user_offset_mm = 0;
    uint8_t smooth_level = 5;
    std::vector<uint8_t> amp_state;  // hysteresis on/off per pixel
    Temporal temporal;               // the temporal filter after the chain
    int16_t t_sensor = 0;
    int16_t t_ib = 0;
    float tcoef_sensor = 1.7f;
    float tcoef_ib = 0.33765f;
    int32_t box_mm = 295;
    uint32_t box_phase = 0;
    uint32_t range_mm = 0;
    float tcoef_sensor_ph = 0.0f;
    float tcoef_ib_ph = 0.0f;
    uint8_t param_valid = 0;
    std::mutex calib_lock;
    char param_path[kParamPathSize] = {};
    uint32_t mod_freq = 0;
    std::unique_ptr<CalibInfo> calib;
    // Inits on this record not yet undone (the state goes with the last).
    uint32_t users = 0;

    // Pacing of the driver's own commands, in seconds and microseconds of
    // the wall clock (0 s: never yet); atomics, read and written outside lock.
    std::atomic<int64_t> auto_intg_last_s{0};
    std::atomic<int64_t> auto_intg_last_us{0};
    std::atomic<int64_t> temp_report_last_s{0};
    std::atomic<int64_t> resync_last_s{0};
    // Frames the consistency check refused (each sent a resynchronisation).
    std::atomic<uint64_t> sync_refused{0};
};

// The settings the steps before the decode proper read, taken under the lock.
struct PreDecode {
    uint8_t auto_intg_en, hdr_en, sync_check_en;
    uint16_t sat_ratio;
    int16_t sync_value;
};

inline State *state_of(kavri_drv_t *drv) {
    return drv == nullptr ? nullptr : static_cast<State *>(drv->priv);
}

// Unambiguous range in mm at modulation frequency f (f taken as a float).
inline uint32_t range_for(uint32_t freq_hz) {
    if (freq_hz == 0) return 0;
    return static_cast<uint32_t>(kHalfLightSpeedMmPerS /
                                 static_cast<double>(static_cast<float>(freq_hz)));
}

// Distances in [-range, 2 range] folded into one period as the camera reports them.
inline int32_t wrap_range(int32_t v, int32_t range) {
    if (v < 0) return v + range;
    if (v > range) return v - range;
    return v;
}

// Rounding half away from zero.
inline int32_t round_away(float v) {
    return static_cast<int32_t>(std::round(v));
}

// Recomputes the range and the derived phase constants for the state's frequency.
void update_derived(State &st);

}  // namespace kavri::epc
