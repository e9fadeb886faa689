// Per-pixel arithmetic: validity, amplitude and phase, the simple distance
// with its wrap-around, gray, and the sensor's row order.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "drv/epc_state.h"
#include "epc_test_util.h"
#include "kavri/epc.h"

namespace {

using namespace epc_test;

// One pixel (n = 4 pixels alike, the smallest accepted image) through the
// simple calculation.
struct OnePixel {
    uint16_t dist = 0, amp = 0;
};

OnePixel simple_of(Driver &d, uint16_t d0, uint16_t d1, uint16_t d2, uint16_t d3) {
    std::vector<uint16_t> raw;
    for (uint16_t v : {d0, d1, d2, d3}) raw.insert(raw.end(), 4, v);
    std::vector<uint16_t> dist(4), amp(4);
    EXPECT_EQ(calc_dist_calib_simple(d.drv(), dist.data(), amp.data(), raw.data(), 2, 2, 4), 1);
    return {dist[0], amp[0]};
}

TEST(EpcCalc, InvalidSamplesMarkThePixel) {
    Driver d;
    d.set_freq(12000000);
    struct Case {
        uint16_t s[4];
        bool invalid;
    } cases[] = {
        {{2048, 2048, 2048, 0}, true},      {{4095, 2048, 2048, 2048}, true},
        {{2048, 4094, 2048, 2048}, false},  {{1, 2048, 2048, 2048}, false},
        {{0xF000, 2048, 2048, 2048}, true},  // the upper 4 bits are not part of the sample
        {{0xFFFF, 2048, 2048, 2048}, true},
    };
    for (const Case &c : cases) {
        const OnePixel p = simple_of(d, c.s[0], c.s[1], c.s[2], c.s[3]);
        EXPECT_EQ(p.dist == 65500, c.invalid) << c.s[0] << " " << c.s[1];
        EXPECT_EQ(p.amp == 65500, c.invalid);
    }
}

TEST(EpcCalc, FlatSamplesHaveZeroAmplitudeAndHalfPhase) {
    Driver d;
    d.set_freq(12000000);
    d.calib().offset_mm = 0;
    d.st().t_sensor = d.st().t_ib = 0;
    const OnePixel p = simple_of(d, 2048, 2048, 2048, 2048);
    EXPECT_EQ(p.amp, 0);
    // atan2(0, 0) is 0, so the phase is 16384: half the range.
    EXPECT_EQ(p.dist, (16384u * 12491u) >> 15);
}

TEST(EpcCalc, AmplitudeIsHalfTheSampleSwing) {
    Driver d;
    d.set_freq(12000000);
    const OnePixel p = simple_of(d, 2048 - 300, 2048 - 400, 2048 + 300, 2048 + 400);
    // sqrt((600^2 + 800^2) / 4) = 500
    EXPECT_NEAR(p.amp, 500, 1);
}

TEST(EpcCalc, SimpleDistanceWrapsIntoTheRange) {
    Driver d;
    d.set_freq(12000000);
    ASSERT_EQ(d.st().range_mm, 12491u);
    d.st().t_sensor = d.st().t_ib = 0;
    auto dist_at = [&](int32_t offset) {
        d.calib().offset_mm = offset;
        return simple_of(d, 2048, 2048, 2048, 2048).dist;  // phase 16384: 6245 mm raw
    };
    EXPECT_EQ(dist_at(-2000), 4245);
    EXPECT_EQ(dist_at(-6255), 12481);  // -10 wraps up
    EXPECT_EQ(dist_at(6247), 1);       // 12492 wraps down
    EXPECT_EQ(dist_at(6246), 12491);   // the range itself stays
}

TEST(EpcCalc, SimpleDistanceAppliesTemperatureScaleAndUserOffset) {
    Driver d;
    d.set_freq(12000000);
    d.st().t_sensor = 10;  // 1.7 mm per 0.1 degC
    d.st().t_ib = 20;      // 0.33765 mm per 0.1 degC: 17 + 6.753 = 23.753 -> 24
    d.calib().offset_mm = -2000;
    EXPECT_EQ(simple_of(d, 2048, 2048, 2048, 2048).dist, 6245 - 2000 - 24);
    d.calib().scale_um = 2000;
    EXPECT_EQ(simple_of(d, 2048, 2048, 2048, 2048).dist, 2 * 6245 - 2000 - 24);
    d.st().user_offset_mm = 100;
    EXPECT_EQ(simple_of(d, 2048, 2048, 2048, 2048).dist, 2 * 6245 - 2000 - 24 + 100);
    d.st().offset_en = 0;
    EXPECT_EQ(simple_of(d, 2048, 2048, 2048, 2048).dist, 2 * 6245 - 2000 - 24);
}

TEST(EpcCalc, NoCalibrationUsesTheGivenScaleAndOffset) {
    Driver d;
    d.set_freq(12000000);
    std::vector<uint16_t> raw(16, 2048), dist(4), amp(4);
    ASSERT_EQ(
        calc_dist_calib_none(d.drv(), dist.data(), amp.data(), raw.data(), 2, 2, 4, 500, -1000), 1);
    EXPECT_EQ(dist[0], 6245 / 2 - 1000);
}

TEST(EpcCalc, PhaseFollowsTheSamples) {
    Driver d;
    d.set_freq(20000000);  // range 7494
    d.calib().offset_mm = 0;
    d.st().t_sensor = d.st().t_ib = 0;
    for (double phase : {100.0, 5000.0, 16384.0, 30000.0}) {
        uint16_t s[4];
        samples_for(phase, 800, s);
        const OnePixel p = simple_of(d, s[0], s[1], s[2], s[3]);
        EXPECT_NEAR(p.dist, phase * 7494 / 32768, 2) << phase;
        EXPECT_NEAR(p.amp, 800, 2);
    }
}

TEST(EpcCalc, GrayIsAmplitudeAndZeroWhenInvalid) {
    Driver d;
    std::vector<uint16_t> raw = uniform_frame(8, 1000, 700);
    raw[3] = 4095;  // DCS0 of pixel 3
    std::vector<uint16_t> gray(8);
    ASSERT_EQ(calc_gray(d.drv(), gray.data(), raw.data(), 4, 2, 4), 1);
    EXPECT_NEAR(gray[0], 700, 2);
    EXPECT_EQ(gray[3], 0);
}

TEST(EpcCalc, ShapesOtherThanFourSubFramesOfWholeQuadsAreRefused) {
    Driver d;
    std::vector<uint16_t> raw(64, 2048), a(16), b(16);
    EXPECT_EQ(calc_dist_calib_simple(d.drv(), a.data(), b.data(), raw.data(), 3, 1, 4), 0);
    EXPECT_EQ(calc_dist_calib_simple(d.drv(), a.data(), b.data(), raw.data(), 4, 1, 3), 0);
    EXPECT_EQ(calc_gray(d.drv(), a.data(), raw.data(), 2, 3, 4), 0);
    EXPECT_EQ(calc_dist_calib_drnu(d.drv(), a.data(), b.data(), raw.data(), 4, 1, 4), 0);
    EXPECT_EQ(calc_gray(nullptr, a.data(), raw.data(), 2, 2, 4), 0);
}

TEST(EpcSort, FourRowsComeFromTheMiddleOutwards) {
    const std::vector<uint16_t> src = {1, 1, 2, 2, 3, 3, 4, 4};  // rows a b c d, width 2
    std::vector<uint16_t> dst(8, 0);
    calc_dcs_sort(dst.data(), src.data(), 2, 4);
    EXPECT_EQ(dst, (std::vector<uint16_t>{3, 3, 1, 1, 2, 2, 4, 4}));  // c a b d
    std::vector<uint16_t> back(8, 0);
    calc_dcs_unsort(back.data(), dst.data(), 2, 4);
    EXPECT_EQ(back, src);
}

TEST(EpcSort, UnsortInvertsSortForEveryHeight) {
    for (int h = 1; h <= 9; ++h) {
        std::vector<uint16_t> src(size_t(3 * h)), dst(src.size(), 0xFFFF), back(src.size(), 0);
        std::iota(src.begin(), src.end(), 0);
        calc_dcs_sort(dst.data(), src.data(), 3, h);
        // Every source row lands somewhere: a permutation.
        std::vector<uint16_t> sorted = dst;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, src) << h;
        calc_dcs_unsort(back.data(), dst.data(), 3, h);
        EXPECT_EQ(back, src) << h;
    }
}

TEST(EpcSort, InPlaceGivesTheSameImage) {
    for (int h = 1; h <= 9; ++h) {
        std::vector<uint16_t> src(size_t(3 * h)), want(src.size(), 0);
        std::iota(src.begin(), src.end(), 0);
        calc_dcs_sort(want.data(), src.data(), 3, h);
        std::vector<uint16_t> img = src;
        calc_dcs_sort(img.data(), img.data(), 3, h);
        EXPECT_EQ(img, want) << h;
        calc_dcs_unsort(img.data(), img.data(), 3, h);
        EXPECT_EQ(img, src) << h;
    }
}

TEST(EpcSort, NonPositiveHeightCopiesNothing) {
    std::vector<uint16_t> src(4, 7), dst(4, 0);
    calc_dcs_sort(dst.data(), src.data(), 2, 0);
    calc_dcs_sort(dst.data(), src.data(), 2, -2);
    EXPECT_EQ(dst, std::vector<uint16_t>(4, 0));
}

}  // namespace
