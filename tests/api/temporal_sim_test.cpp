// The temporal filter and the confidence image on simulated cameras: noise
// averaged out of a static scene, a moving wall without a ghost, the history
// starting afresh at each change of settings, per device.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "camsim.h"
#include "camsim_calib.h"
#include "common/sim_param_file.h"
#include "kavri.h"

namespace {

constexpr uint32_t kW = 320, kH = 240, kN = kW * kH;
constexpr uint32_t kFrameBytes = kN * 8;
constexpr float kMaxDistM = 60.0f;

struct Stats {
    double median = 0, p99 = 0;
    size_t valid = 0;
};

bool has_distance(float d) {
    return d > 0.0f && d < kMaxDistM;
}

Stats abs_error(const std::vector<float> &got_m, const std::vector<float> &truth_mm) {
    std::vector<double> e;
    for (size_t i = 0; i < got_m.size(); ++i)
        if (has_distance(got_m[i])) e.push_back(std::fabs(got_m[i] * 1000.0 - truth_mm[i]));
    Stats s;
    s.valid = e.size();
    if (e.empty()) return s;
    std::sort(e.begin(), e.end());
    s.median = e[e.size() / 2];
    s.p99 = e[e.size() * 99 / 100];
    return s;
}

// Share of the valid pixels within tol_mm of the truth.
double share_within(const std::vector<float> &got_m, const std::vector<float> &truth_mm,
                    double tol_mm) {
    size_t valid = 0, near = 0;
    for (size_t i = 0; i < got_m.size(); ++i) {
        if (!has_distance(got_m[i])) continue;
        ++valid;
        near += std::fabs(got_m[i] * 1000.0 - truth_mm[i]) <= tol_mm;
    }
    return valid == 0 ? 0.0 : static_cast<double>(near) / static_cast<double>(valid);
}

struct Camera {
    int cam = -1;
    kavri_dev_t dev{};
    bool open = false, capturing = false;
};

class TemporalSim : public ::testing::Test {
  public:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "kv_temporal_sim_" + std::to_string(::getpid()) + "/";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        kavri_init(nullptr);
        kv_log_enable(0, KV_LOG_WRN, nullptr);
        kavri_path_cfg(dir_.c_str());
        camsim_clear();
    }
    void TearDown() override {
        for (Camera &c : cams_) {
            if (c.capturing) kavri_cap_stop(&c.dev);
            if (c.open) kavri_dev_close(&c.dev);
        }
        kavri_uninit();
        camsim_clear();
        std::filesystem::remove_all(dir_);
    }
    // Plugs `count` cameras alike (calibrated when asked) and opens them.
    void open_cameras(size_t count, const char *scene, bool noise, bool calibrated) {
        for (size_t k = 0; k < count; ++k) {
            camsim_camera_config_t cfg;
            camsim_camera_config_default(&cfg);
            cfg.noise = noise ? 1 : 0;
            std::snprintf(cfg.scene, sizeof cfg.scene, "%s", scene);
            cfg.free_run = 1;
            cfg.drift_temperature = 0;
            const int cam = camsim_plug(&cfg);
            ASSERT_GE(cam, 0);
            if (calibrated) {
                ASSERT_EQ(camsim_calib_use(cam, "bin"), 0);
                kavri_testing::place_param_file(cam, dir_);
            }
            cams_[k].cam = cam;
        }
        kavri_dev_t list[4] = {};
        ASSERT_EQ(kavri_dev_list(list, 4), static_cast<int>(count));
        for (size_t k = 0; k < count; ++k) {
            cams_[k].dev = list[k];
            ASSERT_NE(kavri_dev_open(&cams_[k].dev), nullptr);
            cams_[k].open = true;
            if (calibrated) {
                EXPECT_EQ(kavri_filter_enable(&cams_[k].dev, KAVRI_FILTER_CALIB, nullptr, 0), 1);
            }
        }
    }
    kavri_dev_t *dev(size_t k = 0) { return &cams_[k].dev; }
    bool set_param(size_t k, uint32_t id, uint32_t value, uint8_t len) {
        kavri_param_item_t item{};
        item.param_id = id;
        item.param_val_len = len;
        for (uint8_t i = 0; i < len; ++i)
            item.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
        return kavri_param_batch_set(dev(k), &item, 1) == 1;
    }
    void temporal(size_t k, uint16_t weight) {
        ASSERT_EQ(kavri_filter_enable(dev(k), KAVRI_FILTER_TEMPORAL, &weight, sizeof weight), 1);
    }
    // The next raw frame of camera k, with its camera frame index.
    bool grab(size_t k, std::vector<uint8_t> &raw, kavri_frame_info_t &info,
              uint32_t *index = nullptr) {
        Camera &c = cams_[k];
        if (!c.capturing) {
            if (kavri_cap_start(&c.dev) != 1) return false;
            c.capturing = true;
        }
        raw.assign(kFrameBytes, 0);
        kavri_frame_meta_t meta{};
        if (kavri_cap_get_frames_meta(&c.dev, 1, raw.data(), kFrameBytes, &info, &meta, 1) != 1)
            return false;
        if (index != nullptr) *index = meta.frame_idx;
        return true;
    }
    std::vector<float> distance(size_t k, const std::vector<uint8_t> &raw,
                                const kavri_frame_info_t &info) {
        std::vector<float> d(kN);
        EXPECT_EQ(kavri_frame_get_distance(dev(k), d.data(), kN, raw.data(),
                                           static_cast<uint32_t>(raw.size()), &info),
                  static_cast<int>(kN));
        return d;
    }
    std::vector<float> truth(size_t k = 0) {
        std::vector<float> t(kN);
        camsim_ground_truth(cams_[k].cam, t.data(), kN);
        return t;
    }

    std::string dir_;
    Camera cams_[2];
};

// Ten frames of the default scene at the camera's default settings: the
// filtered image is much closer to the truth than the first, unfiltered one.
// The worst percent are dark, far pixels whose own noise moves them by more
// than 50 mm from frame to frame, so the motion threshold is raised to 150 mm
// for them to be averaged.
TEST_F(TemporalSim, StaticSceneNoiseFallsOverTenFrames) {
    open_cameras(1, "default", true, true);
    temporal(0, 200);
    ASSERT_EQ(kavri_temporal_set(dev(), 150, KAVRI_TEMPORAL_HOLE_FRAMES_DEFAULT), 1);
    std::vector<uint8_t> raw;
    kavri_frame_info_t info{};
    const std::vector<float> t = truth();
    Stats first, tenth;
    for (int f = 0; f < 10; ++f) {
        ASSERT_TRUE(grab(0, raw, info));
        const Stats s = abs_error(distance(0, raw, info), t);
        if (f == 0) first = s;
        tenth = s;
    }
    std::printf(
        "[ temporal ] unfiltered: median %.2f mm p99 %.2f mm; ten frames at 200/1000: "
        "median %.2f mm p99 %.2f mm\n",
        first.median, first.p99, tenth.median, tenth.p99);
    EXPECT_LE(tenth.median, 5.0);
    EXPECT_LE(tenth.p99, first.p99 * 2.0 / 3.0);
    EXPECT_GT(tenth.valid, kN * 9 / 10);
}

// A wall jumps 200 mm nearer while the camera streams: the first frame that
// shows the new wall has no ghost of the old one. Without the motion
// threshold (the largest allowed) the same frame would still show the old
// wall, which shows the check can fail.
TEST_F(TemporalSim, WallThatJumpsLeavesNoGhost) {
    open_cameras(1, "wall:2000", false, true);
    temporal(0, 200);
    const auto first_after_jump = [&](const char *scene) {
        std::vector<uint8_t> raw;
        kavri_frame_info_t info{};
        for (int f = 0; f < 8; ++f) EXPECT_TRUE(grab(0, raw, info));
        // The frames up to the jump go through the filter as they come.
        distance(0, raw, info);
        uint16_t first = 0;
        EXPECT_EQ(camsim_set_scene(cams_[0].cam, scene, &first), CAMSIM_OK);
        for (int f = 0; f < 100; ++f) {
            uint32_t index = 0;
            EXPECT_TRUE(grab(0, raw, info, &index));
            const std::vector<float> d = distance(0, raw, info);
            if (static_cast<uint16_t>(index - first) < 0x8000u) return share_within(d, truth(), 10);
        }
        ADD_FAILURE() << "no frame of the new scene";
        return 0.0;
    };
    const double with_motion = first_after_jump("wall:1800");
    EXPECT_GE(with_motion, 0.99);
    ASSERT_EQ(kavri_temporal_set(dev(), 60000, 2), 1);
    const double without = first_after_jump("wall:2000");
    std::printf(
        "[ temporal ] first frame after a 200 mm jump within 10 mm: %.2f %% with the "
        "motion threshold, %.2f %% without\n",
        with_motion * 100, without * 100);
    EXPECT_LT(without, 0.5);
}

// Two cameras alike, only the first filtered: after each change of settings
// the first camera's next image equals the second's decode of the same raw
// frame (the history started afresh); without a change it does not.
TEST_F(TemporalSim, HistoryStartsAfreshAtEachChangeAndStaysPerDevice) {
    open_cameras(2, "default", true, false);
    temporal(0, 300);
    struct Change {
        const char *name;
        bool (*apply)(TemporalSim &, size_t k);
    };
    const Change changes[] = {
        {"nothing", [](TemporalSim &, size_t) { return true; }},
        {"capture restart",
         [](TemporalSim &s, size_t k) {
             if (k == 1) return true;
             s.cams_[0].capturing = false;  // the next grab starts it again
             kavri_cap_stop(s.dev(0));
             return true;
         }},
        {"frame rate",
         [](TemporalSim &s, size_t k) { return s.set_param(k, KAVRI_PARAM_FPS, 25, 4); }},
        {"integration time",
         [](TemporalSim &s, size_t k) { return s.set_param(k, KAVRI_PARAM_INTG_TIME, 380, 2); }},
        {"modulation frequency",
         [](TemporalSim &s, size_t k) {
             return s.set_param(k, KAVRI_PARAM_MOD_FREQ, 20000000, 4);
         }},
        {"another filter",
         [](TemporalSim &s, size_t k) {
             const uint16_t amp = 1;
             return kavri_filter_enable(s.dev(k), KAVRI_FILTER_AMP_MIN, &amp, sizeof amp) == 1;
         }},
    };
    std::vector<uint8_t> raw;
    kavri_frame_info_t info{};
    for (const Change &c : changes) {
        // Some history first; the second camera captures too, as its driver
        // corrects distances for the temperatures its own frames report.
        for (int f = 0; f < 3; ++f) {
            ASSERT_TRUE(grab(0, raw, info));
            distance(0, raw, info);
            ASSERT_TRUE(grab(1, raw, info));
        }
        ASSERT_TRUE(c.apply(*this, 0)) << c.name;
        ASSERT_TRUE(c.apply(*this, 1)) << c.name;
        ASSERT_TRUE(grab(0, raw, info)) << c.name;
        const std::vector<float> filtered = distance(0, raw, info);
        const std::vector<float> plain = distance(1, raw, info);
        if (std::string(c.name) == "nothing")
            EXPECT_NE(filtered, plain) << "the filter did nothing";
        else
            EXPECT_EQ(filtered, plain) << c.name;
    }
}

// Confidence: 0 where the decode has no distance, higher for the brighter of
// two pixels at the same distance, and the confident point cloud keeps
// exactly the pixels above the threshold.
TEST_F(TemporalSim, ConfidenceFollowsTheDecodeAndThresholdsThePointCloud) {
    open_cameras(1, "default", true, true);
    std::vector<uint8_t> raw;
    kavri_frame_info_t info{};
    ASSERT_TRUE(grab(0, raw, info));
    const std::vector<float> d = distance(0, raw, info);
    std::vector<uint8_t> conf(kN), plain(kN);
    ASSERT_EQ(kavri_frame_get_confidence(dev(), conf.data(), kN, raw.data(), kFrameBytes, &info,
                                         d.data(), kN),
              static_cast<int>(kN));
    ASSERT_EQ(kavri_frame_get_confidence(dev(), plain.data(), kN, raw.data(), kFrameBytes, &info,
                                         nullptr, 0),
              static_cast<int>(kN));
    std::vector<float> gray(kN);
    ASSERT_EQ(kavri_frame_get_gray(dev(), gray.data(), kN, raw.data(), kFrameBytes, &info),
              static_cast<int>(kN));
    size_t valid = 0, confident = 0;
    for (size_t i = 0; i < kN; ++i) {
        if (!has_distance(d[i]))
            EXPECT_EQ(conf[i], 0) << i;
        else
            EXPECT_EQ(conf[i], plain[i]) << i;
        // Without saturation the confidence is the amplitude, capped.
        if (gray[i] < 3000.0f && plain[i] != 0) {
            EXPECT_EQ(plain[i], std::min(255, static_cast<int>(gray[i]))) << i;
        }
        valid += has_distance(d[i]);
        confident += has_distance(d[i]) && conf[i] > 60;
    }
    ASSERT_GT(confident, 0u);
    ASSERT_LT(confident, valid);
    std::vector<float> pts(size_t{kN} * 3);
    EXPECT_EQ(kavri_frame_get_pcl_confident(dev(), pts.data(), kN * 3, d.data(), kN, conf.data(),
                                            kN, 60, kW, kH, nullptr),
              static_cast<int>(confident));
    EXPECT_EQ(kavri_frame_get_pcl_confident(dev(), pts.data(), kN * 3, d.data(), kN, conf.data(),
                                            kN - 1, 60, kW, kH, nullptr),
              0);
    EXPECT_EQ(kavri_frame_get_confidence(dev(), conf.data(), kN - 1, raw.data(), kFrameBytes, &info,
                                         nullptr, 0),
              0);
    // A description larger than the frame, and one of an absurd size, are refused.
    for (uint32_t width : {kW * 2, 0x01000000u}) {
        kavri_frame_info_t big = info;
        big.width = width;
        std::vector<uint8_t> room(size_t{kN} * 2);
        EXPECT_EQ(kavri_frame_get_confidence(dev(), room.data(), UINT32_MAX, raw.data(),
                                             kFrameBytes, &big, nullptr, 0),
                  0)
            << width;
    }
}

}  // namespace
