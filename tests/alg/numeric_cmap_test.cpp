// Colour map: reference palette entries, range rules, markers and the image call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "alg/cmap_shared.h"
#include "kavri/cmap.h"

namespace {

constexpr int32_t kEntries = 30000;

class CmapTest : public ::testing::Test {
  protected:
    void SetUp() override { kv_cmap_init(&map_, kEntries); }
    void TearDown() override { kv_cmap_uninit(&map_); }
    kv_cmap_t map_{};
};

TEST_F(CmapTest, InitSetsDefaultRangeAndScales) {
    EXPECT_EQ(map_.count, kEntries);
    EXPECT_EQ(map_.min, 0);
    EXPECT_EQ(map_.max, 4000);
    EXPECT_EQ(map_.gray_scale, static_cast<float>(255.0 / 4000.0));
    EXPECT_LT(map_.gray_scale, 0.06375);  // the single-precision value lies just below
    EXPECT_EQ(map_.color_scale, 7.5f);
}

TEST_F(CmapTest, ReferencePaletteEntries) {
    struct Case {
        int32_t index;
        uint32_t color;
    };
    const Case cases[] = {{0, 0x7F0000},     {3750, 0xFF0000},  {7500, 0xFF7F00},
                          {11250, 0xFFFF00}, {15000, 0x7FFF7F}, {18750, 0x00FFFF},
                          {22500, 0x00AAFF}, {26250, 0x0055FF}, {29999, 0x0000BF}};
    for (const auto &c : cases) EXPECT_EQ(map_.palette[c.index], c.color) << c.index;
}

TEST_F(CmapTest, PaletteRampChangesByAtMostOneStepPerChannelAndHasNoHighByte) {
    for (int32_t i = 1; i < kEntries; ++i) {
        const uint32_t a = map_.palette[i - 1];
        const uint32_t b = map_.palette[i];
        ASSERT_EQ(b >> 24, 0u) << i;
        for (int shift = 0; shift < 24; shift += 8) {
            const int da = static_cast<int>((a >> shift) & 0xFF);
            const int db = static_cast<int>((b >> shift) & 0xFF);
            ASSERT_LE(std::abs(da - db), 1) << "entry " << i << " channel " << shift / 8;
        }
    }
}

TEST_F(CmapTest, ColourEdgeValuesOfTheDefaultRange) {
    struct Case {
        int32_t value;
        uint32_t color;
    };
    const Case cases[] = {
        {0, 0},                       // lower bound exclusive
        {-7, 0},                      // below range
        {1, map_.palette[29993]},     // 30000 - trunc(7.5)
        {4000, 0x7F0000},             // k = 0
        {4001, 0},                    // above range
        {65300, 0},                   // removed pixel
        {65400, 0x8000FF},            // marker
        {65500, 0xFF0EA9},            // no distance
        {2000, map_.palette[15000]},  // middle
        {INT32_MIN, 0},
        {INT32_MAX, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(kv_cmap_get_color(&map_, c.value), c.color) << c.value;
}

TEST_F(CmapTest, GrayEdgeValuesOfTheDefaultRange) {
    struct Case {
        int32_t value;
        uint32_t color;
    };
    const Case cases[] = {
        {4000, 0xFEFEFE},   // trunc(4000 * 0.0637499988) = 254
        {4001, 0xFFFFFF},   // above max: white
        {65300, 0xFFFFFF},  // no special case for the removed marker
        {65400, 0x8000FF}, {65500, 0xFF0EA9}, {0, 0}, {-1, 0},  // below min: black
        {1000, 0x3F3F3F},                                       // trunc(63.75)
    };
    for (const auto &c : cases) EXPECT_EQ(kv_cmap_get_gray(&map_, c.value), c.color) << c.value;
}

TEST_F(CmapTest, SetRangeAcceptsEitherOrderAndEqualBoundsKeepTheRange) {
    kv_cmap_set_range(&map_, 3000, 1000);
    EXPECT_EQ(map_.min, 1000);
    EXPECT_EQ(map_.max, 3000);
    EXPECT_EQ(map_.gray_scale, static_cast<float>(255.0 / 2000.0));
    EXPECT_EQ(map_.color_scale, 15.0f);
    EXPECT_EQ(kv_cmap_get_color(&map_, 1000), 0u);
    EXPECT_EQ(kv_cmap_get_color(&map_, 3000), 0x7F0000u);

    kv_cmap_set_range(&map_, 500, 500);
    EXPECT_EQ(map_.min, 1000);
    EXPECT_EQ(map_.max, 3000);
    EXPECT_EQ(map_.gray_scale, 255.0f);
    EXPECT_EQ(map_.color_scale, static_cast<float>(kEntries));
}

TEST_F(CmapTest, WideRangeDoesNotOverflow) {
    kv_cmap_set_range(&map_, INT32_MIN, INT32_MAX);
    EXPECT_EQ(kv_cmap_get_color(&map_, INT32_MAX), map_.palette[0]);
    EXPECT_EQ(kv_cmap_get_color(&map_, INT32_MIN), 0u);
    EXPECT_NE(kv_cmap_get_color(&map_, 0), 0u);
}

TEST(CmapNoPalette, EmptyCountsGiveNoPaletteAndNoReads) {
    for (const int32_t count : {0, -5}) {
        kv_cmap_t map{};
        kv_cmap_init(&map, count);
        EXPECT_EQ(map.palette, nullptr);
        EXPECT_EQ(map.count, 0);
        EXPECT_EQ(kv_cmap_get_color(&map, 1000), 0u);
        EXPECT_EQ(kv_cmap_get_color(&map, 65500), 0xFF0EA9u);  // markers need no palette
        kv_cmap_uninit(&map);
    }
}

TEST(CmapNoPalette, UninitTwiceAndNullMapsAreHarmless) {
    kv_cmap_t map{};
    kv_cmap_init(&map, 16);
    kv_cmap_uninit(&map);
    EXPECT_EQ(map.palette, nullptr);
    kv_cmap_uninit(&map);
    EXPECT_EQ(kv_cmap_get_color(&map, 100), 0u);
    kv_cmap_init(nullptr, 10);
    kv_cmap_uninit(nullptr);
    kv_cmap_set_range(nullptr, 1, 2);
    EXPECT_EQ(kv_cmap_get_color(nullptr, 100), 0u);
    EXPECT_EQ(kv_cmap_get_gray(nullptr, 100), 0u);
}

class CmapFloatTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(kavri::cmap_shared_init()); }
    void TearDown() override { kavri::cmap_shared_uninit(); }
};

TEST_F(CmapFloatTest, FormatsLayOutTheSameColour) {
    const std::vector<float> src = {1.0f, 0.0f, 65.5f, 2.5f};
    const kv_cmap_t map = kavri::cmap_shared_snapshot();
    std::vector<uint32_t> expect;
    for (const float m : src)
        expect.push_back(kv_cmap_get_color(&map, static_cast<int32_t>(m * 1000)));

    std::vector<uint8_t> rgb(12), bgr(12), rgb32(16, 0xAA);
    EXPECT_EQ(kavri_cmap_float(rgb.data(), 12, src.data(), 4, KAVRI_CMAP_OUTFMT_RGB, 0.0f, 4.0f),
              4);
    EXPECT_EQ(kavri_cmap_float(bgr.data(), 12, src.data(), 4, KAVRI_CMAP_OUTFMT_BGR, 0.0f, 4.0f),
              4);
    EXPECT_EQ(
        kavri_cmap_float(rgb32.data(), 16, src.data(), 4, KAVRI_CMAP_OUTFMT_RGB32, 0.0f, 4.0f), 4);
    for (size_t i = 0; i < src.size(); ++i) {
        const uint32_t c = expect[i];
        EXPECT_EQ(rgb[3 * i] | rgb[3 * i + 1] << 8 | rgb[3 * i + 2] << 16, c) << i;
        EXPECT_EQ(bgr[3 * i + 2] | bgr[3 * i + 1] << 8 | bgr[3 * i] << 16, c) << i;
        EXPECT_EQ(rgb32[4 * i] | rgb32[4 * i + 1] << 8 | rgb32[4 * i + 2] << 16, c) << i;
        EXPECT_EQ(rgb32[4 * i + 3], 0) << i;
    }
    EXPECT_EQ(expect[2], 0xFF0EA9u);  // 65.5 m is the no-distance marker
}

TEST_F(CmapFloatTest, CountIsLimitedByTheDestinationAndBadFormatsWriteNothing) {
    const std::vector<float> src(5, 1.0f);
    std::vector<uint8_t> dst(10, 0xAA);
    EXPECT_EQ(kavri_cmap_float(dst.data(), 10, src.data(), 5, KAVRI_CMAP_OUTFMT_RGB32, 0, 4), 2);
    EXPECT_EQ(dst[8], 0xAA);
    EXPECT_EQ(kavri_cmap_float(dst.data(), 10, src.data(), 5, KAVRI_CMAP_OUTFMT_RGB, 0, 4), 3);
    std::vector<uint8_t> untouched(10, 0xAA);
    EXPECT_EQ(kavri_cmap_float(untouched.data(), 10, src.data(), 5, 3, 0, 4), 0);
    EXPECT_EQ(kavri_cmap_float(untouched.data(), 10, src.data(), 5, -1, 0, 4), 0);
    EXPECT_EQ(untouched, std::vector<uint8_t>(10, 0xAA));
    EXPECT_EQ(kavri_cmap_float(untouched.data(), 10, src.data(), -3, 0, 0, 4), -3);
    EXPECT_EQ(kavri_cmap_float(untouched.data(), 0, src.data(), 5, 0, 0, 4), 0);
    EXPECT_EQ(kavri_cmap_float(nullptr, 10, src.data(), 5, 0, 0, 4), 0);
    EXPECT_EQ(kavri_cmap_float(untouched.data(), 10, nullptr, 5, 0, 0, 4), 0);
    EXPECT_EQ(untouched, std::vector<uint8_t>(10, 0xAA));
}

TEST_F(CmapFloatTest, RangeInMetresIsTruncatedToMillimetresOnTheSharedMap) {
    const float src[] = {1.0f};
    uint8_t dst[4];
    kavri_cmap_float(dst, 4, src, 1, KAVRI_CMAP_OUTFMT_RGB32, 2.9999f, 0.5f);
    const kv_cmap_t map = kavri::cmap_shared_snapshot();
    EXPECT_EQ(map.min, 500);
    EXPECT_EQ(map.max, 2999);
}

TEST(CmapFloatUnbuilt, WithoutTheSharedPaletteOnlyMarkersAreColoured) {
    const float src[] = {1.0f, 65.5f};
    uint8_t dst[8];
    EXPECT_EQ(kavri_cmap_float(dst, 8, src, 2, KAVRI_CMAP_OUTFMT_RGB32, 0, 4), 2);
    EXPECT_EQ(dst[0] | dst[1] << 8 | dst[2] << 16, 0);
    EXPECT_EQ(dst[4] | dst[5] << 8 | dst[6] << 16, 0xFF0EA9);
}

}  // namespace
