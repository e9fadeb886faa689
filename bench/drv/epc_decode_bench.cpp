// The default distance decode of one 320x240 EPC frame through
// kavri_frame_get_distance, calibrated and simple, with each stage of the
// pipeline on its own, and the same chain assembled from OpenCV calls. The
// library runs the instruction set it picked: KAVRI_MAX_ISA=baseline, avx2 or
// avx512 gives one column each (the decode's label names it).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <unistd.h>
#include <vector>

#include "api/dev_priv.h"
#include "calib_gen.h"
#include "drv/calc_pixel.h"
#include "drv/epc_decode_steps.h"
#include "alg/fixmath.h"
#include "core/isa.h"
#include "drv/epc_state.h"
#include "frame_gen.h"
#include "kavri/api.h"
#include "kavri/epc.h"
#include "kavri/filter.h"
#include "kavri/lens.h"
#include "kavri/log.h"

namespace {

constexpr uint32_t kW = 320, kH = 240, kN = kW * kH;

// One simulated frame of the default scene and a driver with the camera's
// calibration mounted, behind a device record that the API accepts.
struct Rig {
    camsim::FrameGenerator gen{camsim::FrameGenConfig{}};
    std::vector<uint8_t> raw;
    kavri_frame_info_t info{};
    kavri_drv_t drv{};
    kavri_dev_priv_t priv{};
    kavri_dev_t dev{};
    std::vector<float> out = std::vector<float>(kN);
    std::string calib_path;

    Rig() {
        cv::setNumThreads(1);
        kv_log_enable(0, KV_LOG_OFF, nullptr);
        camsim::SensorState s;
        s.intg_time = 1000;
        gen.make_frame(s, raw);
        info.frame_size = static_cast<uint32_t>(raw.size());
        info.frame_format = 2;
        info.width = kW;
        info.height = kH;
        info.pixel_width = 8;
        calib_path = "/tmp/kv_epc_bench_" + std::to_string(::getpid()) + ".bin";
        const std::vector<uint8_t> file = camsim::make_calib_file(gen);
        FILE *f = std::fopen(calib_path.c_str(), "wb");
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
        drv.ops = &g_kavri_driver_op_epc;
        epc_init(&drv, nullptr);
        auto &st = *kavri::epc::state_of(&drv);
        std::snprintf(st.param_path, sizeof st.param_path, "%s", calib_path.c_str());
        st.param_valid = 1;
        epc_calc_mount_calib(&drv);
        epc_update_mod_freq(&drv, 12000000, 0);
        st.t_sensor = 350;
        st.t_ib = 300;
        priv.drv = &drv;
        priv.is_open = 1;
        priv.ready = true;  // as after an open: calls from any thread get in
        dev.ll = &priv.ll;
    }
    ~Rig() {
        epc_uninit(&drv);
        std::remove(calib_path.c_str());
    }
    kavri::epc::State &st() { return *kavri::epc::state_of(&drv); }
    const uint16_t *src() const { return reinterpret_cast<const uint16_t *>(raw.data()); }
};

Rig &rig() {
    static Rig r;
    return r;
}

void run_get_distance(benchmark::State &state, bool calibrated) {
    Rig &r = rig();
    r.st().calib_en = calibrated ? 1 : 0;
    int n = 0;
    for (auto _ : state) {
        n = kavri_frame_get_distance(&r.dev, r.out.data(), kN, r.raw.data(),
                                     static_cast<uint32_t>(r.raw.size()), &r.info);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    // A decode that refused the frame would be timed as a fast one.
    if (n != static_cast<int>(kN)) state.SkipWithError("the decode did not fill the frame");
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(kavri::isa::name(kavri::isa::active()));
}

void BM_GetDistance_Calibrated(benchmark::State &s) {
    run_get_distance(s, true);
}
void BM_GetDistance_Simple(benchmark::State &s) {
    run_get_distance(s, false);
}
BENCHMARK(BM_GetDistance_Calibrated)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetDistance_Simple)->Unit(benchmark::kMicrosecond);

// ---- the stages one by one -------------------------------------------------
struct StageBufs {
    std::vector<uint16_t> a = std::vector<uint16_t>(kN), b = std::vector<uint16_t>(kN),
                          c = std::vector<uint16_t>(kN);
    std::vector<uint8_t> state = std::vector<uint8_t>(kN, 1);
};

void BM_Stage1_PhaseDrnu(benchmark::State &s) {
    Rig &r = rig();
    StageBufs b;
    for (auto _ : s) calc_dist_calib_drnu(&r.drv, b.a.data(), b.b.data(), r.src(), kW, kH, 4);
}
void BM_Stage1_PhaseSimple(benchmark::State &s) {
    Rig &r = rig();
    StageBufs b;
    for (auto _ : s) calc_dist_calib_simple(&r.drv, b.a.data(), b.b.data(), r.src(), kW, kH, 4);
}
void BM_Stage2_RowSortTwice(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) {
        calc_dcs_sort(b.c.data(), b.a.data(), kW, kH);
        calc_dcs_sort(b.a.data(), b.b.data(), kW, kH);
    }
}
void BM_Stage3_AmpHysteresis(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) kavri::epc::amp_filter_hyst(b.a.data(), b.b.data(), b.state.data(), kN, 0, 10);
}
void BM_Stage4_Median5(benchmark::State &s) {
    Rig &r = rig();
    StageBufs b;
    calc_dist_calib_drnu(&r.drv, b.a.data(), b.b.data(), r.src(), kW, kH, 4);
    for (auto _ : s) kv_median2d_u16_k5(b.c.data(), b.a.data(), kW, kH);
}
void BM_Stage5_Gauss3(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) kv_gauss2d_u16_k3(b.c.data(), b.a.data(), kW, kH);
}
void BM_Stage6_FlyPixel(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) kv_flypix_u16_k3(b.c.data(), b.a.data(), kW, kH, 90000);
}
void BM_Stage7_HoleFill(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) kv_fhole_u16_k3(b.c.data(), b.a.data(), kW, kH, 0);
}
void BM_Stage8_RangeCheck(benchmark::State &s) {
    StageBufs b;
    for (auto _ : s) kavri::epc::range_check(b.a.data(), kN, 12491);
}
void BM_Stage9_ToMetres(benchmark::State &s) {
    std::vector<float> f(kN);
    for (auto _ : s) {
        const auto *u = reinterpret_cast<const uint16_t *>(f.data() + kN / 2);
        for (uint32_t i = 0; i < kN; ++i) f[i] = static_cast<float>(u[i]) * 0.001f;
        benchmark::ClobberMemory();
    }
}
void BM_Stage1a_PhaseAmpOnly(benchmark::State &s) {
    Rig &r = rig();
    kavri::epc::PixelBlock blk;
    for (auto _ : s)
        for (size_t f = 0; f < kN; f += kavri::epc::kBlock)
            kavri::epc::compute_block(blk, r.src(), kN, f, kavri::epc::kBlock);
}
void BM_Stage1b_Atan2Only(benchmark::State &s) {
    kavri::epc::PixelBlock blk{};
    for (int i = 0; i < kavri::epc::kBlock; ++i) {
        blk.x[i] = 100 + i;
        blk.y[i] = 300 - i;
    }
    for (auto _ : s)
        for (size_t f = 0; f < kN; f += kavri::epc::kBlock)
            kavri::atan2_phase_n(blk.phase, blk.y, blk.x, kavri::epc::kBlock);
}
BENCHMARK(BM_Stage1a_PhaseAmpOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage1b_Atan2Only)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage1_PhaseDrnu)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage1_PhaseSimple)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage2_RowSortTwice)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage3_AmpHysteresis)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage4_Median5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage5_Gauss3)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage6_FlyPixel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage7_HoleFill)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage8_RangeCheck)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Stage9_ToMetres)->Unit(benchmark::kMicrosecond);

// ---- the same chain from OpenCV calls ----------------------------------------
// phase + magnitude, 5x5 median, 3x3 gaussian, Sobel edge threshold, dilate,
// remap.
void BM_OpenCvChain(benchmark::State &state) {
    Rig &r = rig();
    cv::Mat d0(kH, kW, CV_16UC1, const_cast<uint16_t *>(r.src()));
    cv::Mat d1(kH, kW, CV_16UC1, const_cast<uint16_t *>(r.src()) + kN);
    cv::Mat d2(kH, kW, CV_16UC1, const_cast<uint16_t *>(r.src()) + 2 * kN);
    cv::Mat d3(kH, kW, CV_16UC1, const_cast<uint16_t *>(r.src()) + 3 * kN);
    cv::Mat f0, f1, f2, f3, x, y, ph, mag, mm, med, g, gx, gy, edge, grow, outm, map1, map2;
    cv::Mat k = cv::Mat::eye(3, 3, CV_64F);
    k.at<double>(0, 0) = 210.783;
    k.at<double>(1, 1) = 204.817;
    k.at<double>(0, 2) = 157.262;
    k.at<double>(1, 2) = 122.083;
    const cv::Mat dist =
        (cv::Mat_<double>(1, 5) << -0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954);
    cv::initUndistortRectifyMap(k, dist, cv::Mat(), k, cv::Size(kW, kH), CV_16SC2, map1, map2);
    const double mm_per_rad = 12491.0 / (2 * CV_PI);
    for (auto _ : state) {
        d0.convertTo(f0, CV_32F);
        d1.convertTo(f1, CV_32F);
        d2.convertTo(f2, CV_32F);
        d3.convertTo(f3, CV_32F);
        cv::subtract(f2, f0, x);
        cv::subtract(f3, f1, y);
        cv::phase(x, y, ph);
        cv::magnitude(x, y, mag);
        ph.convertTo(mm, CV_16U, mm_per_rad, -2000.0);
        cv::medianBlur(mm, med, 5);
        cv::GaussianBlur(med, g, cv::Size(3, 3), 0);
        cv::Sobel(g, gx, CV_32F, 1, 0, 3);
        cv::Sobel(g, gy, CV_32F, 0, 1, 3);
        cv::magnitude(gx, gy, edge);
        cv::threshold(edge, edge, 300.0, 1.0, cv::THRESH_BINARY);
        cv::dilate(g, grow, cv::Mat());
        cv::remap(grow, outm, map1, map2, cv::INTER_NEAREST);
        benchmark::DoNotOptimize(outm.data);
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpenCvChain)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
