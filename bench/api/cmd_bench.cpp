// Command round trips per second on one simulated camera: a parameter read
// and a register read, from one thread and from four threads sharing the
// device. Every reply is checked against the value written at the start, so
// a reply handed to the wrong thread ends the benchmark with an error.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "camsim.h"
#include "kavri.h"

namespace {

constexpr uint32_t kFps = 25;  // parameter 12, read back by every parameter round trip
constexpr uint8_t kIllumTarget = 2;
constexpr uint32_t kRegister = 5;
constexpr uint32_t kRegisterValue = 0x5eed1234;
constexpr int kConcurrentThreads = 4;

kavri_dev_t g_dev{};

kavri_param_item_t fps_item(uint32_t v = 0) {
    kavri_param_item_t it{};
    it.param_id = KAVRI_PARAM_FPS;
    it.param_val_len = 4;
    for (int i = 0; i < 4; ++i) it.param_val[i] = static_cast<uint8_t>(v >> (8 * i));
    return it;
}

void BM_ParamGet(benchmark::State &state) {
    for (auto _ : state) {
        kavri_param_item_t it = fps_item();
        if (kavri_param_batch_get(&g_dev, &it, 1) != 1) {
            state.SkipWithError("parameter read failed");
            break;
        }
        const uint32_t v = it.param_val[0] | it.param_val[1] << 8 | it.param_val[2] << 16 |
                           static_cast<uint32_t>(it.param_val[3]) << 24;
        if (v != kFps) {
            state.SkipWithError("parameter read answered with another value");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParamGet)->Threads(1)->Threads(kConcurrentThreads)->UseRealTime();

void BM_RegRead(benchmark::State &state) {
    for (auto _ : state) {
        uint32_t v = 0;
        if (kavri_reg_batch_read(&g_dev, kIllumTarget, kRegister, &v, 1) != 1) {
            state.SkipWithError("register read failed");
            break;
        }
        if (v != kRegisterValue) {
            state.SkipWithError("register read answered with another value");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegRead)->Threads(1)->Threads(kConcurrentThreads)->UseRealTime();

// A T0 camera: it opens without pulling a calibration.
bool open_camera() {
    camsim_clear();
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.chip = CAMSIM_CHIP_T0;
    if (camsim_plug(&cfg) < 0 || kavri_dev_open(&g_dev) != &g_dev) return false;
    kavri_param_item_t it = fps_item(kFps);
    uint32_t v = kRegisterValue;
    return kavri_param_batch_set(&g_dev, &it, 1) == 1 &&
           kavri_reg_batch_write(&g_dev, kIllumTarget, kRegister, &v, 1) == 1;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    if (!open_camera()) {
        std::fprintf(stderr, "bench_cmd: the simulated camera does not open\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kavri_dev_close(&g_dev);
    camsim_clear();
    return 0;
}
