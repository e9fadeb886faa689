// Shared set-up of the camera API tests on the simulator: a clean bus per
// test, cameras plugged as the test wants them, handles closed at tear-down
// and a check that every libusb object was given back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/dev_priv.h"
#include "camsim.h"
#include "common/log_capture.h"
#include "common/sim_leak_check.h"
#include "kavri.h"

namespace kavri_api_test {

constexpr uint32_t kShortResetDelayMs = 20;
constexpr uint32_t kTiFrameBytes = 320 * 240 * 4;

inline camsim_camera_stats_t camera_stats(int cam) {
    camsim_camera_stats_t stats{};
    EXPECT_EQ(camsim_get_camera_stats(cam, &stats), CAMSIM_OK);
    return stats;
}

inline camsim_counters_t sim_counters() {
    camsim_counters_t c{};
    camsim_get_counters(&c);
    return c;
}

// Bounded poll of a condition another thread makes true.
inline bool eventually(const std::function<bool()> &pred,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return pred();
}

using kavri_testing::LogCapture;

class ApiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
        camsim_clear();
    }

    void TearDown() override {
        for (kavri_dev_t *dev : to_close_) kavri_dev_close(dev);
        kavri_dev_close(nullptr);
        kavri_testing::expect_nothing_left_behind();
        camsim_clear();
    }

    static camsim_camera_config_t config(uint8_t chip = CAMSIM_CHIP_T0) {
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.chip = chip;
        cfg.free_run = 1;
        cfg.noise = 0;
        cfg.fpn = 0;
        cfg.drift_temperature = 0;
        cfg.reset_delay_ms = kShortResetDelayMs;
        cfg.reboot_delay_ms = kShortResetDelayMs;
        return cfg;
    }

    int plug(const camsim_camera_config_t &cfg) {
        const int cam = camsim_plug(&cfg);
        EXPECT_GE(cam, 0);
        return cam;
    }
    int plug(uint8_t chip = CAMSIM_CHIP_T0) { return plug(config(chip)); }

    // Opens the first camera into a fixture-owned handle, closed at tear-down.
    kavri_dev_t *open_first() {
        handles_.emplace_back();
        kavri_dev_t *dev = &handles_.back();
        if (kavri_dev_open(dev) == nullptr) return nullptr;
        to_close_.push_back(dev);
        return dev;
    }

    kavri_dev_t *new_handle() {
        handles_.emplace_back();
        to_close_.push_back(&handles_.back());
        return &handles_.back();
    }

  private:
    std::deque<kavri_dev_t> handles_;
    std::vector<kavri_dev_t *> to_close_;
};

// ApiTest whose cameras' calibration is pulled into a folder of the test's
// own (the working path is put back at tear-down).
class ApiTestOwnCache : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        saved_path_ = kavri_path_get();
        std::filesystem::create_directories(dir_);
        kavri_path_cfg(dir_.c_str());
    }
    void TearDown() override {
        ApiTest::TearDown();
        kavri_path_cfg(saved_path_.c_str());
        std::filesystem::remove_all(dir_);
    }

  private:
    const std::string dir_ =
        ::testing::TempDir() + "kv_api_cache_" + std::to_string(::getpid()) + "/";
    std::string saved_path_;
};

}  // namespace kavri_api_test
