#include "cli/calib_state.h"

#include <cstring>

#include "cli/params.h"

namespace kavri::cli {
namespace {

// The calibration package header as the camera reports it in parameter 8.
constexpr size_t kPkgValid = 0;
constexpr size_t kPkgTimestamp = 6;
constexpr size_t kPkgSize = 10;
constexpr size_t kPathSize = KAVRI_PARAM_PATH_SIZE;  // prefix and name, whole

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

CalibState read_calib_state(kavri_dev_t *dev) {
    CalibState s;
    kavri_param_item_t item{};
    item.param_id = KAVRI_PARAM_INFO_CALIB;
    if (kavri_param_batch_get(dev, &item, 1) == 1) {
        s.camera_answered = true;
        s.camera_has_package = item.param_val[kPkgValid] == 1;
        s.camera_ts = item_u32(item, kPkgTimestamp);
        s.package_bytes = item_u32(item, kPkgSize);
    }
    char path[kPathSize] = {};
    if (kavri_get_param_absolute_name(dev, path, sizeof path) != nullptr) {
        s.cache_path = path;
        kavri_param_t param;
        std::memset(&param, 0, sizeof param);
        if (kavri_param_open_file(&param, path)) {
            s.cache_valid = kavri_param_is_valid(&param) != 0;
            s.cache_ts = le32(param.hdr + KAVRI_PARAM_HDR_OFF_TIMESTAMP);
            kavri_param_close(&param);
        }
    }
    return s;
}

std::string describe(const CalibState &s) {
    std::string out = "camera: ";
    if (!s.camera_answered)
        out += "did not answer";
    else if (s.camera_has_package)
        out += "holds a package (time stamp " + std::to_string(s.camera_ts) + ", " +
               std::to_string(s.package_bytes) + " bytes)";
    else
        out += "holds no package";
    out += "; cache: ";
    if (s.cache_path.empty())
        out += "name unknown";
    else if (!s.cache_valid)
        out += "none at " + s.cache_path;
    else
        out += s.cache_path + " (time stamp " + std::to_string(s.cache_ts) +
               (s.cache_current() ? ", current)" : ", older than the camera's)");
    return out;
}

}  // namespace kavri::cli
