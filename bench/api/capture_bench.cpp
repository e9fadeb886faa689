// Frames per second and CPU time per frame of a free-running capture
// delivered by kavri_cap_get_frames, for a TI and an EPC camera. Beside it:
// the same stream through the transport alone (no parsing, no delivery) and
// the simulator's cost of generating one frame, so the library's share can
// be told apart from the simulator's.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "camsim.h"
#include "frame_gen.h"
#include "kavri.h"

#include "cache_dir.h"

namespace {

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int plug_free_running(uint8_t chip) {
    static CacheDir cache;
    camsim_clear();
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.chip = chip;
    cfg.free_run = 1;
    return camsim_plug(&cfg);
}

void report(benchmark::State &state, uint64_t frames, double cpu0, double bytes_per_frame) {
    const double cpu = process_cpu_seconds() - cpu0;
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<double>(frames) * bytes_per_frame));
    state.counters["process_cpu_us_per_frame"] =
        benchmark::Counter(frames ? cpu * 1e6 / static_cast<double>(frames) : 0.0);
}

// kavri_cap_get_frames, one frame per call, into the application's buffer.
void BM_CaptureGetFrames(benchmark::State &state) {
    const uint8_t chip = static_cast<uint8_t>(state.range(0));
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    if (plug_free_running(chip) < 0) {
        state.SkipWithError("no simulated camera");
        return;
    }
    kavri_dev_t dev{};
    if (kavri_dev_open(&dev) == nullptr || !kavri_cap_start(&dev)) {
        state.SkipWithError("open or start failed");
        kavri_dev_close(&dev);
        return;
    }
    std::vector<uint8_t> buf(4u << 20);
    kavri_frame_info_t info{};
    kavri_cap_get_frames(&dev, 4, buf.data(), static_cast<uint32_t>(buf.size()), &info);  // warm
    uint64_t frames = 0;
    const double cpu0 = process_cpu_seconds();
    for (auto _ : state) {
        const int n =
            kavri_cap_get_frames(&dev, 1, buf.data(), static_cast<uint32_t>(buf.size()), &info);
        if (n < 0) {
            state.SkipWithError("capture error");
            break;
        }
        frames += static_cast<uint64_t>(n);
    }
    report(state, frames, cpu0, info.frame_size);
    kavri_dev_close(&dev);
    camsim_clear();
}
BENCHMARK(BM_CaptureGetFrames)
    ->Arg(CAMSIM_CHIP_T0)
    ->Arg(CAMSIM_CHIP_E2)
    ->UseRealTime()
    ->MinTime(2.0);

// The stream through the transport only: bytes counted, nothing parsed.
struct ByteCount {
    std::atomic<uint64_t> bytes{0};
};
int32_t count_bytes(kavri_ll_t *, int32_t code, uint8_t *, uint32_t len, void *arg) {
    if (code == 0) static_cast<ByteCount *>(arg)->bytes.fetch_add(len, std::memory_order_relaxed);
    return 0;
}

void BM_TransportOnly(benchmark::State &state) {
    const uint8_t chip = static_cast<uint8_t>(state.range(0));
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    const int cam = plug_free_running(chip);
    camsim_camera_info_t ci{};
    if (cam < 0 || camsim_camera_info(cam, &ci) != CAMSIM_OK) {
        state.SkipWithError("no simulated camera");
        return;
    }
    kavri_ll_t ll{};
    ByteCount count;
    if (kavri_ll_dev_open(&ll) == nullptr || !kavri_ll_cap_start(&ll, 0, count_bytes, &count)) {
        state.SkipWithError("open or start failed");
        kavri_ll_dev_close(&ll);
        return;
    }
    // One iteration: wait until one more frame's worth of bytes arrived.
    const uint64_t frame = ci.frame_bytes;
    uint64_t target = count.bytes.load() + frame;
    const double cpu0 = process_cpu_seconds();
    uint64_t frames = 0;
    for (auto _ : state) {
        // Polled with short sleeps so the waiting costs next to no CPU.
        while (count.bytes.load(std::memory_order_relaxed) < target)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        target += frame;
        ++frames;
    }
    report(state, frames, cpu0, static_cast<double>(frame));
    kavri_ll_cap_stop(&ll);
    kavri_ll_dev_close(&ll);
    camsim_clear();
}
BENCHMARK(BM_TransportOnly)->Arg(CAMSIM_CHIP_T0)->Arg(CAMSIM_CHIP_E2)->UseRealTime()->MinTime(2.0);

// The simulator's cost of making one frame's payload.
void BM_SimFrameGeneration(benchmark::State &state) {
    camsim::FrameGenConfig cfg{};
    cfg.chip = state.range(0) == CAMSIM_CHIP_T0 ? camsim::Chip::T0 : camsim::Chip::E2;
    camsim::FrameGenerator gen(cfg);
    camsim::SensorState s;
    s.intg_time = 1000;
    std::vector<uint8_t> out;
    for (auto _ : state) {
        gen.make_frame(s, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}
BENCHMARK(BM_SimFrameGeneration)->Arg(CAMSIM_CHIP_T0)->Arg(CAMSIM_CHIP_E2);

}  // namespace

BENCHMARK_MAIN();
