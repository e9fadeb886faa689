// A script's frame loop, `for frame in cam.frames(): frame.distance(out=buf)`,
// beside the same loop in C (kavri_cap_get_frames for one frame, then
// kavri_frame_get_distance into one buffer), each on a free-running
// simulated camera: frames per second and process CPU per frame. The Python
// loop runs in a child process with the package and Debian's interpreter.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "camsim.h"
#include "kavri.h"

namespace {

constexpr int kFrames = 1500;
constexpr int kWarmup = 30;
constexpr uint32_t kWidth = 320, kHeight = 240;
constexpr uint32_t kFrameRoom = 4u << 20;
constexpr uint32_t kQueueFrames = 8;

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto s = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return s(u.ru_utime) + s(u.ru_stime);
}

struct Rate {
    double fps = 0, cpu_us = 0;
};
Rate g_c;  // the C loop's result, for the ratio

std::string workdir(const char *name) {
    const auto dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(dir);
    return dir.string() + "/";
}

void report(benchmark::State &state, const Rate &r) {
    state.counters["fps"] = r.fps;
    state.counters["cpu_us_per_frame"] = r.cpu_us;
}

void BM_CFrameLoop(benchmark::State &state) {
    const std::string dir = workdir("kavri-bench-python-c");
    kavri_init((dir + "kavri.log").c_str());
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    kavri_path_cfg(dir.c_str());
    camsim_clear();
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.free_run = 1;
    if (camsim_plug(&cfg) < 0) return state.SkipWithError("no simulated camera");
    kavri_dev_t dev{};
    if (kavri_dev_open(&dev) == nullptr) return state.SkipWithError("open failed");
    kavri_cap_set_frame_buffer(&dev, nullptr, kQueueFrames * KAVRI_CAP_FRAME_BYTES);
    std::vector<uint8_t> raw(kFrameRoom);
    std::vector<float> dist(kWidth * kHeight);
    kavri_frame_info_t info{};
    const auto one = [&] {
        if (kavri_cap_get_frames(&dev, 1, raw.data(), kFrameRoom, &info) != 1) return false;
        return kavri_frame_get_distance(&dev, dist.data(), uint32_t(dist.size()), raw.data(),
                                        info.frame_size, &info) == int(dist.size());
    };
    bool ok = kavri_cap_start(&dev) == 1;
    for (int i = 0; ok && i < kWarmup; ++i) ok = one();
    for (auto _ : state) {
        const double w0 = wall_seconds(), c0 = process_cpu_seconds();
        int n = 0;
        for (; ok && n < kFrames; ++n) ok = one();
        const double wall = wall_seconds() - w0, cpu = process_cpu_seconds() - c0;
        g_c = {n / wall, cpu * 1e6 / n};
    }
    kavri_cap_stop(&dev);
    kavri_dev_close(&dev);
    camsim_clear();
    kavri_uninit();
    if (!ok) return state.SkipWithError("a frame failed");
    report(state, g_c);
}
BENCHMARK(BM_CFrameLoop)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PythonFrameLoop(benchmark::State &state) {
    const std::string cmd =
        std::string("env KAVRI_LIBRARY=") + KAVRI_BENCH_LIBRARY +
        " KAVRI_CAMSIM_LIBRARY=" + KAVRI_BENCH_CAMSIM + " PYTHONPATH=" + KAVRI_BENCH_PYTHONPATH +
        " KAVRI_WORKDIR=" + workdir("kavri-bench-python-py") + " PYTHONDONTWRITEBYTECODE=1 " +
        KAVRI_BENCH_PYTHON + " " + KAVRI_BENCH_SCRIPT + " " + std::to_string(kFrames) + " " +
        std::to_string(kWarmup);
    Rate r;
    for (auto _ : state) {
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr) return state.SkipWithError("cannot run python3");
        int frames = 0;
        double wall = 0, cpu = 0;
        const int got = std::fscanf(p, "frames=%d wall_s=%lf cpu_s=%lf", &frames, &wall, &cpu);
        if (pclose(p) != 0 || got != 3 || frames <= 0 || wall <= 0)
            return state.SkipWithError("the Python loop failed");
        r = {frames / wall, cpu * 1e6 / frames};
    }
    report(state, r);
    if (g_c.fps > 0) state.counters["rate_of_c"] = r.fps / g_c.fps;
}
BENCHMARK(BM_PythonFrameLoop)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
