// The decode pipeline on synthetic frames: lengths and formats, the range
// check, the amplitude filter with hysteresis, the row merge, the automatic
// integration step and the consistency check.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "drv/epc_decode_steps.h"
#include "epc_test_util.h"
#include "kavri/epc.h"

namespace {

using namespace epc_test;
using namespace kavri::epc;

kavri_frame_info_t info_for(uint32_t w, uint32_t h, uint16_t fmt = 2) {
    kavri_frame_info_t info{};
    info.frame_size = w * h * 8;
    info.frame_format = fmt;
    info.width = w;
    info.height = h;
    info.pixel_width = 8;
    return info;
}

TEST(EpcDecode, LengthsAreChecked) {
    Driver d;
    d.set_freq(12000000);
    std::vector<uint16_t> raw = uniform_frame(kN, 16384, 500), out(kN);
    const kavri_frame_info_t info = info_for(kW, kH);
    {
        LogCapture log(KV_LOG_ERR);
        EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153599, 1, raw.data(), 614400, &info), -1);
        EXPECT_TRUE(log.has("wrong data len: src=614400, dst=153599"));
    }
    EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153600, 1, raw.data(), 614400, &info), 153600);
    EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153600, 2, raw.data(), 614400, &info), 153600);
    LogCapture quiet(KV_LOG_OFF);
    EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153600, 1, raw.data(), 614399, &info), -1);
    EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153600, 4, raw.data(), 614400, &info), -1);
    // The frame size caps the source length.
    kavri_frame_info_t small = info;
    small.frame_size = 1000;
    EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 153600, 1, raw.data(), 614400, &small), -1);
}

TEST(EpcDecode, OtherFormatsProduceNothing) {
    Driver d;
    std::vector<uint16_t> raw(16, 2048), out(4, 0x1234);
    for (uint16_t fmt : {0, 8, 3, 171}) {
        kavri_frame_info_t info = info_for(2, 2, fmt);
        info.frame_size = 12345;
        LogCapture log(KV_LOG_INF);
        EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), 8, 1, raw.data(), 32, &info), -1);
        EXPECT_EQ(log.has("Calibration data frame,size:12345"), fmt == 171);
    }
    EXPECT_EQ(out, std::vector<uint16_t>(4, 0x1234));
}

TEST(EpcDecode, RangeCheckBoundaries) {
    std::vector<uint16_t> v = {99, 100, 101, 12490, 12491, 60000, 60001, 65300, 65500};
    range_check(v.data(), v.size(), 12491);
    EXPECT_EQ(v,
              (std::vector<uint16_t>{65300, 65300, 101, 12490, 65300, 65300, 60001, 65300, 65500}));
}

TEST(EpcDecode, DistanceOf100mmIsRemovedAnd101Stays) {
    Driver d;
    d.set_freq(12000000);
    d.st().smooth_en = 0;
    d.st().t_sensor = d.st().t_ib = 0;
    const kavri_frame_info_t info = info_for(kW, kH);
    std::vector<uint16_t> raw = uniform_frame(kN, 0, 500), out(kN);  // phase 0: raw 0 mm
    for (int32_t want : {100, 101}) {
        d.calib().offset_mm = want;
        ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), kN * 2, 1, raw.data(), kN * 8, &info),
                  static_cast<int32_t>(kN * 2));
        EXPECT_EQ(out[kN / 2], want == 100 ? 65300 : 101);
    }
}

TEST(EpcDecode, DefaultChainSmoothsAndKeepsAFlatImage) {
    Driver d;
    d.set_freq(12000000);
    d.st().t_sensor = d.st().t_ib = 0;
    d.calib().offset_mm = 0;
    const kavri_frame_info_t info = info_for(kW, kH);
    std::vector<uint16_t> raw = uniform_frame(kN, 8192, 500), out(kN);
    ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), kN * 2, 1, raw.data(), kN * 8, &info),
              static_cast<int32_t>(kN * 2));
    for (size_t i = 0; i < kN; i += 997) EXPECT_NEAR(out[i], 3123, 1) << i;
}

TEST(EpcDecode, AmplitudeHysteresisOverFourFrames) {
    // Threshold 100, hysteresis 10: 120 on, 95 kept on, 89 off, 95 kept off.
    std::vector<uint8_t> state(1, 0);
    const uint16_t amps[] = {120, 95, 89, 95};
    const bool kept[] = {true, true, false, false};
    for (int f = 0; f < 4; ++f) {
        uint16_t dist = 1000;
        amp_filter_hyst(&dist, &amps[f], state.data(), 1, 100, 10);
        EXPECT_EQ(dist == 1000, kept[f]) << f;
    }
}

TEST(EpcDecode, HysteresisThroughTheDecode) {
    Driver d;
    d.set_freq(12000000);
    d.st().smooth_en = 0;
    uint16_t thr = 100;
    ASSERT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_AMP_MIN, &thr, 2), 1);
    const kavri_frame_info_t info = info_for(4, 2);
    const double amps[] = {120.4, 95.4, 89.4, 95.4};
    const bool kept[] = {true, true, false, false};
    for (int f = 0; f < 4; ++f) {
        std::vector<uint16_t> raw = uniform_frame(8, 8192, amps[f]), out(8);
        ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), 16, 1, raw.data(), 64, &info), 16);
        EXPECT_EQ(out[0] != 65300, kept[f]) << f;
    }
    // Switching the filter off drops the per-pixel state.
    epc_filter_disable(d.drv(), KAVRI_FILTER_AMP_MIN);
    EXPECT_TRUE(d.st().amp_state.empty());
}

TEST(EpcDecode, PlainAmplitudeThresholdWithoutHysteresis) {
    std::vector<uint16_t> dist = {1, 2, 3}, amp = {99, 100, 101};
    amp_filter(dist.data(), amp.data(), 3, 100);
    EXPECT_EQ(dist, (std::vector<uint16_t>{65300, 2, 3}));
}

TEST(EpcDecode, RowMergeTakesTheStrongerRowOfEachPair) {
    // Two columns, three rows: the last row has no partner.
    std::vector<uint16_t> dist = {10, 20, 11, 21, 12, 22};
    std::vector<uint16_t> amp = {5, 9, 7, 3, 1, 1};
    merge_rows(dist.data(), amp.data(), 2, 3);
    EXPECT_EQ(dist, (std::vector<uint16_t>{11, 20, 11, 20, 12, 22}));
    EXPECT_EQ(amp, (std::vector<uint16_t>{7, 9, 7, 9, 1, 1}));
    // Signed comparison: 0x8000 counts as negative.
    std::vector<uint16_t> g = {0x8000, 5, 1, 0x9000};
    merge_rows_gray(g.data(), 2, 2);
    EXPECT_EQ(g, (std::vector<uint16_t>{1, 5, 1, 5}));
}

TEST(EpcAutoIntg, StepFollowsTheSaturatedShare) {
    struct Case {
        uint32_t bad, high, low, total;
        uint16_t sat_ratio;
        int32_t step;
    } cases[] = {
        {5, 3, 100, 1000, 10, 50},    // 0.5 %: below the limit, dark enough to go up
        {5, 11, 100, 1000, 10, 0},    // below the limit but bright pixels
        {37, 3, 100, 1000, 10, -30},  // 3.7 %: down by whole tens
        {5, 600, 100, 1000, 3, -10},  // above the limit, below 1 %, many bright
        {5, 5, 100, 1000, 3, 50},     // above the limit, below 1 %, few bright
        {5, 100, 100, 1000, 3, 0},    // above the limit, below 1 %, some bright
        {0, 0, 0, 1000, 0, 50},       // nothing bad: as below the limit
        {1000, 0, 0, 1000, 10, -1000}, {0, 0, 0, 0, 10, 50},  // no samples at all
    };
    for (const Case &c : cases)
        EXPECT_EQ(auto_intg_step({c.bad, c.high, c.low, c.total}, c.sat_ratio), c.step)
            << c.bad << " " << c.high;
}

TEST(EpcAutoIntg, SamplesAreClassifiedWithTheirUpperBits) {
    const std::vector<uint16_t> s = {0, 1, 2, 511, 512, 3584, 3585, 4094, 4095, 0x1005};
    const SampleCounts c = count_samples(s.data(), s.size());
    EXPECT_EQ(c.low, 2u);
    EXPECT_EQ(c.high, 2u);
    EXPECT_EQ(c.bad, 4u);  // 0, 1, 4095, and 0x1005 (above 4094 with its upper bits)
    EXPECT_EQ(c.total, s.size());
}

TEST(EpcSyncCheck, ConsistentFramePassesAndShiftedOneFails) {
    std::vector<uint16_t> good = uniform_frame(100, 5000, 600);
    EXPECT_TRUE(frame_consistent(good.data(), 100, 100));
    std::vector<uint16_t> bad = good;
    for (size_t i = 200; i < 400; ++i) bad[i] = static_cast<uint16_t>(bad[i] + 300);
    EXPECT_FALSE(frame_consistent(bad.data(), 100, 100));
    // 60 % exactly is not enough.
    std::vector<uint16_t> edge = good;
    for (size_t i = 200; i < 240; ++i) edge[i] = static_cast<uint16_t>(edge[i] + 300);
    EXPECT_FALSE(frame_consistent(edge.data(), 100, 100));
    EXPECT_FALSE(frame_consistent(good.data(), 100, 0));
}

// The resync is sent at most once per clock second: within the same second an
// inconsistent frame is let through, the next second drops it again.
std::atomic<int64_t> g_test_clock_s{0};

TEST(EpcSyncCheck, ResyncIsRateLimitedToOncePerClockSecond) {
    set_sync_clock([] { return g_test_clock_s.load(); });
    Driver d;
    std::vector<uint16_t> bad = uniform_frame(100, 5000, 600);
    for (size_t i = 200; i < 400; ++i) bad[i] = static_cast<uint16_t>(bad[i] + 300);
    const uint32_t bytes = static_cast<uint32_t>(bad.size() * 2);
    struct Step {
        int64_t second;
        bool kept;
    };
    const Step steps[] = {{1000, false}, {1000, true}, {1000, true}, {1001, false}, {1001, true}};
    for (const Step &s : steps) {
        g_test_clock_s = s.second;
        EXPECT_EQ(sync_check(d.drv(), d.st(), 0, bad.data(), 100, bytes), s.kept) << s.second;
    }
    set_sync_clock(nullptr);
}

TEST(EpcDecode, GrayPathSortsRowsAndMergesPairs) {
    Driver d;
    const kavri_frame_info_t info = info_for(2, 4);
    std::vector<uint16_t> raw = uniform_frame(8, 3000, 100);
    // Source row 0 (image row 1) brighter.
    uint16_t s[4];
    samples_for(3000, 400, s);
    for (size_t k = 0; k < 4; ++k) raw[k * 8] = raw[k * 8 + 1] = s[k];
    std::vector<uint16_t> out(8);
    ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), 16, 2, raw.data(), 64, &info), 16);
    EXPECT_NEAR(out[2], 400, 2);  // image row 1
    EXPECT_NEAR(out[0], 100, 2);
    d.st().hdr_en = 1;
    ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), 16, 2, raw.data(), 64, &info), 16);
    EXPECT_NEAR(out[0], 400, 2);  // rows 0 and 1 are a pair
    EXPECT_NEAR(out[4], 100, 2);
}

TEST(EpcDecode, EveryPixelOfAnImageOfOddPixelCountIsDecoded) {
    Driver d;
    d.set_freq(12000000);
    d.st().smooth_en = 0;
    d.st().t_sensor = d.st().t_ib = 0;
    d.calib().offset_mm = 0;
    constexpr uint32_t kSide = 3;  // 9 pixels: not a multiple of 4
    constexpr uint32_t kPx = kSide * kSide;
    constexpr uint16_t kUntouched = 0x1234;
    const kavri_frame_info_t info = info_for(kSide, kSide);
    const std::vector<uint16_t> raw = uniform_frame(kPx, 8192, 500);
    struct Case {
        uint32_t kind;
        uint16_t want;
    };
    for (const Case c : {Case{1, 3123}, Case{2, 500}}) {
        std::vector<uint16_t> out(kPx, kUntouched);
        ASSERT_EQ(
            epc_frame_decode(d.drv(), out.data(), kPx * 2, c.kind, raw.data(), kPx * 8, &info),
            static_cast<int32_t>(kPx * 2));
        for (size_t i = 0; i < kPx; ++i) EXPECT_NEAR(out[i], c.want, 2) << c.kind << " " << i;
    }
}

TEST(EpcDecode, UndistortionRunsOnFullFrames) {
    Driver d;
    d.set_freq(12000000);
    d.st().undistort_en = 1;
    const kavri_frame_info_t info = info_for(kW, kH);
    std::vector<uint16_t> raw = uniform_frame(kN, 8192, 500), out(kN);
    ASSERT_EQ(epc_frame_decode(d.drv(), out.data(), kN * 2, 2, raw.data(), kN * 8, &info),
              static_cast<int32_t>(kN * 2));
    // Corners outside the lens' view are filled with 0.
    EXPECT_EQ(std::count(out.begin(), out.end(), 0) > 0, true);
    EXPECT_NEAR(out[kN / 2 + kW / 2], 500, 2);
}

}  // namespace
