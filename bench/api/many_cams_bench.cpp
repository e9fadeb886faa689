// Several simulated cameras of one model on one host, each opened through
// the public API into its own handle and served by its own application
// thread, which fetches every frame and decodes its distance image. Per
// camera count: the frames per second of all cameras together, the process
// CPU time per frame, and the latency from the arrival of a frame's last
// byte (the library's arrival stamp) to its distance image being in the
// application, median and 99th percentile.
//
// Free-running cameras send as fast as the host takes frames, so they show
// how the host's CPU is shared out; paced cameras send at a frame rate the
// host keeps up with, so the CPU per frame there tells whether the cost of
// one frame grows with the number of cameras. Beside them, the simulator's
// own cost of making one frame, which every figure here includes.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "frame_gen.h"
#include "kavri.h"

#include "cache_dir.h"

namespace {

constexpr uint8_t kChip = CAMSIM_CHIP_E2;
constexpr uint32_t kWidth = 320, kHeight = 240, kPixels = kWidth * kHeight;
constexpr uint32_t kRawBytes = kPixels * 8;  // four 16-bit sub-frames
constexpr int kMaxCams = 16;
// The paced cameras' rate (the camera's default): 8 of them ask the 2-core
// build machine for a quarter to a third of its time, simulator included.
constexpr uint32_t kPacedFps = 30;
constexpr auto kWarmUp = std::chrono::milliseconds(1500);
constexpr auto kWindow = std::chrono::seconds(4);
// Latency records per camera kept without reallocating during the window.
constexpr size_t kLatencyReserve = 1u << 16;
constexpr double kNsPerUs = 1e3;
constexpr double kP99 = 0.99;

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The same clock as the library's arrival stamps.
uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// One camera and the application thread that serves it.
class CamLoop {
  public:
    kavri_dev_t dev{};
    std::thread thread;
    std::vector<uint8_t> raw = std::vector<uint8_t>(kRawBytes);
    std::vector<float> distance = std::vector<float>(kPixels);
    std::vector<uint64_t> latency_ns;  // frames finished inside the window
    double app_cpu = 0.0;              // this thread's CPU seconds inside the window
    bool failed = false;

    void run(const std::atomic<bool> &going, const std::atomic<bool> &measuring) {
        latency_ns.reserve(kLatencyReserve);
        while (going.load(std::memory_order_relaxed)) {
            kavri_frame_info_t info{};
            kavri_frame_meta_t meta{};
            const int n =
                kavri_cap_get_frames_meta(&dev, 1, raw.data(), kRawBytes, &info, &meta, 1);
            if (n == -2) break;  // the capture was stopped
            if (n != 1) continue;
            if (kavri_frame_get_distance(&dev, distance.data(), kPixels, raw.data(),
                                         info.frame_size, &info) != static_cast<int>(kPixels)) {
                failed = true;
                continue;
            }
            const uint64_t now = monotonic_ns();
            // The window opens and closes between two frames of this thread.
            const bool in_window = measuring.load(std::memory_order_relaxed);
            if (in_window && window_cpu0 < 0.0) {
                window_cpu0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
                continue;
            }
            if (!in_window && window_cpu0 >= 0.0) close_window();
            if (in_window) latency_ns.push_back(now - meta.t_ns);
        }
        if (window_cpu0 >= 0.0) close_window();
    }

  private:
    double window_cpu0 = -1.0;
    void close_window() {
        app_cpu += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - window_cpu0;
        window_cpu0 = -1.0;
    }
};

// Frames the simulated cameras have put into their streams so far: a
// free-running camera makes more than its application takes, and the ones
// dropped for a slow fetch cost their share of CPU too.
uint64_t frames_made() {
    uint64_t made = 0;
    for (int cam = 0; cam < camsim_camera_count(); ++cam) {
        camsim_camera_stats_t st{};
        if (camsim_get_camera_stats(cam, &st) == CAMSIM_OK) made += st.frames;
    }
    return made;
}

// Plugs `count` cameras (fps 0: free running) and opens each listed one.
bool open_cameras(int count, uint32_t fps, std::vector<std::unique_ptr<CamLoop>> &cams) {
    static CacheDir cache;
    camsim_clear();
    for (int i = 0; i < count; ++i) {
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.chip = kChip;
        cfg.free_run = fps == 0 ? 1 : 0;
        if (fps != 0) cfg.fps = fps;
        if (camsim_plug(&cfg) < 0) return false;
    }
    kavri_dev_t list[kMaxCams] = {};
    if (kavri_dev_list(list, kMaxCams) != count) return false;
    for (int i = 0; i < count; ++i) {
        cams.push_back(std::make_unique<CamLoop>());
        cams.back()->dev = list[i];
        if (kavri_dev_open(&cams.back()->dev) == nullptr) return false;
    }
    return true;
}

double percentile(std::vector<uint64_t> &v, double q) {
    if (v.empty()) return 0.0;
    const auto k = static_cast<size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return static_cast<double>(v[k]);
}

// What one window measured: process CPU seconds, wall seconds, frames made.
struct Window {
    double cpu = 0.0;
    double seconds = 0.0;
    uint64_t made = 0;
};

void report(benchmark::State &state, std::vector<std::unique_ptr<CamLoop>> &cams, const Window &w) {
    const double cpu = w.cpu, seconds = w.seconds;
    std::vector<uint64_t> all;
    size_t slowest = SIZE_MAX;
    double app_cpu = 0.0;
    for (auto &c : cams) {
        app_cpu += c->app_cpu;
        all.insert(all.end(), c->latency_ns.begin(), c->latency_ns.end());
        slowest = std::min(slowest, c->latency_ns.size());
    }
    const auto frames = static_cast<double>(all.size());
    state.counters["fps_total"] = frames / seconds;
    state.counters["fps_slowest_cam"] = static_cast<double>(slowest) / seconds;
    state.counters["cpu_us_per_frame"] = frames > 0 ? cpu * 1e6 / frames : 0.0;
    // The application threads alone: fetch and decode, library code only.
    state.counters["app_cpu_us_per_frame"] = frames > 0 ? app_cpu * 1e6 / frames : 0.0;
    state.counters["cpu_cores_busy"] = cpu / seconds;
    state.counters["latency_median_us"] = percentile(all, 0.5) / kNsPerUs;
    state.counters["latency_p99_us"] = percentile(all, kP99) / kNsPerUs;
    state.counters["made_per_delivered"] = frames > 0 ? static_cast<double>(w.made) / frames : 0.0;
    state.SetItemsProcessed(static_cast<int64_t>(frames));
}

// args: camera count, frame rate (0: free running).
void BM_ManyCameras(benchmark::State &state) {
    const int count = static_cast<int>(state.range(0));
    const auto fps = static_cast<uint32_t>(state.range(1));
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    std::vector<std::unique_ptr<CamLoop>> cams;
    const bool opened = open_cameras(count, fps, cams);
    for (auto &c : cams)
        if (c->dev.ll != nullptr && !kavri_cap_start(&c->dev)) {
            state.SkipWithError("capture start failed");
        }
    if (!opened) state.SkipWithError("cameras could not be plugged or opened");

    std::atomic<bool> going{true}, measuring{false};
    if (!state.error_occurred())
        for (auto &c : cams)
            c->thread = std::thread([&, cam = c.get()] { cam->run(going, measuring); });
    for (auto _ : state) {
        std::this_thread::sleep_for(kWarmUp);
        Window w;
        const double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
        const uint64_t made0 = frames_made();
        const auto t0 = std::chrono::steady_clock::now();
        measuring.store(true);
        std::this_thread::sleep_for(kWindow);
        measuring.store(false);
        w.cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
        w.made = frames_made() - made0;
        w.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(w.seconds);
        going.store(false);
        for (auto &c : cams) kavri_cap_stop(&c->dev);
        for (auto &c : cams) c->thread.join();
        report(state, cams, w);
    }
    going.store(false);
    for (auto &c : cams) {
        if (c->thread.joinable()) {
            kavri_cap_stop(&c->dev);
            c->thread.join();
        }
        if (c->failed) state.SkipWithError("a distance decode failed");
        kavri_dev_close(&c->dev);
    }
    camsim_clear();
}
BENCHMARK(BM_ManyCameras)
    ->ArgNames({"cams", "fps"})
    ->ArgsProduct({{1, 2, 4, 8}, {0, kPacedFps}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The simulator's cost of making one frame, inside every figure above.
void BM_SimFrameGeneration(benchmark::State &state) {
    camsim::FrameGenConfig cfg{};
    cfg.chip = camsim::Chip::E2;
    camsim::FrameGenerator gen(cfg);
    camsim::SensorState s;
    s.intg_time = 1000;
    std::vector<uint8_t> out;
    for (auto _ : state) {
        gen.make_frame(s, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SimFrameGeneration)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
