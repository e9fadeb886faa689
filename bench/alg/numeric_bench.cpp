// Applying the undistortion map against cv::remap (nearest, CV_16SC2 maps), and
// the table atan2 with the fast square root against cv::phase + cv::magnitude,
// on 320 x 240 images, single thread. The library's vector paths run the
// instruction set it picked: run the program with KAVRI_MAX_ISA=baseline,
// avx2 and avx512 for one column each (each benchmark's label names the one
// that ran); OpenCV runs beside them in the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "alg/fixmath.h"
#include "core/isa.h"
#include "kavri/kvmath.h"
#include "kavri/lens.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr int kPixels = kW * kH;

kv_lens_param_t default_lens() {
    kv_lens_param_t p{};
    p.cx = 157.262;
    p.cy = 122.083;
    p.fx = 210.783;
    p.fy = 204.817;
    const double d[5] = {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954};
    for (int i = 0; i < 5; ++i) p.dcoeff[i] = d[i];
    p.img_w = kW;
    p.img_h = kH;
    return p;
}

// A depth scene: a slanted floor, a box in front, noise and a few holes.
std::vector<uint16_t> depth_scene() {
    std::vector<uint16_t> img(kPixels);
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0, 8);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            double d = 3000 - 6.0 * y;
            if (x > 100 && x < 200 && y > 60 && y < 160) d = 1200;
            d += noise(rng);
            img[y * kW + x] = static_cast<uint16_t>(d);
        }
    }
    for (int i = 0; i < 500; ++i) img[rng() % kPixels] = 65300;
    return img;
}

// DCS differences of a ToF frame: the two components of each pixel's phasor.
struct Phasors {
    std::vector<int32_t> a, b;
    cv::Mat fa, fb;
};

Phasors phasors() {
    Phasors p;
    p.a.resize(kPixels);
    p.b.resize(kPixels);
    std::mt19937 rng(2);
    std::uniform_real_distribution<double> phase(0, 2 * 3.14159265358979323846);
    std::uniform_real_distribution<double> amp(20, 1800);
    for (int i = 0; i < kPixels; ++i) {
        const double ph = phase(rng), am = amp(rng);
        p.a[i] = static_cast<int32_t>(am * std::sin(ph));
        p.b[i] = static_cast<int32_t>(am * std::cos(ph));
    }
    cv::Mat(kH, kW, CV_32SC1, p.a.data()).convertTo(p.fa, CV_32F);
    cv::Mat(kH, kW, CV_32SC1, p.b.data()).convertTo(p.fb, CV_32F);
    return p;
}

void BM_Undistort_Kavri(benchmark::State &state) {
    const kv_lens_param_t lens = default_lens();
    kv_calib_len_map_t map{};
    kv_calib_len_init_map(&map, &lens);
    const std::vector<uint16_t> src = depth_scene();
    std::vector<uint16_t> dst(kPixels);
    for (auto _ : state) {
        kv_calib_len_undistort_u16(&map, dst.data(), kPixels, src.data(), kW, kH, 0);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    kv_calib_len_uninit_map(&map);
}
BENCHMARK(BM_Undistort_Kavri);

void BM_Undistort_CvRemapNearest16SC2(benchmark::State &state) {
    cv::setNumThreads(1);
    const kv_lens_param_t lens = default_lens();
    const cv::Matx33d k(lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
    const cv::Mat d(1, 5, CV_64F, const_cast<double *>(lens.dcoeff));
    const cv::Size size(kW, kH);
    const cv::Matx33d nk = cv::getOptimalNewCameraMatrix(k, d, size, 1.0, size);
    cv::Mat mx, my, m1, m2;
    cv::initUndistortRectifyMap(k, d, cv::noArray(), nk, size, CV_32FC1, mx, my);
    cv::convertMaps(mx, my, m1, m2, CV_16SC2, true);  // nearest: no interpolation table
    std::vector<uint16_t> pixels = depth_scene();
    const cv::Mat src(kH, kW, CV_16UC1, pixels.data());
    cv::Mat dst(kH, kW, CV_16UC1);
    for (auto _ : state) {
        cv::remap(src, dst, m1, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Undistort_CvRemapNearest16SC2);

void BM_PhaseAmp_KavriExported(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<int32_t> phase(kPixels);
    std::vector<float> amp(kPixels);
    for (auto _ : state) {
        for (int i = 0; i < kPixels; ++i) {
            const int32_t a = p.a[i], b = p.b[i];
            phase[i] = kv_math_atan2_i32(a, b);
            amp[i] = kv_math_sqrtf(static_cast<float>(a * a + b * b));
        }
        benchmark::DoNotOptimize(phase.data());
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PhaseAmp_KavriExported);

void BM_PhaseAmp_KavriInline(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<int32_t> phase(kPixels);
    std::vector<float> amp(kPixels);
    for (auto _ : state) {
        for (int i = 0; i < kPixels; ++i) {
            const int32_t a = p.a[i], b = p.b[i];
            phase[i] = kavri::atan2_phase(a, b);
            amp[i] = kavri::fast_sqrtf(static_cast<float>(a * a + b * b));
        }
        benchmark::DoNotOptimize(phase.data());
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PhaseAmp_KavriInline);

// The squared amplitudes in one plain pass (vectorised for the baseline).
void power(float *__restrict dst, const int32_t *__restrict a, const int32_t *__restrict b, int n) {
    for (int i = 0; i < n; ++i) dst[i] = static_cast<float>(a[i] * a[i] + b[i] * b[i]);
}

void label_isa(benchmark::State &state) {
    state.SetLabel(kavri::isa::name(kavri::isa::active()));
}

void BM_PhaseAmp_KavriBatch(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<int32_t> phase(kPixels);
    std::vector<float> amp(kPixels);
    for (auto _ : state) {
        power(amp.data(), p.a.data(), p.b.data(), kPixels);
        kavri::atan2_phase_n(phase.data(), p.a.data(), p.b.data(), kPixels);
        kavri::fast_sqrtf_n(amp.data(), amp.data(), kPixels);
        benchmark::DoNotOptimize(phase.data());
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
    label_isa(state);
}
BENCHMARK(BM_PhaseAmp_KavriBatch);

// Phase and amplitude in one fused pass over the integer phasors, as the
// depth decode runs it (power shifted by 2, phase turned by half a turn): the
// pass to compare with OpenCV's phase + magnitude.
void BM_PhaseAmp_KavriFused(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<int32_t> phase(kPixels);
    std::vector<float> amp(kPixels);
    constexpr int32_t kDecodeShift = 2;
    constexpr int32_t kDecodeTurn = kavri::kAngleHalf;
    for (auto _ : state) {
        kavri::phase_amp_n(phase.data(), amp.data(), p.a.data(), p.b.data(), kPixels, kDecodeShift,
                           kDecodeTurn);
        benchmark::DoNotOptimize(phase.data());
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
    label_isa(state);
}
BENCHMARK(BM_PhaseAmp_KavriFused);

// The parts of the batch form on their own.
void BM_PhaseOnly_KavriBatch(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<int32_t> phase(kPixels);
    for (auto _ : state) {
        kavri::atan2_phase_n(phase.data(), p.a.data(), p.b.data(), kPixels);
        benchmark::DoNotOptimize(phase.data());
        benchmark::ClobberMemory();
    }
    label_isa(state);
}
BENCHMARK(BM_PhaseOnly_KavriBatch);

void BM_SqrtOnly_KavriBatch(benchmark::State &state) {
    const Phasors p = phasors();
    std::vector<float> sq(kPixels), amp(kPixels);
    for (int i = 0; i < kPixels; ++i) sq[i] = static_cast<float>(p.a[i] * p.a[i] + p.b[i] * p.b[i]);
    for (auto _ : state) {
        kavri::fast_sqrtf_n(amp.data(), sq.data(), kPixels);
        benchmark::DoNotOptimize(amp.data());
        benchmark::ClobberMemory();
    }
    label_isa(state);
}
BENCHMARK(BM_SqrtOnly_KavriBatch);

void BM_PhaseAmp_CvPhaseMagnitude(benchmark::State &state) {
    cv::setNumThreads(1);
    const Phasors p = phasors();
    cv::Mat phase(kH, kW, CV_32F), mag(kH, kW, CV_32F);
    for (auto _ : state) {
        cv::phase(p.fb, p.fa, phase);  // atan2(a, b)
        cv::magnitude(p.fb, p.fa, mag);
        benchmark::DoNotOptimize(phase.data);
        benchmark::DoNotOptimize(mag.data);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PhaseAmp_CvPhaseMagnitude);

// The same, with the conversion of the integer phasors to float that OpenCV needs.
void BM_PhaseAmp_CvConvertPhaseMagnitude(benchmark::State &state) {
    cv::setNumThreads(1);
    Phasors p = phasors();
    const cv::Mat ia(kH, kW, CV_32SC1, p.a.data()), ib(kH, kW, CV_32SC1, p.b.data());
    cv::Mat fa, fb, phase(kH, kW, CV_32F), mag(kH, kW, CV_32F);
    for (auto _ : state) {
        ia.convertTo(fa, CV_32F);
        ib.convertTo(fb, CV_32F);
        cv::phase(fb, fa, phase);
        cv::magnitude(fb, fa, mag);
        benchmark::DoNotOptimize(phase.data);
        benchmark::DoNotOptimize(mag.data);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PhaseAmp_CvConvertPhaseMagnitude);

}  // namespace

BENCHMARK_MAIN();
