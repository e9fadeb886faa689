// Several cameras of one model, and several threads on one camera: each
// device keeps its own driver state, commands on one device never mix, a
// close waits for the calls in progress, and filter switches land between
// frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "camsim_calib.h"
#include "common/sim_leak_check.h"
#include "common/sim_param_file.h"
#include "kavri.h"
#include "kavri/init.h"

namespace {

constexpr uint32_t kW = 320, kH = 240, kN = kW * kH;
constexpr uint32_t kEpcFrameBytes = kN * 8;
constexpr uint32_t kTiFrameBytes = kN * 4;
constexpr uint32_t kFreq20MHz = 20000000;

uint32_t u32_of(const uint8_t *p) {
    return p[0] | (p[1] << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

double median_valid_m(const std::vector<float> &d) {
    std::vector<float> v;
    for (float x : d)
        if (x > 0.0f && x < 60.0f) v.push_back(x);
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

class MultiDev : public ::testing::Test {
  protected:
    struct Cam {
        int id = -1;
        kavri_dev_t dev{};
        bool open = false;
        std::vector<uint8_t> raw;
        kavri_frame_info_t info{};
    };

    void SetUp() override {
        dir_ = ::testing::TempDir() + "kv_multi_" + std::to_string(::getpid()) + "/";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        kavri_init(nullptr);
        kv_log_enable(0, KV_LOG_OFF, nullptr);
        kavri_path_cfg(dir_.c_str());
        camsim_clear();
    }
    void TearDown() override {
        for (Cam &c : cams_)
            if (c.open) kavri_dev_close(&c.dev);
        kavri_uninit();
        kavri_testing::expect_nothing_left_behind();
        camsim_clear();
        std::filesystem::remove_all(dir_);
    }

    // Plugs a camera at the next port; EPC cameras find their parameter file
    // in the working path, as a previous pull would have left it.
    Cam &plug(uint8_t chip, const char *scene) {
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.chip = chip;
        cfg.noise = 0;
        cfg.free_run = 1;
        cfg.drift_temperature = 0;
        cfg.reset_delay_ms = 20;
        // Each camera has its own fixed pattern, so its calibration differs.
        cfg.seed = cams_.size() + 1;
        std::snprintf(cfg.scene, sizeof cfg.scene, "%s", scene);
        cams_.emplace_back();
        Cam &c = cams_.back();
        c.id = camsim_plug(&cfg);
        EXPECT_GE(c.id, 0);
        if (chip != CAMSIM_CHIP_T0) {
            EXPECT_EQ(camsim_calib_use(c.id, "bin"), CAMSIM_OK);
            kavri_testing::place_param_file(c.id, dir_);
        }
        return c;
    }
    // Opens the camera by its location (the one list entry at its port).
    bool open(Cam &c) {
        camsim_camera_info_t ci{};
        camsim_camera_info(c.id, &ci);
        kavri_dev_t list[8] = {};
        const int n = kavri_dev_list(list, 8);
        for (int i = 0; i < n; ++i) {
            kavri_usb_info_t u{};
            std::memcpy(&u, list[i].if_info, sizeof u);
            if (u.usb_port != ci.port) continue;
            c.dev = list[i];
            c.open = kavri_dev_open(&c.dev) != nullptr;
            return c.open;
        }
        return false;
    }
    bool grab(Cam &c, uint32_t bytes) {
        c.raw.assign(bytes, 0);
        return kavri_cap_snapshot(&c.dev, c.raw.data(), bytes, &c.info) == 1;
    }
    std::vector<float> distance(Cam &c) {
        std::vector<float> d(kN);
        EXPECT_EQ(kavri_frame_get_distance(&c.dev, d.data(), kN, c.raw.data(),
                                           static_cast<uint32_t>(c.raw.size()), &c.info),
                  static_cast<int>(kN));
        return d;
    }
    static bool set_param(kavri_dev_t *dev, uint32_t id, uint32_t value, uint8_t len) {
        kavri_param_item_t item{};
        item.param_id = id;
        item.param_val_len = len;
        for (uint8_t i = 0; i < len; ++i) item.param_val[i] = uint8_t(value >> (8 * i));
        return kavri_param_batch_set(dev, &item, 1) == 1;
    }
    static bool get_param(kavri_dev_t *dev, uint32_t id, uint8_t len, uint32_t &value) {
        kavri_param_item_t item{};
        item.param_id = id;
        item.param_val_len = len;
        if (kavri_param_batch_get(dev, &item, 1) != 1) return false;
        value = u32_of(item.param_val) & (len >= 4 ? 0xFFFFFFFFu : (1u << (8 * len)) - 1);
        return true;
    }
    // The median true radial distance of the camera's scene, in metres.
    static double truth_median_m(const Cam &c) {
        std::vector<float> t(kN);
        camsim_ground_truth(c.id, t.data(), kN);
        std::nth_element(t.begin(), t.begin() + kN / 2, t.end());
        return t[kN / 2] / 1000.0;
    }
    static uint32_t cam_param(int cam, uint8_t id) {
        uint8_t v[18] = {}, len = 0;
        camsim_param_get(cam, id, v, &len);
        return u32_of(v);
    }

    std::string dir_;
    std::deque<Cam> cams_;
};

TEST_F(MultiDev, TwoCamerasOfOneChipKeepTheirOwnDriverState) {
    Cam &a = plug(CAMSIM_CHIP_E2, "wall:1000");
    ASSERT_TRUE(open(a));
    ASSERT_TRUE(grab(a, kEpcFrameBytes));
    const std::vector<float> alone = distance(a);
    EXPECT_NEAR(median_valid_m(alone), truth_median_m(a), 0.03);

    Cam &b = plug(CAMSIM_CHIP_E2, "wall:2500");
    ASSERT_TRUE(open(b));
    EXPECT_NE(kavri_dev_get_drv(&a.dev), kavri_dev_get_drv(&b.dev));
    // A's unchanged raw frame decodes the same whatever B is or does.
    EXPECT_EQ(distance(a), alone);
    ASSERT_TRUE(set_param(&b.dev, KAVRI_PARAM_MOD_FREQ, kFreq20MHz, 4));
    const uint8_t smooth_off = 0;
    EXPECT_EQ(kavri_filter_enable(&b.dev, KAVRI_FILTER_SMOOTH, &smooth_off, 1), 1);
    EXPECT_EQ(distance(a), alone);
    ASSERT_TRUE(grab(b, kEpcFrameBytes));
    EXPECT_NEAR(median_valid_m(distance(b)), truth_median_m(b), 0.03);

    // Automatic integration on A steps A's integration time, not B's.
    const uint32_t a_intg = cam_param(a.id, KAVRI_PARAM_INTG_TIME);
    const uint32_t b_intg = cam_param(b.id, KAVRI_PARAM_INTG_TIME);
    const uint16_t sat_ratio = 100;
    ASSERT_EQ(kavri_filter_enable(&a.dev, KAVRI_FILTER_AUTO_INTG, &sat_ratio, 2), 1);
    distance(a);
    EXPECT_NE(cam_param(a.id, KAVRI_PARAM_INTG_TIME), a_intg);
    EXPECT_EQ(cam_param(b.id, KAVRI_PARAM_INTG_TIME), b_intg);

    // With B closed and freed, A captures and decodes (its automatic
    // integration and temperature monitor talk to A).
    kavri_dev_close(&b.dev);
    b.open = false;
    const uint32_t before = cam_param(a.id, KAVRI_PARAM_INTG_TIME);
    ASSERT_TRUE(grab(a, kEpcFrameBytes));
    distance(a);
    EXPECT_NE(cam_param(a.id, KAVRI_PARAM_INTG_TIME), before);
}

TEST_F(MultiDev, TiCamerasBesideAnEpcCamera) {
    Cam &t1 = plug(CAMSIM_CHIP_T0, "wall:800");
    Cam &t2 = plug(CAMSIM_CHIP_T0, "wall:1600");
    Cam &e = plug(CAMSIM_CHIP_E2, "wall:1200");
    ASSERT_TRUE(open(t1));
    ASSERT_TRUE(open(t2));
    ASSERT_TRUE(open(e));
    ASSERT_TRUE(grab(t1, kTiFrameBytes));
    ASSERT_TRUE(grab(t2, kTiFrameBytes));
    ASSERT_TRUE(grab(e, kEpcFrameBytes));
    EXPECT_NEAR(median_valid_m(distance(t1)), truth_median_m(t1), 0.03);
    EXPECT_NEAR(median_valid_m(distance(t2)), truth_median_m(t2), 0.03);
    EXPECT_NEAR(median_valid_m(distance(e)), truth_median_m(e), 0.03);
}

TEST_F(MultiDev, CommandsOfTwoThreadsOnOneDeviceDoNotMix) {
    Cam &c = plug(CAMSIM_CHIP_T0, "wall:1000");
    ASSERT_TRUE(open(c));
    ASSERT_TRUE(set_param(&c.dev, KAVRI_PARAM_FPS, 25, 4));
    ASSERT_TRUE(set_param(&c.dev, KAVRI_PARAM_INTG_TIME, 321, 2));
    constexpr int kReads = 300;
    std::atomic<int> bad{0};
    auto reader = [&](uint32_t id, uint8_t len, uint32_t want) {
        for (int i = 0; i < kReads; ++i) {
            uint32_t v = 0;
            if (!get_param(&c.dev, id, len, v) || v != want) ++bad;
        }
    };
    std::thread t1(reader, KAVRI_PARAM_FPS, 4, 25u);
    std::thread t2(reader, KAVRI_PARAM_INTG_TIME, 2, 321u);
    t1.join();
    t2.join();
    EXPECT_EQ(bad.load(), 0);
}

// A parameter read waiting on a control transfer that never completes: a
// close from another thread makes it return and frees nothing under it (the
// transport is closed only after the call has left: no transfer is left in
// flight on a closed handle, and the sanitizers see no use after free).
TEST_F(MultiDev, CloseWaitsForACommandInFlight) {
    Cam &c = plug(CAMSIM_CHIP_T0, "wall:1000");
    ASSERT_TRUE(open(c));
    ASSERT_EQ(camsim_inject(c.id, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), CAMSIM_OK);
    std::thread reader([&] {
        uint32_t v = 0;
        EXPECT_FALSE(get_param(&c.dev, KAVRI_PARAM_FPS, 4, v));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kavri_dev_close(&c.dev);
    c.open = false;
    EXPECT_EQ(c.dev.ll, nullptr);
    reader.join();
}

// The interface reset during a command waits for it, and during a capture
// ends the capture; the device works afterwards either way.
TEST_F(MultiDev, InterfaceResetDuringACommandAndACapture) {
    Cam &c = plug(CAMSIM_CHIP_T0, "wall:1000");
    ASSERT_TRUE(open(c));
    ASSERT_EQ(camsim_inject(c.id, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), CAMSIM_OK);
    std::thread reader([&] {
        uint32_t v = 0;
        get_param(&c.dev, KAVRI_PARAM_FPS, 4, v);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kavri_dev_reset(&c.dev, 3);
    reader.join();
    uint32_t fps = 0;
    EXPECT_TRUE(get_param(&c.dev, KAVRI_PARAM_FPS, 4, fps));

    ASSERT_EQ(kavri_cap_start(&c.dev), 1);
    constexpr int kMany = 1000000;  // more than can come before the reset
    std::atomic<int> got{0};
    std::thread fetcher([&] { got = kavri_cap_get_frames(&c.dev, kMany, nullptr, 0, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kavri_dev_reset(&c.dev, 3);
    fetcher.join();
    EXPECT_LT(got.load(), kMany);
    EXPECT_EQ(kavri_cap_is_ongoing(&c.dev), 0);
    ASSERT_TRUE(grab(c, kTiFrameBytes));
}

// Switches and another camera's open land between frames: a decode of one
// raw frame gives the same image each time, and nothing is freed under it.
TEST_F(MultiDev, FilterSwitchesAndOpensBesideARunningDecode) {
    Cam &a = plug(CAMSIM_CHIP_E2, "wall:1000");
    ASSERT_TRUE(open(a));
    ASSERT_TRUE(grab(a, kEpcFrameBytes));
    ASSERT_EQ(kavri_filter_enable(&a.dev, KAVRI_FILTER_UNDISTORT, nullptr, 0), 1);
    const std::vector<float> expected = distance(a);
    Cam &b = plug(CAMSIM_CHIP_E2, "wall:2000");

    std::atomic<bool> done{false};
    std::atomic<int> differing{0};
    std::thread decoder([&] {
        std::vector<float> d(kN);
        while (!done.load()) {
            kavri_frame_get_distance(&a.dev, d.data(), kN, a.raw.data(),
                                     static_cast<uint32_t>(a.raw.size()), &a.info);
            if (d != expected) ++differing;
        }
    });
    // The amplitude minimum goes on and off (its hysteresis state is freed
    // at each off) while the decode runs; 0 keeps the image unchanged.
    const uint16_t amp_min = 0;
    for (int i = 0; i < 200; ++i) {
        kavri_filter_enable(&a.dev, KAVRI_FILTER_AMP_MIN, &amp_min, 2);
        kavri_filter_disable(&a.dev, KAVRI_FILTER_AMP_MIN);
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(open(b));
        kavri_dev_close(&b.dev);
        b.open = false;
    }
    done = true;
    decoder.join();
    EXPECT_EQ(differing.load(), 0);
}

// Concurrent closes both return to a closed handle; a callback may close its
// device and open it again, and the new handle works.
TEST_F(MultiDev, ConcurrentClosesAndAReopenFromACallback) {
    Cam &c = plug(CAMSIM_CHIP_T0, "wall:1000");
    ASSERT_TRUE(open(c));
    ASSERT_EQ(kavri_cap_start(&c.dev), 1);
    std::thread waiter([&] { kavri_cap_wait(&c.dev, 0); });
    std::thread closer([&] { kavri_dev_close(&c.dev); });
    kavri_dev_close(&c.dev);
    EXPECT_EQ(c.dev.ll, nullptr);
    closer.join();
    waiter.join();
    EXPECT_EQ(c.dev.ll, nullptr);

    static std::atomic<int> reopened;
    reopened = -1;
    ASSERT_TRUE(open(c));
    kavri_cap_set_callback_on_frame_ready(&c.dev, [](kavri_dev_t *dev, kavri_frame_t *) {
        if (reopened.load() != -1) return;
        kavri_dev_close(dev);
        reopened = kavri_dev_open(dev) != nullptr ? 1 : 0;
    });
    ASSERT_EQ(kavri_cap_start(&c.dev), 1);
    kavri_cap_wait(&c.dev, 5000);
    EXPECT_EQ(reopened.load(), 1);
    uint32_t fps = 0;
    EXPECT_TRUE(get_param(&c.dev, KAVRI_PARAM_FPS, 4, fps));
    ASSERT_TRUE(grab(c, kTiFrameBytes));
}

}  // namespace
