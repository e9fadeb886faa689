// A simulated camera's calibration parameter file placed in a working path as
// a previous download would have left it, so that an open there mounts the
// file instead of pulling the package from the camera. The camera must
// already serve a calibration (camsim_calib_use).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "camsim.h"
#include "camsim_calib.h"
#include "core/le.h"
#include "kavri.h"

namespace kavri_testing {

// Room for the largest calibration package the simulator makes.
inline constexpr uint32_t kSimCalibCapacity = 8u << 20;

// Writes cam's parameter file into dir (with a trailing '/') under the name
// the library looks for: kavri_param_<chip id ^ uid>.bin.
inline void place_param_file(int cam, const std::string &dir) {
    constexpr size_t kParamBytes = 18;
    constexpr size_t kChipIdOffset = 2;  // the chip id follows the chip info's header
    uint8_t chip[kParamBytes] = {}, uid[kParamBytes] = {}, len = 0;
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_CHIP_INFO, chip, &len), CAMSIM_OK);
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_UID, uid, &len), CAMSIM_OK);
    const auto id =
        static_cast<int32_t>(kavri::le::get_u32(chip + kChipIdOffset) ^ kavri::le::get_u32(uid));
    std::vector<uint8_t> file(kSimCalibCapacity);
    const int n = camsim_calib_get(cam, file.data(), kSimCalibCapacity, nullptr);
    ASSERT_GT(n, 0) << "camera " << cam << " serves no calibration";
    const std::string path = dir + "kavri_param_" + std::to_string(id) + ".bin";
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(file.data()), n);
    ASSERT_TRUE(out) << "cannot write " << path;
}

}  // namespace kavri_testing
