// Depth image filters against OpenCV on a 320x240 synthetic depth scene.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "kavri/filter.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr uint16_t kMarker = 65300;
// Threshold of the fly-pixel filter (compared as threshold >> 4 with the
// squared gradient of the quartered values): edges above ~100 mm per pixel.
constexpr uint32_t kFlyThreshold = 16u * 200u * 200u;

// A sloped wall with a box and a ball in front, sensor noise, and the holes of
// a real frame: zero-amplitude pixels and removed pixels.
const cv::Mat &depth_scene() {
    static const cv::Mat img = [] {
        cv::Mat m(kH, kW, CV_16UC1);
        std::mt19937 rng(42);
        std::normal_distribution<double> noise(0.0, 8.0);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                double d = 2500.0 + 3.0 * x - 1.5 * y;                             // wall
                if (x > 40 && x < 140 && y > 60 && y < 200) d = 1200.0 + 0.5 * x;  // box
                const double dx = x - 230.0, dy = y - 120.0, r = 55.0;
                if (dx * dx + dy * dy < r * r)
                    d = 900.0 - std::sqrt(r * r - dx * dx - dy * dy) * 4.0;
                d += noise(rng);
                uint16_t v = static_cast<uint16_t>(std::clamp(d, 1.0, 30000.0));
                const double p = u(rng);
                if (p < 0.02)
                    v = 0;
                else if (p < 0.03)
                    v = kMarker;
                m.at<uint16_t>(y, x) = v;
            }
        }
        return m;
    }();
    return img;
}

struct Images {
    cv::Mat src = depth_scene();
    cv::Mat dst = cv::Mat(kH, kW, CV_16UC1);
    Images() { cv::setNumThreads(1); }
    const uint16_t *in() const { return src.ptr<uint16_t>(); }
    uint16_t *out() { return dst.ptr<uint16_t>(); }
};

template <typename F>
void run(benchmark::State &state, F f) {
    Images im;
    for (auto _ : state) {
        f(im);
        benchmark::DoNotOptimize(im.dst.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kW * kH);
}

void BM_kv_median_k3(benchmark::State &s) {
    run(s, [](Images &im) { kv_median2d_u16_k3(im.out(), im.in(), kW, kH); });
}
void BM_cv_median_k3(benchmark::State &s) {
    run(s, [](Images &im) { cv::medianBlur(im.src, im.dst, 3); });
}
void BM_kv_median_k5(benchmark::State &s) {
    run(s, [](Images &im) { kv_median2d_u16_k5(im.out(), im.in(), kW, kH); });
}
void BM_cv_median_k5(benchmark::State &s) {
    run(s, [](Images &im) { cv::medianBlur(im.src, im.dst, 5); });
}
void BM_kv_gauss_k3(benchmark::State &s) {
    run(s, [](Images &im) { kv_gauss2d_u16_k3(im.out(), im.in(), kW, kH); });
}
void BM_cv_gauss_k3(benchmark::State &s) {
    run(s, [](Images &im) {
        cv::GaussianBlur(im.src, im.dst, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
    });
}
void BM_kv_fhole_k3(benchmark::State &s) {
    run(s, [](Images &im) { kv_fhole_u16_k3(im.out(), im.in(), kW, kH, 0); });
}
void BM_cv_dilate_k3(benchmark::State &s) {
    const cv::Mat k = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    run(s, [&](Images &im) {
        cv::dilate(im.src, im.dst, k, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    });
}
void BM_kv_fhole_k5(benchmark::State &s) {
    run(s, [](Images &im) { kv_fhole_u16_k5(im.out(), im.in(), kW, kH, 0); });
}
void BM_cv_dilate_k5(benchmark::State &s) {
    const cv::Mat k = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    run(s, [&](Images &im) {
        cv::dilate(im.src, im.dst, k, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    });
}
void BM_kv_flypix_k3(benchmark::State &s) {
    run(s, [](Images &im) { kv_flypix_u16_k3(im.out(), im.in(), kW, kH, kFlyThreshold); });
}
void BM_cv_sobel_mag(benchmark::State &s) {
    cv::Mat gx, gy, mag, steep;
    run(s, [&](Images &im) {
        cv::Sobel(im.src, gx, CV_32F, 1, 0, 3, 1.0, 0.0, cv::BORDER_REPLICATE);
        cv::Sobel(im.src, gy, CV_32F, 0, 1, 3, 1.0, 0.0, cv::BORDER_REPLICATE);
        cv::magnitude(gx, gy, mag);
        cv::compare(mag, 4.0 * 200.0, steep, cv::CMP_GT);
        im.src.copyTo(im.dst);
        im.dst.setTo(0, steep);
    });
}

BENCHMARK(BM_kv_median_k3);
BENCHMARK(BM_cv_median_k3);
BENCHMARK(BM_kv_median_k5);
BENCHMARK(BM_cv_median_k5);
BENCHMARK(BM_kv_gauss_k3);
BENCHMARK(BM_cv_gauss_k3);
BENCHMARK(BM_kv_fhole_k3);
BENCHMARK(BM_cv_dilate_k3);
BENCHMARK(BM_kv_fhole_k5);
BENCHMARK(BM_cv_dilate_k5);
BENCHMARK(BM_kv_flypix_k3);
BENCHMARK(BM_cv_sobel_mag);

}  // namespace

BENCHMARK_MAIN();
