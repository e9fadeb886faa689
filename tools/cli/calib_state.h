// Where the camera's calibration stands: what the camera holds, what the
// working folder caches, and whether the cache is current.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <string>

namespace kavri::cli {

// The camera's software version from which it can send its calibration.
inline constexpr uint16_t kMinSwVersionForCalib = 133;

struct CalibState {
    bool camera_answered = false;  // parameter 8 could be read
    bool camera_has_package = false;
    uint32_t camera_ts = 0, package_bytes = 0;
    std::string cache_path;  // empty when the name cannot be formed
    bool cache_valid = false;
    uint32_t cache_ts = 0;
    bool cache_current() const {
        return cache_valid && (!camera_has_package || cache_ts >= camera_ts);
    }
};

CalibState read_calib_state(kavri_dev_t *dev);
std::string describe(const CalibState &s);

}  // namespace kavri::cli
