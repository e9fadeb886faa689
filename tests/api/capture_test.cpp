// The capture engine on the simulator: time limits, frame buffer sizing,
// delivery into the application's buffer and to the frame-ready callback.
#include <atomic>
#include <mutex>

#include "api/api_fixture.h"

namespace {

using namespace kavri_api_test;
using kavri::api::priv_of;

uint32_t frames_ready(kavri_dev_t *dev) {
    kv_stream_state_t st{};
    kv_stream_get_state(priv_of(dev)->stream, &st);
    return st.frames_ready;
}

class Capture : public ApiTest {
  protected:
    void open(camsim_camera_config_t cfg) {
        cam_ = plug(cfg);
        dev_ = open_first();
        ASSERT_NE(dev_, nullptr);
    }
    void SetUp() override { ApiTest::SetUp(); }
    int cam_ = -1;
    kavri_dev_t *dev_ = nullptr;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(16 * kTiFrameBytes);
};

TEST_F(Capture, TimeLimitFollowsTheFrameRateReadAtStart) {
    camsim_camera_config_t cfg = config();
    cfg.fps = 30;
    open(cfg);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    LogCapture log(KV_LOG_TRC);
    EXPECT_EQ(
        kavri_cap_get_frames(dev_, 10, buf_.data(), static_cast<uint32_t>(buf_.size()), nullptr),
        10);
    EXPECT_TRUE(log.has("frame_num = 10, timeout_msec=3330")) << log.text().substr(0, 2000);
}

TEST_F(Capture, FrameRateZeroCountsAsTwenty) {
    camsim_camera_config_t cfg = config();
    cfg.fps = 0;
    open(cfg);
    uint8_t zero[4] = {};
    ASSERT_EQ(camsim_param_set(cam_, KAVRI_PARAM_FPS, zero, 4), CAMSIM_OK);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    {
        LogCapture log(KV_LOG_TRC);
        EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 1);
        EXPECT_TRUE(log.has("frame_num = 1, timeout_msec=2150")) << log.text().substr(0, 2000);
    }
    // The rate stays 20 for the following calls.
    LogCapture log(KV_LOG_TRC);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 2);
    EXPECT_TRUE(log.has("frame_num = 2, timeout_msec=2300")) << log.text().substr(0, 2000);
}

TEST_F(Capture, FrameBufferSizeCountsNominalFrames) {
    open(config());
    ASSERT_EQ(kavri_cap_set_frame_buffer(dev_, nullptr, 2 * KAVRI_CAP_FRAME_BYTES), 1);
    void *p = reinterpret_cast<void *>(1);
    uint32_t size = 0;
    ASSERT_EQ(kavri_cap_get_frame_buffer(dev_, &p, &size), 1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(size, 2 * KAVRI_CAP_FRAME_BYTES);
    EXPECT_EQ(kavri_cap_start(dev_), 1);
    // Not while capturing.
    {
        LogCapture log(KV_LOG_ERR);
        EXPECT_EQ(kavri_cap_set_frame_buffer(dev_, nullptr, 5 * KAVRI_CAP_FRAME_BYTES), 0);
        EXPECT_TRUE(log.has("Set frame buffer is not allowed")) << log.text();
    }
    ASSERT_EQ(kavri_cap_stop(dev_), 1);
    ASSERT_EQ(kavri_cap_set_frame_buffer(dev_, nullptr, KAVRI_CAP_FRAME_BYTES - 1), 1);
    ASSERT_EQ(kavri_cap_get_frame_buffer(dev_, nullptr, &size), 1);
    EXPECT_EQ(size, 0u);
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_cap_start(dev_), 0);
    EXPECT_TRUE(log.has("capture buffer not set or size is not correct")) << log.text();
    log.text();
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 0);
    EXPECT_EQ(kavri_cap_set_frame_buffer(nullptr, nullptr, 0), 0);
}

TEST_F(Capture, FramesArriveIntactAndDescribed) {
    open(config());
    kavri_frame_info_t info{};
    ASSERT_EQ(kavri_cap_snapshot(dev_, buf_.data(), kTiFrameBytes, &info), 1);
    EXPECT_EQ(info.frame_size, kTiFrameBytes);
    EXPECT_EQ(info.width, 320u);
    EXPECT_EQ(info.height, 240u);
    EXPECT_EQ(info.pixel_width, 4);
    // Without noise every frame of the scene is the same.
    std::vector<uint8_t> truth(kTiFrameBytes);
    ASSERT_EQ(camsim_last_frame(cam_, truth.data(), kTiFrameBytes, nullptr, nullptr),
              static_cast<int>(kTiFrameBytes));
    EXPECT_EQ(std::memcmp(buf_.data(), truth.data(), kTiFrameBytes), 0);

    // And the TI driver turns them into metres.
    std::vector<float> dist(320 * 240);
    kavri_drv_t *drv = kavri_dev_get_drv(dev_);
    EXPECT_EQ(drv->ops->frame_decode(drv, dist.data(), dist.size() * 4, 1,
                                     reinterpret_cast<const uint16_t *>(buf_.data()), kTiFrameBytes,
                                     &info),
              320 * 240);
    std::vector<float> gt(320 * 240);
    ASSERT_EQ(camsim_ground_truth(cam_, gt.data(), gt.size()), 320 * 240);
    const size_t centre = 120 * 320 + 160;
    EXPECT_NEAR(dist[centre] * 1000.0f, gt[centre], 20.0f);
}

TEST_F(Capture, SnapshotOnAStoppedDeviceStartsAndStopsAroundOneFrame) {
    open(config());
    kavri_frame_info_t info{};
    EXPECT_EQ(kavri_cap_snapshot(dev_, buf_.data(), kTiFrameBytes, &info), 1);
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 0);
    const camsim_camera_stats_t s = camera_stats(cam_);
    EXPECT_EQ(s.stream_starts, 1u);
    EXPECT_EQ(s.stream_stops, 1u);
    EXPECT_EQ(info.frame_size, kTiFrameBytes);
    kavri_dev_t closed{};
    EXPECT_EQ(kavri_cap_snapshot(&closed, buf_.data(), kTiFrameBytes, &info), 0);
}

TEST_F(Capture, SnapshotFailsWhenTheStartIsRefused) {
    open(config());
    // The rate read, then the start command.
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 2, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_cap_snapshot(dev_, buf_.data(), kTiFrameBytes, nullptr), 0);
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 0);
    // The device still captures afterwards.
    EXPECT_EQ(kavri_cap_snapshot(dev_, buf_.data(), kTiFrameBytes, nullptr), 1);
}

// Records every frame-ready call.
struct FrameLog {
    std::mutex mutex;
    std::vector<kavri_frame_t> frames;
};
FrameLog *g_frame_log = nullptr;
void on_frame(kavri_dev_t *, kavri_frame_t *frame) {
    std::lock_guard lock(g_frame_log->mutex);
    g_frame_log->frames.push_back(*frame);
}

TEST_F(Capture, FourReadyFramesWithARequestForTwo) {
    for (const bool with_callback : {true, false}) {
        SCOPED_TRACE(with_callback ? "with callback" : "without callback");
        camsim_camera_config_t cfg = config();
        cfg.free_run = 0;
        cfg.fps = 60;
        cam_ = plug(cfg);
        dev_ = open_first();
        ASSERT_NE(dev_, nullptr);
        FrameLog log;
        g_frame_log = &log;
        kavri_cap_set_callback_on_frame_ready(dev_, with_callback ? on_frame : nullptr);
        ASSERT_EQ(kavri_cap_start(dev_), 1);
        ASSERT_TRUE(eventually([&] { return frames_ready(dev_) >= 4; }));
        ASSERT_EQ(camsim_set_pacing(cam_, 1, 0), CAMSIM_OK);  // the next one is far off
        const uint32_t ready = frames_ready(dev_);
        ASSERT_EQ(
            kavri_cap_get_frames(dev_, 2, buf_.data(), static_cast<uint32_t>(buf_.size()), nullptr),
            2);
        EXPECT_EQ(frames_ready(dev_), 0u);  // all of them were taken
        if (with_callback) {
            ASSERT_GE(log.frames.size(), ready);
            EXPECT_EQ(log.frames[0].frame_data, buf_.data());
            EXPECT_EQ(log.frames[1].frame_data, buf_.data() + kTiFrameBytes);
            for (size_t i = 2; i < log.frames.size(); ++i) {
                EXPECT_TRUE(log.frames[i].frame_data < buf_.data() ||
                            log.frames[i].frame_data >= buf_.data() + buf_.size())
                    << i;
                // In order; a slow host (sanitizers) may have seen the full
                // output list drop the oldest frames in between.
                const auto step = static_cast<uint16_t>(log.frames[i].frame_info.frame_idx -
                                                        log.frames[i - 1].frame_info.frame_idx);
                EXPECT_GE(step, 1) << i;
                EXPECT_LT(step, 1000) << i;
            }
        } else {
            EXPECT_TRUE(log.frames.empty());
        }
        kavri_dev_close(dev_);
        camsim_clear();
        g_frame_log = nullptr;
    }
}

TEST_F(Capture, GetFrameNeverWaits) {
    camsim_camera_config_t cfg = config();
    cfg.free_run = 0;
    cfg.fps = 1;
    open(cfg);
    EXPECT_EQ(kavri_cap_get_frame(dev_, buf_.data(), kTiFrameBytes, nullptr), -2);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    ASSERT_TRUE(eventually([&] { return frames_ready(dev_) >= 1; }));
    kavri_frame_info_t info{};
    EXPECT_EQ(kavri_cap_get_frame(dev_, buf_.data(), kTiFrameBytes, &info), 1);
    EXPECT_EQ(info.frame_size, kTiFrameBytes);
    // The next frame is a second away.
    EXPECT_EQ(kavri_cap_get_frame(dev_, buf_.data(), kTiFrameBytes, nullptr), 0);
}

TEST_F(Capture, BadArgumentsAndStoppedDevices) {
    open(config());
    EXPECT_EQ(kavri_cap_get_frames(dev_, 0, buf_.data(), kTiFrameBytes, nullptr), -1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, -3, buf_.data(), kTiFrameBytes, nullptr), -1);
    EXPECT_EQ(kavri_cap_get_frames(nullptr, 1, buf_.data(), kTiFrameBytes, nullptr), -1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), -2);
    EXPECT_EQ(kavri_cap_wait(dev_, 10), 0);
    EXPECT_EQ(kavri_cap_stop(dev_), 1);
    kavri_dev_t closed{};
    EXPECT_EQ(kavri_cap_stop(&closed), 0);
    EXPECT_EQ(kavri_cap_start(&closed), 0);
    EXPECT_EQ(kavri_cap_is_ongoing(&closed), 0);
}

TEST_F(Capture, RestartKeepsDelivering) {
    open(config());
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(kavri_cap_start(dev_), 1) << round;
        // A start on a running capture stops it first.
        ASSERT_EQ(kavri_cap_start(dev_), 1) << round;
        EXPECT_EQ(
            kavri_cap_get_frames(dev_, 3, buf_.data(), static_cast<uint32_t>(buf_.size()), nullptr),
            3)
            << round;
        ASSERT_EQ(kavri_cap_stop(dev_), 1);
    }
    EXPECT_EQ(camera_stats(cam_).stream_starts, 10u);
}

}  // namespace
