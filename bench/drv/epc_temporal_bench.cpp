// The temporal filter's cost per 320x240 distance image, in its steady state,
// beside OpenCV's running average (cv::accumulateWeighted) of the same images.
// OpenCV's average has no markers, motion restart or hole persistence: it is
// the floor of what a running average over the image costs, not an
// equivalent.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "drv/epc_temporal.h"
#include "kavri/epc.h"

namespace {

constexpr int kW = 320, kH = 240;
constexpr size_t kN = static_cast<size_t>(kW) * kH;
// Frames cycled through, so that the history sees fresh noise each frame
// while the inputs stay in cache as a camera's latest frame would be.
constexpr size_t kFrames = 8;
// A wall tilted from 1.8 m to 2.4 m across the image, with the noise of a
// moderate amplitude and a few pixels removed or without a distance.
constexpr double kNearMm = 1800.0, kFarMm = 2400.0, kNoiseMm = 8.0;
constexpr double kRemovedShare = 0.02, kNoDistShare = 0.01;
constexpr uint16_t kWeightPermille = 200;  // a fifth of each new frame
constexpr int32_t kFracScale = 16;         // history and threshold in 1/16 mm
constexpr int kWarmFrames = 32;
constexpr double kWeight = kWeightPermille / 1000.0;

using Image = std::vector<uint16_t>;

std::array<Image, kFrames> make_frames() {
    std::mt19937 rng(1234);
    std::normal_distribution<double> noise(0.0, kNoiseMm);
    std::uniform_real_distribution<double> pick(0.0, 1.0);
    std::array<Image, kFrames> frames;
    for (Image &f : frames) {
        f.resize(kN);
        for (size_t i = 0; i < kN; ++i) {
            const double x = static_cast<double>(i % kW) / (kW - 1);
            const double p = pick(rng);
            if (p < kRemovedShare) {
                f[i] = KAVRI_DIST_REMOVED;
            } else if (p < kRemovedShare + kNoDistShare) {
                f[i] = KAVRI_DIST_NO_DIST;
            } else {
                const double mm = kNearMm + (kFarMm - kNearMm) * x + noise(rng);
                f[i] = static_cast<uint16_t>(std::lround(mm));
            }
        }
    }
    return frames;
}

const std::array<Image, kFrames> &frames() {
    static const std::array<Image, kFrames> f = make_frames();
    return f;
}

void set_per_frame_counters(benchmark::State &state) {
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The pass works in place, so each frame is first copied into the image the
// pass runs on, as the decode hands it its freshly made image; BM_CopyOnly is
// that copy alone, to take off.
void BM_TemporalPass(benchmark::State &state) {
    const auto &src = frames();
    Image work(kN);
    std::vector<int32_t> history(kN, -1);
    std::vector<uint8_t> held(kN, 0);
    const int32_t w = kavri::epc::weight_q10(kWeightPermille);
    const int32_t motion = static_cast<int32_t>(KAVRI_TEMPORAL_MOTION_MM_DEFAULT) * kFracScale;
    const auto holes = static_cast<uint8_t>(KAVRI_TEMPORAL_HOLE_FRAMES_DEFAULT);
    size_t k = 0;
    // Steady state: every valid pixel has a history to blend into.
    for (int i = 0; i < kWarmFrames; ++i, k = (k + 1) % kFrames) {
        std::memcpy(work.data(), src[k].data(), kN * sizeof(uint16_t));
        kavri::epc::temporal_pass(work.data(), history.data(), held.data(), kN, w, motion, holes);
    }
    for (auto _ : state) {
        std::memcpy(work.data(), src[k].data(), kN * sizeof(uint16_t));
        kavri::epc::temporal_pass(work.data(), history.data(), held.data(), kN, w, motion, holes);
        benchmark::ClobberMemory();
        k = (k + 1) % kFrames;
    }
    set_per_frame_counters(state);
}

void BM_CopyOnly(benchmark::State &state) {
    const auto &src = frames();
    Image work(kN);
    size_t k = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), src[k].data(), kN * sizeof(uint16_t));
        benchmark::ClobberMemory();
        k = (k + 1) % kFrames;
    }
}

// accumulateWeighted takes a 16-bit source directly into a float accumulator.
void BM_OpenCvAccumulate_U16(benchmark::State &state) {
    cv::setNumThreads(1);
    std::vector<cv::Mat> src;
    for (const Image &f : frames())
        src.emplace_back(kH, kW, CV_16UC1, const_cast<uint16_t *>(f.data()));
    cv::Mat acc;
    src[0].convertTo(acc, CV_32F);
    size_t k = 0;
    for (int i = 0; i < kWarmFrames; ++i, k = (k + 1) % kFrames)
        cv::accumulateWeighted(src[k], acc, kWeight);
    for (auto _ : state) {
        cv::accumulateWeighted(src[k], acc, kWeight);
        benchmark::DoNotOptimize(acc.data);
        k = (k + 1) % kFrames;
    }
    set_per_frame_counters(state);
}

// The same with the sources converted to float once, outside the loop.
void BM_OpenCvAccumulate_F32(benchmark::State &state) {
    cv::setNumThreads(1);
    std::vector<cv::Mat> src;
    for (const Image &f : frames()) {
        cv::Mat m;
        cv::Mat(kH, kW, CV_16UC1, const_cast<uint16_t *>(f.data())).convertTo(m, CV_32F);
        src.push_back(m);
    }
    cv::Mat acc = src[0].clone();
    size_t k = 0;
    for (int i = 0; i < kWarmFrames; ++i, k = (k + 1) % kFrames)
        cv::accumulateWeighted(src[k], acc, kWeight);
    for (auto _ : state) {
        cv::accumulateWeighted(src[k], acc, kWeight);
        benchmark::DoNotOptimize(acc.data);
        k = (k + 1) % kFrames;
    }
    set_per_frame_counters(state);
}

// A 16-bit source and a 16-bit image out, as the pass gives the decode.
void BM_OpenCvAccumulate_U16_Out16(benchmark::State &state) {
    cv::setNumThreads(1);
    std::vector<cv::Mat> src;
    for (const Image &f : frames())
        src.emplace_back(kH, kW, CV_16UC1, const_cast<uint16_t *>(f.data()));
    cv::Mat acc, out;
    src[0].convertTo(acc, CV_32F);
    size_t k = 0;
    for (int i = 0; i < kWarmFrames; ++i, k = (k + 1) % kFrames)
        cv::accumulateWeighted(src[k], acc, kWeight);
    for (auto _ : state) {
        cv::accumulateWeighted(src[k], acc, kWeight);
        acc.convertTo(out, CV_16U);
        benchmark::DoNotOptimize(out.data);
        k = (k + 1) % kFrames;
    }
    set_per_frame_counters(state);
}

BENCHMARK(BM_TemporalPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CopyOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvAccumulate_U16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvAccumulate_F32)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCvAccumulate_U16_Out16)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
