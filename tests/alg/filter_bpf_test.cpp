// Recursive bilateral filter: object life cycle, argument checks and its
// edge-preserving smoothing.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "alg/filter_test_util.h"
#include "kavri/filter.h"

namespace {

using kavri::test::Image16;
using kavri::test::random_image;

// Owns an initialised filter object for one test.
struct Bpf {
    kv_bpf2d_iir_t f{};
    int ok;
    Bpf(uint32_t w, uint32_t h, float ss, float sr, uint16_t lo, uint16_t hi)
        : ok(kv_bpf2d_iir_init(&f, w, h, ss, sr, lo, hi)) {}
    ~Bpf() {
        if (ok) kv_bpf2d_iir_uninit(&f);
    }
};

std::string init_log(uint32_t w, uint32_t h, float ss, float sr, uint16_t lo, uint16_t hi,
                     int *result) {
    kv_bpf2d_iir_t f{};
    testing::internal::CaptureStdout();
    *result = kv_bpf2d_iir_init(&f, w, h, ss, sr, lo, hi);
    std::string log = testing::internal::GetCapturedStdout();
    if (*result) {
        kv_bpf2d_iir_uninit(&f);
    } else {  // nothing is left allocated
        EXPECT_EQ(f.range_table, nullptr);
        EXPECT_EQ(f.img_result, nullptr);
    }
    return log;
}

TEST(BpfTest, InitFillsTheObject) {
    Bpf b(64, 48, 0.1f, 0.5f, 10, 1009);
    ASSERT_EQ(b.ok, 1);
    EXPECT_EQ(b.f.width, 64u);
    EXPECT_EQ(b.f.height, 48u);
    EXPECT_EQ(b.f.count, 1000u);
    EXPECT_EQ(b.f.range_low, 10.0f);
    EXPECT_EQ(b.f.range_high, 1009.0f);
    EXPECT_EQ(b.f.range_table[0], 1.0f);
    EXPECT_NEAR(b.f.range_table[999], std::exp(-999.0 / 500.0), 1e-6);
    EXPECT_NEAR(b.f.alpha_x, std::exp(-std::sqrt(2.0) / 6.4), 1e-6);
    EXPECT_NEAR(b.f.alpha_y, std::exp(-std::sqrt(2.0) / 4.8), 1e-6);
}

TEST(BpfTest, InitRejectsBadArguments) {
    struct Case {
        uint32_t w, h;
        float ss, sr;
        uint16_t lo, hi;
        const char *message;
    };
    const Case cases[] = {
        {40961, 10, 1, 1, 0, 10,
         "[kv_bpf2d_iir_init] wrong image width or height: w=40961, h=10\n"},
        {10, 40961, 1, 1, 0, 10,
         "[kv_bpf2d_iir_init] wrong image width or height: w=10, h=40961\n"},
        {10, 10, 1, 1, 11, 10, "[kv_bpf2d_iir_init] wrong range: low=11 > high=10\n"},
        {10, 10, 1, 0, 0, 10, "[kv_bpf2d_iir_init] wrong sigma"},
        {10, 10, -1, 1, 0, 10, "[kv_bpf2d_iir_init] wrong sigma"},
    };
    for (const Case &c : cases) {
        int result = -1;
        const std::string log = init_log(c.w, c.h, c.ss, c.sr, c.lo, c.hi, &result);
        EXPECT_EQ(result, 0) << c.message;
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
    }
    int result = 0;
    init_log(40960, 1, 1, 1, 7, 7, &result);
    EXPECT_EQ(result, 1);
}

TEST(BpfTest, WrongSizeOrNullIsRejected) {
    Bpf b(8, 6, 1, 1, 0, 100);
    ASSERT_EQ(b.ok, 1);
    const Image16 src(8 * 6, 100);
    Image16 dst(8 * 6, 7);
    testing::internal::CaptureStdout();
    kv_bpf2d_iir(&b.f, dst.data(), src.data(), 6, 8);
    kv_bpf2d_iir(&b.f, nullptr, src.data(), 8, 6);
    kv_bpf2d_iir(nullptr, dst.data(), src.data(), 8, 6);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[kv_bpf2d_iir] wrong parameters\n"), std::string::npos);
    EXPECT_EQ(dst, Image16(8 * 6, 7));
    kv_bpf2d_iir_uninit(nullptr);
}

TEST(BpfTest, ConstantImageStaysConstant) {
    Bpf b(33, 21, 0.05f, 0.2f, 0, 500);
    ASSERT_EQ(b.ok, 1);
    const Image16 src(33 * 21, 2345);
    Image16 dst(src.size());
    for (int pass = 0; pass < 2; ++pass) {  // the object is reused
        kv_bpf2d_iir(&b.f, dst.data(), src.data(), 33, 21);
        for (uint16_t v : dst) ASSERT_TRUE(v == 2345 || v == 2344) << v;
    }
}

TEST(BpfTest, StepBeyondRangeHighStaysSharp) {
    constexpr int kW = 40, kH = 10;
    Image16 src(kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) src[y * kW + x] = x < kW / 2 ? 1000 : 4000;
    Bpf b(kW, kH, 0.5f, 0.01f, 0, 200);
    ASSERT_EQ(b.ok, 1);
    Image16 dst(src.size());
    kv_bpf2d_iir(&b.f, dst.data(), src.data(), kW, kH);
    for (int i = 0; i < kW * kH; ++i) EXPECT_NEAR(dst[i], src[i], 1) << i;
}

TEST(BpfTest, SmoothsNoiseOnAFlatSurface) {
    constexpr int kW = 64, kH = 32;
    const Image16 src = random_image(kW, kH, 5, 1950, 2050);
    Bpf b(kW, kH, 0.2f, 1.0f, 0, 1000);
    ASSERT_EQ(b.ok, 1);
    Image16 dst(src.size());
    kv_bpf2d_iir(&b.f, dst.data(), src.data(), kW, kH);
    auto spread = [](const Image16 &img) {
        double mean = 0, var = 0;
        for (uint16_t v : img) mean += v;
        mean /= img.size();
        for (uint16_t v : img) var += (v - mean) * (v - mean);
        return std::sqrt(var / img.size());
    };
    EXPECT_LT(spread(dst), spread(src) / 2);
    // In place gives the same result.
    Image16 img = src;
    kv_bpf2d_iir(&b.f, img.data(), img.data(), kW, kH);
    EXPECT_EQ(img, dst);
}

}  // namespace
