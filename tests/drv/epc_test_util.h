// Shared pieces of the EPC driver tests: a driver record with its state but no
// camera, synthetic four-phase samples, calibration files from the simulator's
// generator, and a log catcher.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "drv/epc_state.h"
#include "common/log_capture.h"
#include "kavri/epc.h"
#include "kavri/log.h"

namespace epc_test {

constexpr uint32_t kW = 320, kH = 240, kN = kW * kH;

using kavri_testing::LogCapture;

// The four samples of one pixel for a phase (1/32768 period) and amplitude.
inline void samples_for(double phase, double amp, uint16_t d[4]) {
    const double a = 2.0 * M_PI * (phase - 16384.0) / 32768.0;
    const double c = amp * std::cos(a), s = amp * std::sin(a);
    auto clip = [](double v) {
        return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 4095L));
    };
    d[0] = clip(2048.0 - c);
    d[2] = clip(2048.0 + c);
    d[1] = clip(2048.0 - s);
    d[3] = clip(2048.0 + s);
}

// A raw frame (four sub-frames of n samples) with every pixel alike.
inline std::vector<uint16_t> uniform_frame(uint32_t n, double phase, double amp) {
    std::vector<uint16_t> f(size_t{n} * 4);
    uint16_t d[4];
    samples_for(phase, amp, d);
    for (uint32_t i = 0; i < n; ++i)
        for (size_t k = 0; k < 4; ++k) f[k * n + i] = d[k];
    return f;
}

// A driver record with an initialised EPC state and no camera behind it.
class Driver {
  public:
    Driver() {
        LogCapture quiet(KV_LOG_OFF);
        drv_.name = "EPC";
        drv_.chip_code = "E2";
        drv_.ops = &g_kavri_driver_op_epc;
        epc_init(&drv_, nullptr);
    }
    ~Driver() { epc_uninit(&drv_); }
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;
    kavri_drv_t *drv() { return &drv_; }
    kavri::epc::State &st() { return *kavri::epc::state_of(&drv_); }
    kavri::epc::CalibInfo &calib() { return *st().calib; }
    // Frequency without a calibration file behind it.
    void set_freq(uint32_t hz) { epc_update_mod_freq(&drv_, hz, 0); }
    // Mounts the parameter file at path as calib_load would, frequency 0.
    int32_t mount_file(const std::string &path) {
        std::snprintf(st().param_path, sizeof st().param_path, "%s", path.c_str());
        st().param_valid = 1;
        st().mod_freq = 0;
        const int32_t r = epc_calc_mount_calib(&drv_);
        epc_update_mod_freq(&drv_, st().mod_freq == 0 ? 12000000 : st().mod_freq, 0);
        return r;
    }

  private:
    kavri_drv_t drv_{};
};

// A file name in the test's temporary directory, removed at the end.
class TempFile {
  public:
    explicit TempFile(const std::string &stem) {
        path_ = ::testing::TempDir() + "epc_" + stem + "_" + std::to_string(::getpid()) + ".bin";
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

inline void write_bytes(const std::string &path, const std::vector<uint8_t> &b) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
    std::fclose(f);
}

}  // namespace epc_test
