// Automatic reconnect on the simulator: a handle whose camera leaves the bus
// waits for it, takes it back at any port with the application's settings,
// restarts its capture and reports the gap; other cameras are left alone.
// Runs through the stand-in's libusb hotplug and, with KAVRI_HOTPLUG_POLL=1,
// through polling (reconnect.cmake).
#include <atomic>
#include <mutex>

#include "api/api_fixture.h"

namespace kavri_api_test {
namespace {

constexpr auto kBackLimit = std::chrono::seconds(10);
// Longer than a poll interval: time in which the watcher has seen any change.
constexpr auto kQuiet = std::chrono::milliseconds(3 * KAVRI_DEVICE_POLL_MS);
constexpr uint8_t kParamFps = 12;
constexpr uint8_t kParamIntg = 13;
constexpr uint32_t kAppFps = 60;
constexpr uint16_t kAppIntg = 650;
constexpr uint8_t kSensorTarget = 1;
constexpr uint32_t kAppReg = 10;
constexpr uint32_t kAppRegValue = 0x00C0FFEE;
constexpr uint8_t kOtherPorts[] = {5, 6};
// A ring of sixteen transfers, the synchronous command of the moment and a
// little slack: more live transfers than this after a cycle is a leak.
constexpr int32_t kMaxLiveTransfers = 20;

struct ErrorLog {
    std::mutex mutex;
    std::vector<std::pair<int32_t, uint32_t>> errors;
    std::vector<std::pair<int32_t, uint32_t>> take() {
        std::lock_guard lock(mutex);
        return std::exchange(errors, {});
    }
};
ErrorLog *g_log = nullptr;
uint8_t on_error(kavri_dev_t *, int32_t error, uint32_t arg) {
    std::lock_guard lock(g_log->mutex);
    g_log->errors.emplace_back(error, arg);
    return 1;
}

kavri_param_item_t item_u32(uint8_t id, uint32_t value, uint8_t len) {
    kavri_param_item_t item{};
    item.param_id = id;
    item.param_val_len = len;
    std::memcpy(item.param_val, &value, len);  // little-endian host, as the wire
    return item;
}

uint32_t camera_param(int cam, uint8_t id) {
    uint8_t value[18] = {};
    uint8_t len = 0;
    EXPECT_EQ(camsim_param_get(cam, id, value, &len), CAMSIM_OK);
    uint32_t v = 0;
    std::memcpy(&v, value, std::min<size_t>(len, sizeof v));
    return v;
}

uint32_t camera_reg(int cam, uint32_t addr) {
    uint32_t v = 0;
    EXPECT_EQ(camsim_reg_get(cam, kSensorTarget, addr, &v), CAMSIM_OK);
    return v;
}

class Reconnect : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_log = &log_;
    }
    void TearDown() override {
        ApiTest::TearDown();
        g_log = nullptr;
    }

    // A camera that paces its frames, so that transfers wait in the ring
    // where an unplug fails them.
    int plug_paced(uint8_t chip = CAMSIM_CHIP_T0, uint8_t port = 0) {
        camsim_camera_config_t cfg = config(chip);
        cfg.free_run = 0;
        cfg.port = port;
        return plug(cfg);
    }

    kavri_dev_t *open_with_reconnect() {
        kavri_dev_t *dev = open_first();
        if (dev == nullptr) return nullptr;
        kavri_cap_set_callback_on_error(dev, on_error);
        EXPECT_EQ(kavri_dev_set_reconnect(dev, 1), 1);
        return dev;
    }

    // The application's settings: a frame rate, an integration time, a
    // sensor register.
    void apply_settings(kavri_dev_t *dev) {
        kavri_param_item_t items[] = {item_u32(kParamFps, kAppFps, 4),
                                      item_u32(kParamIntg, kAppIntg, 2)};
        ASSERT_EQ(kavri_param_batch_set(dev, items, 2), 1);
        uint32_t v = kAppRegValue;
        ASSERT_EQ(kavri_reg_batch_write(dev, kSensorTarget, kAppReg, &v, 1), 1);
    }

    void expect_settings(int cam) {
        EXPECT_EQ(camera_param(cam, kParamFps), kAppFps);
        EXPECT_EQ(camera_param(cam, kParamIntg), kAppIntg);
        EXPECT_EQ(camera_reg(cam, kAppReg), kAppRegValue);
    }

    int fetch(kavri_dev_t *dev) {
        return kavri_cap_get_frames(dev, 1, buf_.data(), kTiFrameBytes, nullptr);
    }

    // The loss is seen: a fetch fails with the disconnected result.
    bool sees_loss(kavri_dev_t *dev) {
        return eventually([&] { return fetch(dev) == KAVRI_ERR_CAP_DISCONNECTED; });
    }

    // Frames flow again (fetches fail at once while the camera is away).
    bool frames_flow(kavri_dev_t *dev) {
        return eventually([&] { return fetch(dev) == 1; }, kBackLimit);
    }

    ErrorLog log_;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(kTiFrameBytes);
};

enum class Return { same_port, other_port };
struct Cycle {
    Return where;
    int keep_state;  // 0: the camera comes back reset, its parameters at their defaults
};
constexpr Cycle kCycles[] = {{Return::same_port, 1},
                             {Return::other_port, 1},
                             {Return::same_port, 0},
                             {Return::other_port, 0}};

TEST_F(Reconnect, FiftyUnplugsDuringCaptureComeBackWithTheSettings) {
    constexpr int kRounds = 50;
    const int cam = plug_paced();
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    apply_settings(dev);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    ASSERT_TRUE(frames_flow(dev));
    log_.take();
    camsim_counters_t first{};
    uint64_t away_ns = 0;
    for (int i = 0; i < kRounds; ++i) {
        SCOPED_TRACE("round " + std::to_string(i));
        const Cycle &c = kCycles[i % std::size(kCycles)];
        ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
        ASSERT_TRUE(sees_loss(dev));
        EXPECT_EQ(kavri_dev_is_connected(dev), 0);
        EXPECT_EQ(kavri_cap_is_ongoing(dev), 1);  // it waits for its camera
        if (c.where == Return::same_port) {
            ASSERT_EQ(camsim_replug(cam, c.keep_state), CAMSIM_OK);
        } else {
            const uint8_t port = kOtherPorts[(i / std::size(kCycles)) % std::size(kOtherPorts)];
            ASSERT_EQ(camsim_replug_at(cam, 0, port, c.keep_state), CAMSIM_OK);
        }
        ASSERT_TRUE(frames_flow(dev));
        EXPECT_EQ(kavri_dev_is_connected(dev), 1);
        expect_settings(cam);

        // The gap reached the error callback (loss first) and the statistics.
        const auto errors = log_.take();
        ASSERT_GE(errors.size(), 2u);
        EXPECT_EQ(errors.front().first, KAVRI_ERR_CAP_DISCONNECTED);
        EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                                [](auto &e) { return e.first == KAVRI_ERR_CAP_RECONNECTED; }),
                  1);
        kavri_cap_stats_t stats{};
        ASSERT_EQ(kavri_cap_get_stats(dev, &stats), 1);
        EXPECT_EQ(stats.reconnects, static_cast<uint64_t>(i + 1));
        EXPECT_GT(stats.disconnected_ns, away_ns);
        away_ns = stats.disconnected_ns;
        EXPECT_LE(stats.frames_lost_disconnected, stats.frames_lost);

        // The camera's position is the handle's; nothing piles up.
        camsim_camera_info_t info{};
        ASSERT_EQ(camsim_camera_info(cam, &info), CAMSIM_OK);
        kavri_usb_info_t at{};
        std::memcpy(&at, dev->if_info, sizeof at);
        EXPECT_EQ(at.usb_port, info.port);
        EXPECT_EQ(at.usb_addr, info.address);
        const camsim_counters_t now = sim_counters();
        if (i == 0) first = now;
        EXPECT_EQ(now.open_handles, 1);
        EXPECT_EQ(now.claimed_interfaces, 1);
        EXPECT_EQ(now.contexts, first.contexts);
        EXPECT_LE(now.live_transfers, kMaxLiveTransfers);
    }
    const camsim_camera_stats_t stats = camera_stats(cam);
    EXPECT_EQ(stats.stream_starts, static_cast<uint64_t>(kRounds + 1));
}

TEST_F(Reconnect, AnotherCameraArrivingIsLeftAlone) {
    const int cam = plug_paced(CAMSIM_CHIP_T0, 1);
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    ASSERT_TRUE(frames_flow(dev));
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    ASSERT_TRUE(sees_loss(dev));

    // A camera of the same model, at another port and at the one just left.
    const int other = plug_paced(CAMSIM_CHIP_T0, 2);
    ASSERT_EQ(camsim_unplug(other), CAMSIM_OK);
    std::this_thread::sleep_for(kQuiet);
    ASSERT_EQ(camsim_replug_at(other, 0, 1, 1), CAMSIM_OK);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(kavri_dev_is_connected(dev), 0);
    EXPECT_EQ(fetch(dev), KAVRI_ERR_CAP_DISCONNECTED);
    EXPECT_EQ(camera_stats(other).stream_starts, 0u);
    // Nobody holds it: another handle opens it.
    kavri_dev_t *second = new_handle();
    ASSERT_NE(kavri_dev_open(second), nullptr);
    EXPECT_STRNE(second->ident, dev->ident);
    kavri_dev_close(second);

    // The handle's own camera is taken back, wherever it comes.
    ASSERT_EQ(camsim_replug_at(cam, 0, 3, 1), CAMSIM_OK);
    ASSERT_TRUE(frames_flow(dev));
    EXPECT_EQ(camera_stats(other).stream_starts, 0u);
    camsim_camera_info_t info{};
    ASSERT_EQ(camsim_camera_info(other, &info), CAMSIM_OK);
    EXPECT_EQ(info.streaming, 0);
}

TEST_F(Reconnect, AnIdleHandleFailsCallsWhileAwayAndComesBackWithoutCapturing) {
    const int cam = plug_paced();
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    apply_settings(dev);
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    // Nothing streams: the watcher's removal tells the handle.
    ASSERT_TRUE(eventually([&] { return kavri_dev_is_connected(dev) == 0; }));
    kavri_param_item_t item = item_u32(kParamFps, 20, 4);
    EXPECT_EQ(kavri_param_batch_set(dev, &item, 1), 0);  // not kept: it failed
    EXPECT_EQ(fetch(dev), KAVRI_ERR_CAP_DISCONNECTED);
    EXPECT_EQ(kavri_cap_start(dev), 0);
    EXPECT_EQ(kavri_cap_wait(dev, 10), 0);

    ASSERT_EQ(camsim_replug_at(cam, 0, 4, 0), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] { return kavri_dev_is_connected(dev) == 1; }, kBackLimit));
    expect_settings(cam);
    EXPECT_EQ(camera_stats(cam).stream_starts, 0u);
    EXPECT_EQ(kavri_cap_is_ongoing(dev), 0);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    EXPECT_TRUE(frames_flow(dev));

    // Closed while away: nothing is left behind (the fixture checks).
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    ASSERT_TRUE(sees_loss(dev));
    kavri_dev_close(dev);
    EXPECT_EQ(dev->ll, nullptr);
}

TEST_F(Reconnect, ACaptureStoppedWhileAwayIsNotStartedAgain) {
    const int cam = plug_paced();
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    ASSERT_TRUE(frames_flow(dev));
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    ASSERT_TRUE(sees_loss(dev));
    EXPECT_EQ(kavri_cap_stop(dev), 1);
    EXPECT_EQ(kavri_cap_is_ongoing(dev), 0);
    ASSERT_EQ(camsim_replug(cam, 1), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] { return kavri_dev_is_connected(dev) == 1; }, kBackLimit));
    EXPECT_EQ(camera_stats(cam).stream_starts, 1u);
    EXPECT_EQ(kavri_cap_is_ongoing(dev), 0);
}

TEST_F(Reconnect, AnInterfaceResetIsNeitherALossNorAnotherCamera) {
    const int cam = plug_paced();
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    apply_settings(dev);
    kavri_dev_reset(dev, 3);  // the camera leaves and comes back by itself
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(kavri_dev_is_connected(dev), 1);
    kavri_param_item_t item = item_u32(kParamIntg, kAppIntg + 1, 2);
    EXPECT_EQ(kavri_param_batch_set(dev, &item, 1), 1);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    ASSERT_TRUE(frames_flow(dev));
    kavri_cap_stats_t stats{};
    ASSERT_EQ(kavri_cap_get_stats(dev, &stats), 1);
    EXPECT_EQ(stats.reconnects, 0u);
    for (const auto &e : log_.take()) EXPECT_NE(e.first, KAVRI_ERR_CAP_DISCONNECTED);
    EXPECT_EQ(camera_stats(cam).stream_starts, 1u);
}

TEST_F(Reconnect, SwitchedOffTheLossEndsTheCaptureAsBefore) {
    const int cam = plug_paced();
    kavri_dev_t *dev = open_with_reconnect();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_dev_set_reconnect(dev, 0), 1);
    // Without an error callback the fault stays pending, for every fetch.
    kavri_cap_set_callback_on_error(dev, nullptr);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    ASSERT_TRUE(frames_flow(dev));
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    EXPECT_TRUE(eventually([&] { return fetch(dev) == KAVRI_ERR_CAP_UNKNOWN; }));
    ASSERT_EQ(camsim_replug(cam, 1), CAMSIM_OK);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(fetch(dev), KAVRI_ERR_CAP_UNKNOWN);
}

// An EPC camera comes back reset: its calibration is mounted again from the
// cached file (not pulled again), its settings and filters are given back,
// and its frames convert.
class ReconnectEpc : public ApiTestOwnCache {};

TEST_F(ReconnectEpc, AResetCameraGetsItsCalibrationAndSettingsBack) {
    constexpr int kRounds = 3;
    camsim_camera_config_t cfg = config(CAMSIM_CHIP_E2);
    cfg.free_run = 0;
    const int cam = plug(cfg);
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_dev_set_reconnect(dev, 1), 1);
    kavri_param_item_t item = item_u32(kParamIntg, kAppIntg, 2);
    ASSERT_EQ(kavri_param_batch_set(dev, &item, 1), 1);
    ASSERT_EQ(kavri_filter_enable(dev, KAVRI_FILTER_UNDISTORT, nullptr, 0), 1);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    std::vector<uint8_t> raw(4 << 20);
    const auto fetch_one = [&](kavri_frame_info_t *info) {
        return kavri_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), info);
    };
    ASSERT_TRUE(eventually([&] { return fetch_one(nullptr) == 1; }, kBackLimit));
    const uint64_t starts = camera_stats(cam).stream_starts;
    for (int i = 0; i < kRounds; ++i) {
        SCOPED_TRACE("round " + std::to_string(i));
        ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
        ASSERT_TRUE(eventually([&] { return fetch_one(nullptr) == KAVRI_ERR_CAP_DISCONNECTED; }));
        ASSERT_EQ(camsim_replug_at(cam, 0, kOtherPorts[i % 2], 0), CAMSIM_OK);
        kavri_frame_info_t info{};
        ASSERT_TRUE(eventually([&] { return fetch_one(&info) == 1; }, kBackLimit));
        EXPECT_EQ(camera_param(cam, kParamIntg), kAppIntg);
        // One start per reconnect: the calibration came from the cache.
        EXPECT_EQ(camera_stats(cam).stream_starts, starts + i + 1);
        std::vector<float> dist(info.width * info.height);
        EXPECT_GT(kavri_frame_get_distance(dev, dist.data(), static_cast<uint32_t>(dist.size()),
                                           raw.data(), info.frame_size, &info),
                  0);
    }
}

}  // namespace
}  // namespace kavri_api_test
