// The temporal filter's per-pixel rules and the confidence of a pixel's
// samples, on synthetic images and frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "drv/epc_decode_steps.h"
#include "drv/epc_temporal.h"
#include "epc_test_util.h"
#include "kavri/epc.h"
#include "kavri/quality.h"

namespace {

using namespace epc_test;
using namespace kavri::epc;

constexpr uint16_t kNone = KAVRI_DIST_NO_DIST;
constexpr uint16_t kGone = KAVRI_DIST_REMOVED;

// One pixel through a sequence of frames: what the filter shows for each.
struct PixelCase {
    const char *name;
    uint16_t weight, motion_mm;
    uint8_t holes;
    std::vector<uint16_t> in, out;
};

std::vector<uint16_t> run_pixel(const PixelCase &c) {
    int32_t history = -1;
    uint8_t held = 0;
    std::vector<uint16_t> shown;
    for (uint16_t v : c.in) {
        temporal_pass(&v, &history, &held, 1, weight_q10(c.weight), int32_t{c.motion_mm} * 16,
                      c.holes);
        shown.push_back(v);
    }
    return shown;
}

TEST(EpcTemporal, PixelRules) {
    const PixelCase cases[] = {
        {"first frame passes", 250, 50, 2, {2000}, {2000}},
        {"quarter weight blends", 250, 50, 2, {2000, 2040, 2040}, {2000, 2010, 2018}},
        {"full weight is the new frame", 1000, 50, 2, {2000, 2040, 1990}, {2000, 2040, 1990}},
        {"motion restarts", 250, 50, 2, {2000, 1800, 1800}, {2000, 1800, 1800}},
        {"exactly the threshold blends", 500, 50, 2, {2000, 2050}, {2000, 2025}},
        {"hole keeps the history twice",
         250,
         50,
         2,
         {2000, kNone, kGone, kNone, kNone},
         {2000, 2000, 2000, kNone, kNone}},
        {"no persistence: invalid at once", 250, 50, 0, {2000, kGone, 2100}, {2000, kGone, 2100}},
        {"a distance ends the hole",
         500,
         50,
         1,
         {2000, kNone, 2020, kNone, kNone},
         {2000, 2000, 2010, 2010, kNone}},
        {"a marker without history stays", 250, 50, 2, {kNone, kGone, 1000}, {kNone, kGone, 1000}},
    };
    for (const PixelCase &c : cases) EXPECT_EQ(run_pixel(c), c.out) << c.name;
}

// Many pixels at once (the vector paths) give what one pixel at a time gives.
TEST(EpcTemporal, ImagePassEqualsPixelByPixel) {
    constexpr size_t kPixels = 1003;  // not a multiple of any vector width
    std::vector<int32_t> hist(kPixels, -1), hist1(kPixels, -1);
    std::vector<uint8_t> held(kPixels, 0), held1(kPixels, 0);
    uint32_t seed = 7;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int frame = 0; frame < 12; ++frame) {
        std::vector<uint16_t> img(kPixels);
        for (auto &v : img) {
            const uint32_t r = next() >> 8;
            v = r % 17 == 0 ? kNone : static_cast<uint16_t>(1500 + r % 120);
        }
        std::vector<uint16_t> one = img;
        temporal_pass(img.data(), hist.data(), held.data(), kPixels, weight_q10(300), 50 * 16, 2);
        for (size_t i = 0; i < kPixels; ++i)
            temporal_pass(&one[i], &hist1[i], &held1[i], 1, weight_q10(300), 50 * 16, 2);
        ASSERT_EQ(img, one) << frame;
        ASSERT_EQ(hist, hist1) << frame;
    }
}

// Through the decode: off by default, refused weights change nothing, and a
// switch of another filter starts the history afresh.
TEST(EpcTemporal, SwitchAndRestartThroughTheDecode) {
    Driver d;
    d.set_freq(12000000);
    kavri_frame_info_t info{};
    info.frame_size = kN * 8;
    info.frame_format = 2;
    info.width = kW;
    info.height = kH;
    const std::vector<uint16_t> near = uniform_frame(kN, 3000, 800);
    const std::vector<uint16_t> far = uniform_frame(kN, 3100, 800);
    std::vector<uint16_t> out(kN);
    const auto decode_mid = [&](const std::vector<uint16_t> &raw) {
        EXPECT_EQ(epc_frame_decode(d.drv(), out.data(), kN * 2, KAVRI_DECODE_DISTANCE, raw.data(),
                                   kN * 8, &info),
                  static_cast<int32_t>(kN * 2));
        return out[kN / 2 + kW / 2];
    };
    const uint16_t a = decode_mid(near), b = decode_mid(far);
    ASSERT_LT(b - a, 50);  // within the motion threshold
    ASSERT_GT(b - a, 8);
    EXPECT_EQ(decode_mid(near), a) << "off by default";
    {
        LogCapture log(KV_LOG_ERR);
        for (uint16_t w : {uint16_t{0}, uint16_t{1001}})
            EXPECT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_TEMPORAL, &w, sizeof w), 0) << w;
        EXPECT_TRUE(log.has("temporal weight"));
    }
    const uint16_t half = 500;
    ASSERT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_TEMPORAL, &half, sizeof half), 1);
    EXPECT_EQ(decode_mid(near), a);
    EXPECT_NEAR(decode_mid(far), (a + b) / 2, 1);
    const uint16_t amp = 0;
    ASSERT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_AMP_MIN, &amp, sizeof amp), 1);
    EXPECT_EQ(decode_mid(far), b) << "another filter's switch restarts the history";
    epc_update_intg_time(d.drv(), 300, 0);
    EXPECT_EQ(decode_mid(near), a) << "an integration time restarts the history";
    ASSERT_EQ(epc_filter_disable(d.drv(), KAVRI_FILTER_TEMPORAL), 1);
    EXPECT_EQ(decode_mid(far), b);
    EXPECT_TRUE(d.st().temporal.history.empty());
}

// Confidence follows the amplitude, falls near saturation and is 0 where a
// sample is saturated or zero.
TEST(EpcConfidence, AmplitudeHeadroomAndMarks) {
    constexpr size_t kPixels = 6;
    // amplitude 40, 120, 600 (capped), a pixel near saturation, one saturated, one zero.
    const uint16_t samples[4][kPixels] = {{2008, 1928, 1448, 3900, 4095, 0},
                                          {2048, 2048, 2048, 3700, 2048, 2048},
                                          {2088, 2168, 2648, 3700, 2048, 2048},
                                          {2048, 2048, 2048, 3700, 2048, 2048}};
    std::vector<uint16_t> raw(4 * kPixels);
    for (size_t k = 0; k < 4; ++k)
        for (size_t i = 0; i < kPixels; ++i) raw[k * kPixels + i] = samples[k][i];
    const uint16_t amp[kPixels] = {40, 120, 600, 100, 500, 500};
    std::vector<uint16_t> conf(kPixels);
    confidence_pass(conf.data(), amp, raw.data(), kPixels);
    EXPECT_EQ(conf[0], 40);
    EXPECT_EQ(conf[1], 120);
    EXPECT_EQ(conf[2], 255);
    EXPECT_EQ(conf[3], 100 * (4095 - 3900) / 511);  // headroom lost
    EXPECT_EQ(conf[4], 0);
    EXPECT_EQ(conf[5], 0);
}

}  // namespace
