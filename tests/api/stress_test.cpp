// An application's shape, on three simulated cameras at once: two E2 cameras
// facing walls at different distances and a T0 camera, each opened into its
// own handle. Per camera a capture thread (synchronous fetches and callback
// delivery in turn, every frame decoded) and two control threads (parameters
// and registers written and read back); one thread switching every camera's
// filters; now and then a camera closed and reopened, or unplugged and
// replugged, while all of them keep calling. A second run does the same
// with automatic reconnect on: an unplugged camera is not closed, it comes
// back into its handle, at its own port or another one. Each camera's distances stay its
// own, every read returns what its thread last wrote, calls fail only while
// their camera is disrupted, and the simulator gets every object back.
#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <unistd.h>

#include "api/api_fixture.h"

// A camera's disruption window, failures collected from worker threads, and
// a control thread's block of registers checked on every read-back.
namespace kavri_stress {

// A camera is disrupted from the moment a close or an unplug begins until
// its handle is open again. A call overlapped a disruption when one was
// under way at its mark or began since; only such calls may fail.
class Window {
  public:
    struct Mark {
        uint64_t begun, ended;
    };
    Mark mark() const {
        const uint64_t b = begun_.load();
        return {b, ended_.load()};
    }
    bool overlaps(Mark m) const { return m.begun != m.ended || begun_.load() != m.begun; }
    void begin() { ++begun_; }
    void end() { ++ended_; }

  private:
    std::atomic<uint64_t> begun_{0}, ended_{0};
};

// Failures seen on worker threads: counted by kind, the first of each kept,
// so that a fault repeated thousands of times reads as one line.
class Failures {
  public:
    void add(const std::string &kind, const std::string &detail = "") {
        std::lock_guard lock(mutex_);
        auto &[count, first] = kinds_[kind];
        if (count++ == 0) first = detail;
    }
    std::string report() {
        std::lock_guard lock(mutex_);
        std::string s;
        for (const auto &[kind, v] : kinds_)
            s += kind + ": " + std::to_string(v.first) + " times, first: " + v.second + "\n";
        return s;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::pair<uint64_t, std::string>> kinds_;
};

// A block of read/write registers that one thread owns. A value is known
// once a write of it succeeded; a failed write may or may not have reached
// the camera, so it leaves its registers unknown until the next write.
class RegisterBlock {
  public:
    RegisterBlock(uint8_t target, uint32_t first, uint32_t count)
        : target_(target), first_(first), known_(count) {}

    // One random write or read-back of a run of the block. Returns false when
    // the call failed; a read-back with another value sets *mismatch.
    bool step(kavri_dev_t *dev, std::mt19937 &rng, std::string *mismatch) {
        const auto size = static_cast<uint32_t>(known_.size());
        const uint32_t at = rng() % size;
        const auto count = static_cast<uint16_t>(1 + rng() % (size - at));
        std::vector<uint32_t> v(count);
        if (rng() % 2 == 0) {
            for (uint32_t &x : v) x = rng();
            const bool ok = kavri_reg_batch_write(dev, target_, first_ + at, v.data(), count) == 1;
            for (uint16_t i = 0; i < count; ++i)
                known_[at + i] = ok ? std::optional(v[i]) : std::nullopt;
            return ok;
        }
        if (kavri_reg_batch_read(dev, target_, first_ + at, v.data(), count) != 1) return false;
        for (uint16_t i = 0; i < count; ++i)
            if (known_[at + i] && v[i] != *known_[at + i]) {
                *mismatch = "register " + std::to_string(target_) + "/" +
                            std::to_string(first_ + at + i) + " read " + std::to_string(v[i]) +
                            ", wrote " + std::to_string(*known_[at + i]);
                break;
            }
        return true;
    }

  private:
    uint8_t target_;
    uint32_t first_;
    std::vector<std::optional<uint32_t>> known_;
};

}  // namespace kavri_stress

namespace {

using namespace kavri_api_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kavri_stress::Window;

constexpr double kDefaultSeconds = 15.0;  // KAVRI_STRESS_SECONDS overrides
constexpr uint32_t kSeed = 20261209;
constexpr uint32_t kWidth = 320, kHeight = 240, kPixels = kWidth * kHeight;
constexpr uint16_t kFormatFourPhase = 2;
constexpr float kMaxValidM = 60.0f;  // the library's largest valid distance
constexpr int kFramesPerCall = 3;
constexpr int kCallbackFramesMax = 8;
constexpr uint32_t kCallbackWaitMs = 5000;  // the callback stops the capture long before
constexpr uint32_t kTimedWaitMs = 150;      // a wait that ends by its time-out
constexpr int kGrayEvery = 4;               // about one frame in four is also decoded to gray
// Truth bounds: the E2 median within this of the wall's truth (allowing for
// the offset filter; undistortion stretches the corners, whose rays are the
// longest, and moves the median up to 150 mm out at 2.5 m), the T0 median
// within a few phase steps of 0.76 mm. The walls are 1.5 m apart.
constexpr float kEpcTruthMm = 200.0f;
constexpr float kTiTruthMm = 5.0f;
// Against the camera's own decodes at the start, with the offset and
// undistortion in force: frames repeat exactly, but the integration time
// moves the median by up to 30 mm at 2.5 m (the calibration's rounding at
// low amplitudes). The offsets lie far enough apart that a decode with
// another camera's offset fails.
constexpr float kEpcReferenceMm = 45.0f;
constexpr int32_t kOffsetsMm[] = {-150, 0, 150};
// The amplitude minimum plus the filter's hysteresis of 10 stays below the
// weakest pixel (13: the far wall's corners at integration time 200), so the
// filter removes no pixel and the median stays put.
constexpr uint16_t kAmpMinMax = 2;
constexpr uint8_t kParamFps = KAVRI_PARAM_FPS, kParamIntg = KAVRI_PARAM_INTG_TIME;
constexpr uint8_t kIllumTarget = 2;  // the illumination board: 32 read/write registers
constexpr uint32_t kRegsPerThread = 16;
constexpr int kControlThreads = 2;  // per camera, each with its own parameter and registers
constexpr auto kControlPause = 1ms;
constexpr auto kFilterPause = 3ms;
constexpr auto kDisruptEvery = 2s;
constexpr auto kUnpluggedFor = 50ms;      // long enough for every thread to meet the dead handle
constexpr uint8_t kOtherPortOffset = 10;  // a camera's other port (reconnect run)
constexpr auto kComeBackLimit = 10s;
constexpr int kReopenAttempts = 100;
constexpr auto kReopenPause = 20ms;

double run_seconds() {
    const char *env = std::getenv("KAVRI_STRESS_SECONDS");
    const double s = env != nullptr ? std::atof(env) : 0.0;
    return s > 0.0 ? s : kDefaultSeconds;
}

kavri_stress::Failures g_failures;

// What the library logged on this thread since the last clear, debug lines
// included, so that a failed call says why.
constexpr size_t kLogKept = 2000;
thread_local std::string t_log;
void keep_log(unsigned /*level*/, const char *text, void * /*user*/) {
    if (t_log.size() < kLogKept) t_log.append(text).append("; ");
}
// A command the camera did not answer within its time-out. On a loaded
// runner (ThreadSanitizer on two cores, the emulated device beside it) a
// command may now and then take longer than that; a few are tolerated.
bool timed_out(const std::string &log) {
    return log.find("timeout") != std::string::npos || log.find("TIMEOUT") != std::string::npos;
}
constexpr uint64_t kTimeoutsPerMille = 10;  // of a camera's control calls
// A camera whose commands queue behind a slow stream makes few control
// calls in a short run; a couple of time-outs are tolerated whatever the
// count.
constexpr uint64_t kTimeoutsAlways = 2;

// The settings a decode depends on; unknown after a disruption or a call
// whose outcome is uncertain.
struct FilterState {
    std::optional<bool> undistort = false;
    std::optional<int32_t> offset_mm = 0;
};

// Every filter state of a camera, each logged before the call that makes it.
class FilterLog {
  public:
    FilterLog() : log_{FilterState{}} {}
    void push(const FilterState &s) {
        std::lock_guard lock(mutex_);
        log_.push_back(s);
    }
    FilterState last() {
        std::lock_guard lock(mutex_);
        return log_.back();
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return log_.size();
    }
    // The settings that may apply to a decode that began with `from` states
    // logged and ended with `to`: the state before the last one at `from`
    // may still be in force, its call not yet made.
    void candidates(size_t from, size_t to, std::vector<bool> &und, std::vector<int32_t> &off) {
        std::lock_guard lock(mutex_);
        for (size_t i = from >= 2 ? from - 2 : 0; i < to; ++i) {
            const FilterState &s = log_[i];
            if (s.undistort) und.push_back(*s.undistort);
            if (!s.undistort) und.insert(und.end(), {false, true});
            if (s.offset_mm) off.push_back(*s.offset_mm);
            if (!s.offset_mm) off.insert(off.end(), std::begin(kOffsetsMm), std::end(kOffsetsMm));
        }
    }

  private:
    std::mutex mutex_;
    std::vector<FilterState> log_;
};

struct Camera {
    std::string name;
    uint8_t chip = CAMSIM_CHIP_E2;
    std::string scene;
    int cam = -1;
    kavri_dev_t dev{};
    uint32_t frame_bytes = 0;
    bool epc() const { return chip != CAMSIM_CHIP_T0; }
    float truth_median_mm = 0;
    float reference_mm[2] = {};       // the camera's own median, undistortion off and on
    uint8_t home_port = 0, port = 0;  // where it was plugged, where it is now
    Window window;
    FilterLog filters;
    // Capture thread only (its callbacks included).
    Window::Mark segment{};  // taken at the capture start
    std::mt19937 capture_rng;
    std::vector<float> dist = std::vector<float>(kPixels);
    int callback_frames = 0, callback_target = 0;
    // Read at the end.
    std::atomic<uint64_t> delivered{0}, decoded{0}, discarded{0}, capture_errors{0};
    std::atomic<uint64_t> reconnects{0};  // notices that the camera is back
    std::atomic<uint64_t> control_calls{0}, timeouts{0};

    void fail(const std::string &what, const std::string &detail = "") {
        g_failures.add(name + ": " + what, detail);
    }
    // A call that failed outside a disruption: a time-out is counted, any
    // other failure fails the test with what the library logged.
    void failed_call(const std::string &what) {
        if (timed_out(t_log))
            ++timeouts;
        else
            fail(what, t_log);
    }
};

Camera *g_cameras[3];

Camera *camera_of(kavri_dev_t *dev) {
    for (Camera *c : g_cameras)
        if (&c->dev == dev) return c;
    return nullptr;
}

float median_mm(const std::vector<float> &dist, size_t *valid) {
    std::vector<float> v;
    v.reserve(dist.size());
    for (float d : dist)
        if (d > 0.0f && d < kMaxValidM) v.push_back(d * 1000.0f);
    *valid = v.size();
    if (v.empty()) return 0.0f;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// The distance decode (and sometimes the gray one) of a delivered frame,
// checked against the camera's own truth and the filter settings in force.
void decode(Camera &c, const uint8_t *raw, const kavri_frame_info_t &info) {
    if (info.frame_size != c.frame_bytes || info.width != kWidth || info.height != kHeight ||
        info.frame_format != kFormatFourPhase) {
        c.fail("frame description", std::to_string(info.frame_size) + " bytes " +
                                        std::to_string(info.width) + "x" +
                                        std::to_string(info.height));
        return;
    }
    const Window::Mark m = c.window.mark();
    const size_t from = c.filters.size();
    const int n =
        kavri_frame_get_distance(&c.dev, c.dist.data(), kPixels, raw, c.frame_bytes, &info);
    const size_t to = c.filters.size();
    if (n != int(kPixels)) {
        if (!c.window.overlaps(m)) c.fail("distance decode", std::to_string(n));
        return;
    }
    ++c.decoded;
    size_t valid = 0;
    const float med = median_mm(c.dist, &valid);
    if (!c.epc()) {
        if (std::fabs(med - c.truth_median_mm) > kTiTruthMm)
            c.fail("distance",
                   std::to_string(med) + " mm, truth " + std::to_string(c.truth_median_mm));
    } else {
        std::vector<bool> und;
        std::vector<int32_t> off;
        c.filters.candidates(from, to, und, off);
        bool near_truth = false, near_reference = false;
        for (int32_t o : off) {
            near_truth |= std::fabs(med - float(o) - c.truth_median_mm) <= kEpcTruthMm;
            for (bool u : und)
                near_reference |= std::fabs(med - float(o) - c.reference_mm[u]) <= kEpcReferenceMm;
        }
        if (!near_truth || !near_reference) {
            std::string settings;
            for (bool u : und) settings += u ? " undistorted" : " plain";
            for (int32_t o : off) settings += " " + std::to_string(o);
            c.fail(near_truth ? "distance beside the filter settings" : "distance",
                   std::to_string(med) + " mm of " + std::to_string(valid) + " valid, truth " +
                       std::to_string(c.truth_median_mm) + ", references " +
                       std::to_string(c.reference_mm[0]) + "/" + std::to_string(c.reference_mm[1]) +
                       ", settings" + settings);
        }
    }
    if (c.capture_rng() % kGrayEvery == 0) {
        const Window::Mark g = c.window.mark();
        const int ng =
            kavri_frame_get_gray(&c.dev, c.dist.data(), kPixels, raw, c.frame_bytes, &info);
        if (ng != int(kPixels) && !c.window.overlaps(g)) c.fail("gray decode", std::to_string(ng));
    }
}

void on_frame(kavri_dev_t *dev, kavri_frame_t *frame) {
    Camera &c = *camera_of(dev);
    ++c.delivered;
    decode(c, frame->frame_data, frame->frame_info);
    if (++c.callback_frames == c.callback_target) kavri_cap_stop(dev);
}

uint8_t on_error(kavri_dev_t *dev, int32_t error, uint32_t arg) {
    Camera &c = *camera_of(dev);
    if (error == KAVRI_ERR_CAP_FRAME_DISCARD) {
        c.discarded += arg;
    } else if (error == KAVRI_ERR_CAP_RECONNECTED) {
        ++c.reconnects;
    } else {
        ++c.capture_errors;
        if (!c.window.overlaps(c.segment)) c.fail("capture error", std::to_string(error));
    }
    return 1;
}

std::atomic<bool> g_stop{false};

// Synchronous fetches and callback delivery in turn; a capture that ends
// (a close, an unplug, the callback's stop) is started again.
void capture_thread(Camera &c, uint32_t seed) {
    c.capture_rng.seed(seed);
    std::mt19937 &rng = c.capture_rng;
    std::vector<uint8_t> buf(size_t(c.frame_bytes) * kFramesPerCall);
    while (!g_stop) {
        c.segment = c.window.mark();
        t_log.clear();
        if (kavri_cap_start(&c.dev) != 1) {
            if (!c.window.overlaps(c.segment)) c.failed_call("capture start");
            std::this_thread::sleep_for(kReopenPause);
            continue;
        }
        kavri_cap_set_callback_on_error(&c.dev, on_error);
        if (rng() % 2 == 0) {
            kavri_cap_set_callback_on_frame_ready(&c.dev, nullptr);
            for (int calls = 1 + int(rng() % 8); calls > 0 && !g_stop; --calls) {
                kavri_frame_info_t info{};
                const int want = 1 + int(rng() % kFramesPerCall);
                const int n =
                    kavri_cap_get_frames(&c.dev, want, buf.data(), uint32_t(buf.size()), &info);
                if (n < 0) {
                    ++c.capture_errors;
                    if (!c.window.overlaps(c.segment)) c.fail("get_frames", std::to_string(n));
                    break;
                }
                c.delivered += uint64_t(n);
                // Frames of one call follow one another: the same description.
                for (int i = 0; i < n; ++i) decode(c, buf.data() + size_t(i) * c.frame_bytes, info);
            }
        } else {
            c.callback_frames = 0;
            const bool timed = rng() % 2 == 0;
            c.callback_target = timed ? 0 : 1 + int(rng() % kCallbackFramesMax);
            kavri_cap_set_callback_on_frame_ready(&c.dev, on_frame);
            const int r = kavri_cap_wait(&c.dev, timed ? kTimedWaitMs : kCallbackWaitMs);
            if (r < 0 && !c.window.overlaps(c.segment)) c.fail("wait", std::to_string(r));
        }
        t_log.clear();
        if (kavri_cap_stop(&c.dev) != 1 && !c.window.overlaps(c.segment))
            c.failed_call("capture stop");
    }
}

kavri_param_item_t item(uint8_t id, uint8_t len, uint32_t v = 0) {
    kavri_param_item_t it{};
    it.param_id = id;
    it.param_val_len = len;
    for (int i = 0; i < len && i < 4; ++i) it.param_val[i] = uint8_t(v >> (8 * i));
    return it;
}

struct ParamRange {
    uint8_t id, len;
    uint32_t lo, hi;
};
#ifdef KAVRI_TEST_REAL_USB
// Behind the real libusb every URB crosses the emulated device's socket
// (about 25 MB/s for all cameras together): at 60 fps three cameras would
// fill it, and every command would queue behind their frames.
constexpr uint32_t kFpsMax = 20;
#else
constexpr uint32_t kFpsMax = 60;
#endif
constexpr ParamRange kParams[kControlThreads] = {{kParamFps, 4, 10, kFpsMax},
                                                 {kParamIntg, 2, 200, 600}};

// One parameter and one block of registers, written and read back. A value
// is known once a write of it succeeded; a failed write leaves it unknown.
void control_thread(Camera &c, int index, uint32_t seed) {
    std::mt19937 rng(seed);
    const ParamRange &p = kParams[index];
    kavri_stress::RegisterBlock regs(kIllumTarget, uint32_t(index) * kRegsPerThread,
                                     kRegsPerThread);
    std::optional<uint32_t> param;
    while (!g_stop) {
        const Window::Mark m = c.window.mark();
        t_log.clear();
        ++c.control_calls;
        const unsigned op = rng() % 3;
        std::string mismatch;
        bool ok = false;
        if (op == 0) {
            const uint32_t v = p.lo + rng() % (p.hi - p.lo + 1);
            kavri_param_item_t it = item(p.id, p.len, v);
            ok = kavri_param_batch_set(&c.dev, &it, 1) == 1;
            param = ok ? std::optional(v) : std::nullopt;
        } else if (op == 1) {
            kavri_param_item_t it = item(p.id, p.len);
            ok = kavri_param_batch_get(&c.dev, &it, 1) == 1;
            uint32_t v = 0;
            for (int i = 0; i < p.len; ++i) v |= uint32_t(it.param_val[i]) << (8 * i);
            if (ok && param && v != *param)
                mismatch = "parameter " + std::to_string(p.id) + " read " + std::to_string(v) +
                           ", wrote " + std::to_string(*param);
        } else {
            ok = regs.step(&c.dev, rng, &mismatch);
        }
        if (!mismatch.empty()) c.fail("read-back", mismatch);
        if (!ok && !c.window.overlaps(m)) c.failed_call("control call " + std::to_string(op));
        std::this_thread::sleep_for(kControlPause);
    }
}

// Amplitude minimum, smoothing, offset and undistortion on and off on every
// camera (T0 has no filters: its driver refuses each switch).
void filter_thread(uint32_t seed) {
    std::mt19937 rng(seed);
    while (!g_stop) {
        Camera &c = *g_cameras[rng() % std::size(g_cameras)];
        const Window::Mark m = c.window.mark();
        t_log.clear();
        FilterState next = c.filters.last();  // read after the mark: see below
        // Each filter on (even op) or off (odd op), with its argument.
        const unsigned op = rng() % 8;
        const auto amp = uint16_t(1 + rng() % kAmpMinMax);
        const auto level = uint8_t(2 + rng() % 4);
        const int32_t offset = kOffsetsMm[rng() % std::size(kOffsetsMm)];
        const struct {
            int id;
            const void *arg;
            uint32_t size;
        } kFilters[] = {{KAVRI_FILTER_AMP_MIN, &amp, sizeof amp},
                        {KAVRI_FILTER_SMOOTH, &level, sizeof level},
                        {KAVRI_FILTER_OFFSET, &offset, sizeof offset},
                        {KAVRI_FILTER_UNDISTORT, nullptr, 0}};
        const auto &f = kFilters[op / 2];
        if (f.id == KAVRI_FILTER_OFFSET) next.offset_mm = op % 2 == 0 ? offset : 0;
        if (f.id == KAVRI_FILTER_UNDISTORT) next.undistort = op % 2 == 0;
        if (c.epc() && op >= 4) c.filters.push(next);
        const int r = op % 2 == 0 ? kavri_filter_enable(&c.dev, f.id, f.arg, f.size)
                                  : kavri_filter_disable(&c.dev, f.id);
        const bool disrupted = c.window.overlaps(m);
        const int expected = c.epc() ? 1 : 0;
        if (r != expected && !disrupted) c.failed_call("filter switch " + std::to_string(op));
        // The call may have reached the handle before or after a reopen, or
        // a state logged before a disruption's mark: the settings are unknown.
        if (c.epc() && (disrupted || r != expected)) c.filters.push(FilterState{{}, {}});
        std::this_thread::sleep_for(kFilterPause);
    }
}

class Stress : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        dir_ = ::testing::TempDir() + "kavri_stress_" + std::to_string(::getpid()) + "/";
        std::filesystem::create_directories(dir_);
        ASSERT_EQ(kavri_path_cfg(dir_.c_str()), 0);
        kavri_log_set_callback(keep_log, nullptr);
        kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_DBG, nullptr);
    }
    void TearDown() override {
        for (Camera &c : cams_) kavri_dev_close(&c.dev);
        kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_OFF, nullptr);
        kavri_log_set_callback(nullptr, nullptr);
        ApiTest::TearDown();
        std::filesystem::remove_all(dir_);
    }

    void plug(Camera &c, uint8_t port, uint64_t seed) {
        camsim_camera_config_t cfg = config(c.chip);
        cfg.port = port;
        cfg.free_run = 0;  // paced by the frame rate the control thread sets
        cfg.seed = seed;
        std::snprintf(cfg.scene, sizeof cfg.scene, "%s", c.scene.c_str());
        c.cam = camsim_plug(&cfg);
        ASSERT_GE(c.cam, 0);
        camsim_camera_info_t info{};
        ASSERT_EQ(camsim_camera_info(c.cam, &info), CAMSIM_OK);
        c.frame_bytes = info.frame_bytes;
        std::vector<float> truth(kPixels);
        ASSERT_EQ(camsim_ground_truth(c.cam, truth.data(), kPixels), int(kPixels));
        for (float &t : truth) t /= 1000.0f;
        size_t valid = 0;
        c.truth_median_mm = median_mm(truth, &valid);
    }

    // The camera's own decode of a snapshot, undistortion off and on, before
    // anything else runs.
    void reference(Camera &c) {
        std::vector<uint8_t> raw(c.frame_bytes);
        kavri_frame_info_t info{};
        ASSERT_EQ(kavri_cap_snapshot(&c.dev, raw.data(), c.frame_bytes, &info), 1);
        for (int u = 0; u < 2; ++u) {
            if (u == 1) {
                ASSERT_EQ(kavri_filter_enable(&c.dev, KAVRI_FILTER_UNDISTORT, nullptr, 0), 1);
            }
            ASSERT_EQ(kavri_frame_get_distance(&c.dev, c.dist.data(), kPixels, raw.data(),
                                               c.frame_bytes, &info),
                      int(kPixels));
            size_t valid = 0;
            c.reference_mm[u] = median_mm(c.dist, &valid);
            EXPECT_GT(valid, kPixels / 2) << c.name;
            EXPECT_NEAR(c.reference_mm[u], c.truth_median_mm, kEpcTruthMm) << c.name;
        }
        ASSERT_EQ(kavri_filter_disable(&c.dev, KAVRI_FILTER_UNDISTORT), 1);
        std::printf("%s: truth median %.1f mm, decoded %.1f mm (undistorted %.1f mm)\n",
                    c.name.c_str(), double(c.truth_median_mm), double(c.reference_mm[0]),
                    double(c.reference_mm[1]));
    }

    bool open(Camera &c) {
        for (int i = 0; i < kReopenAttempts; ++i) {
            if (kavri_dev_open(&c.dev) == &c.dev)
                return !reconnect_ || kavri_dev_set_reconnect(&c.dev, 1) == 1;
            std::this_thread::sleep_for(kReopenPause);
        }
        return false;
    }

    // With reconnect on: unplug, replug (every other time at another port)
    // and wait for the handle to have its camera back.
    void unplug_and_come_back(Camera &c) {
        EXPECT_EQ(camsim_unplug(c.cam), CAMSIM_OK);
        std::this_thread::sleep_for(kUnpluggedFor);
        c.port = c.port == c.home_port ? uint8_t(c.home_port + kOtherPortOffset) : c.home_port;
        EXPECT_EQ(camsim_replug_at(c.cam, 0, c.port, 1), CAMSIM_OK);
        const auto limit = Clock::now() + kComeBackLimit;
        while (kavri_dev_is_connected(&c.dev) != 1 && Clock::now() < limit)
            std::this_thread::sleep_for(kReopenPause);
        EXPECT_EQ(kavri_dev_is_connected(&c.dev), 1) << c.name << " does not come back";
    }

    // Close and reopen, or unplug, close the dead handle, replug and reopen
    // (with reconnect on: unplug and replug, the handle stays open).
    void disrupt(Camera &c, bool unplug) {
        c.window.begin();
        if (c.epc()) c.filters.push(FilterState{{}, {}});
        if (unplug && reconnect_) {
            unplug_and_come_back(c);
            c.window.end();
            return;
        }
        if (unplug) {
            EXPECT_EQ(camsim_unplug(c.cam), CAMSIM_OK);
            std::this_thread::sleep_for(kUnpluggedFor);
        }
        kavri_dev_close(&c.dev);
        if (unplug) {
            EXPECT_EQ(camsim_replug(c.cam, 1), CAMSIM_OK);
        }
        EXPECT_TRUE(open(c)) << c.name << " does not open again";
        c.window.end();
    }

    void run();

    std::string dir_;
    Camera cams_[3];
    bool reconnect_ = false;
};

TEST_F(Stress, ThreeCamerasTheWayAnApplicationUsesThem) {
    run();
}

TEST_F(Stress, ThreeCamerasWithReconnectThroughUnplugs) {
    reconnect_ = true;
    run();
}

void Stress::run() {
    const struct {
        const char *name;
        uint8_t chip;
        const char *scene;
    } kCams[] = {{"E2 at 1000 mm", CAMSIM_CHIP_E2, "wall:1000"},
                 {"E2 at 2500 mm", CAMSIM_CHIP_E2, "wall:2500"},
                 {"T0 at 1500 mm", CAMSIM_CHIP_T0, "wall:1500"}};
    for (size_t i = 0; i < std::size(cams_); ++i) {
        Camera &c = cams_[i];
        c.name = kCams[i].name;
        c.chip = kCams[i].chip;
        c.scene = kCams[i].scene;
        g_cameras[i] = &c;
        c.home_port = c.port = uint8_t(i + 1);
        plug(c, c.port, kSeed + i);
        if (HasFatalFailure()) return;
    }
    kavri_dev_t listed[4]{};
    ASSERT_EQ(kavri_dev_list(listed, 4), 3);
    for (const kavri_dev_t &d : listed) {
        kavri_usb_info_t usb{};
        std::memcpy(&usb, d.if_info, sizeof usb);
        if (usb.usb_port >= 1 && usb.usb_port <= 3) cams_[usb.usb_port - 1].dev = d;
    }
    for (Camera &c : cams_) {
        ASSERT_TRUE(c.dev.located) << c.name;
        // An E2 camera's first open pulls its calibration and mounts it.
        ASSERT_EQ(kavri_dev_open(&c.dev), &c.dev) << c.name;
        if (reconnect_) {
            ASSERT_EQ(kavri_dev_set_reconnect(&c.dev, 1), 1) << c.name;
        }
        if (c.epc()) reference(c);
        if (HasFatalFailure()) return;
    }

    g_stop = false;
    std::vector<std::thread> threads;
    uint32_t seed = kSeed;
    for (Camera &c : cams_) {
        threads.emplace_back(capture_thread, std::ref(c), ++seed);
        for (int i = 0; i < kControlThreads; ++i)
            threads.emplace_back(control_thread, std::ref(c), i, ++seed);
    }
    threads.emplace_back(filter_thread, ++seed);

    // A disruption every couple of seconds, in turn each camera closed and
    // unplugged; the first two (one of each) happen however slow the build.
    const struct {
        int cam;
        bool unplug;
    } kPlan[] = {{0, false}, {2, true}, {1, false}, {0, true}, {2, false}, {1, true}};
    constexpr int kAlways = 2;
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(run_seconds()));
    int disruptions = 0;
    for (auto at = t0 + kDisruptEvery; at < end || disruptions < kAlways; at += kDisruptEvery) {
        std::this_thread::sleep_until(at);
        const auto &step = kPlan[size_t(disruptions) % std::size(kPlan)];
        disrupt(cams_[step.cam], step.unplug);
        ++disruptions;
    }
    std::this_thread::sleep_until(end);
    g_stop = true;
    for (std::thread &t : threads) t.join();

    for (Camera &c : cams_) {
        const camsim_camera_stats_t s = camera_stats(c.cam);
        std::printf(
            "%s: %lu frames sent, %lu delivered, %lu decoded, %lu discarded, "
            "%lu capture errors, %lu reconnect notices\n",
            c.name.c_str(), (unsigned long)s.frames, (unsigned long)c.delivered.load(),
            (unsigned long)c.decoded.load(), (unsigned long)c.discarded.load(),
            (unsigned long)c.capture_errors.load(), (unsigned long)c.reconnects.load());
        if (reconnect_) {
            EXPECT_EQ(kavri_dev_is_connected(&c.dev), 1) << c.name;
        }
        EXPECT_GT(c.decoded.load(), 0u) << c.name;
        EXPECT_LE(c.delivered.load() + c.discarded.load(), s.frames) << c.name;
        if (c.timeouts.load() > 0)
            std::printf("%s: %lu of %lu control calls timed out\n", c.name.c_str(),
                        (unsigned long)c.timeouts.load(), (unsigned long)c.control_calls.load());
        EXPECT_LE(c.timeouts.load(),
                  std::max(kTimeoutsAlways, c.control_calls.load() * kTimeoutsPerMille / 1000))
            << c.name;
    }
    std::printf("%d disruptions in %.1f s\n", disruptions,
                std::chrono::duration<double>(Clock::now() - t0).count());
    const std::string failures = g_failures.report();
    EXPECT_TRUE(failures.empty()) << failures;
}

}  // namespace
