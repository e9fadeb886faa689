// Loading calibration from a simulated camera: the library started with its
// log file and working folder in a private temporary folder, one EPC camera
// that holds no package until the test gives it one, and checks at the end
// that every libusb object was given back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "camsim.h"
#include "common/sim_leak_check.h"
#include "kavri.h"
#include "param_test_util.h"

namespace kavri::param::test {

namespace fs = std::filesystem;

constexpr uint32_t kFrame = CAMSIM_CALIB_FRAME_BYTES;
constexpr uint32_t kHdr = CAMSIM_CALIB_HEADER_BYTES;

inline std::vector<uint8_t> read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<uint8_t> pattern_bytes(size_t n, uint8_t seed = 7) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 131 + (i >> 9));
    return b;
}

inline camsim_calib_header_t package_header(uint8_t payload_type = 0, uint32_t timestamp = 1) {
    camsim_calib_header_t h{};
    h.valid = 1;
    h.payload_type = payload_type;
    h.timestamp = timestamp;
    h.package_size = CAMSIM_CALIB_AUTO;
    h.payload_size = CAMSIM_CALIB_AUTO;
    return h;
}

class CalibOnSim : public ::testing::Test {
  protected:
    void SetUp() override {
        camsim_clear();
        ASSERT_EQ(kavri_init(dir_.file("kavri.log").c_str()), 1);
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
        ASSERT_EQ(kavri_path_cfg(work_prefix().c_str()), 0);
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.chip = CAMSIM_CHIP_E2;
        cfg.free_run = 0;
        cfg.noise = 0;
        cfg.drift_temperature = 0;
        cam_ = camsim_plug(&cfg);
        ASSERT_GE(cam_, 0);
        // No package at open: the driver's own load attempt finds nothing.
        ASSERT_EQ(camsim_calib_none(cam_), CAMSIM_OK);
    }

    void TearDown() override {
        close();
        kavri_uninit();
        kavri_testing::expect_nothing_left_behind();
        camsim_clear();
    }

    kavri_dev_t *open() {
        dev_ = kavri_dev_t{};
        if (kavri_dev_open(&dev_) == nullptr) return nullptr;
        opened_ = true;
        return &dev_;
    }
    void close() {
        if (opened_) kavri_dev_close(&dev_);
        opened_ = false;
    }

    // The working folder lies one level below the temporary folder, so a
    // file written beside it shows an escape.
    std::string work_dir() const { return dir_.file("work"); }
    std::string work_prefix() const { return work_dir() + "/"; }
    std::string work_file(const std::string &name) const { return work_prefix() + name; }
    std::string param_file() {
        char name[KAVRI_PARAM_PATH_SIZE] = {};
        EXPECT_NE(kavri_get_param_absolute_name(&dev_, name, sizeof name), nullptr);
        return name;
    }
    bool param_file_valid() {
        kavri_param_t p{};
        const bool ok = kavri_param_open_file(&p, param_file().c_str()) != 0;
        if (ok) kavri_param_close(&p);
        return ok;
    }
    std::vector<std::string> work_listing() const {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(work_dir()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    uint8_t camera_mode() const {
        uint8_t v[18] = {}, len = 0;
        EXPECT_EQ(camsim_param_get(cam_, 0, v, &len), CAMSIM_OK);
        return v[0];
    }
    camsim_calib_stats_t calib_stats() const {
        camsim_calib_stats_t s{};
        EXPECT_EQ(camsim_calib_get_stats(cam_, &s), CAMSIM_OK);
        return s;
    }
    std::vector<uint8_t> camera_payload() const {
        const int n = camsim_calib_get(cam_, nullptr, 0, nullptr);
        std::vector<uint8_t> b(static_cast<size_t>(std::max(n, 0)));
        camsim_calib_get(cam_, b.data(), static_cast<uint32_t>(b.size()), nullptr);
        return b;
    }

    TempDir dir_;
    int cam_ = -1;
    kavri_dev_t dev_{};
    bool opened_ = false;
};

}  // namespace kavri::param::test
