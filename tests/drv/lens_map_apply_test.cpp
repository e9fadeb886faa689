// Applying the undistortion map: lookups, fill, limits, bad sizes, no map.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "drv/lens_test_util.h"
#include "kavri/lens.h"
#include "kavri/log.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr int kPixels = kW * kH;

class LensApply : public ::testing::Test {
  protected:
    void SetUp() override {
        const kv_lens_param_t p = default_lens();
        ASSERT_EQ(kv_calib_len_init_map(&map_, &p), kPixels);
        src_.resize(kPixels);
        for (int i = 0; i < kPixels; ++i) src_[i] = static_cast<uint16_t>(i * 7 + 1);
    }
    void TearDown() override { kv_calib_len_uninit_map(&map_); }

    kv_calib_len_map_t map_{};
    std::vector<uint16_t> src_;
};

TEST_F(LensApply, CopiesTheMappedSourcePixelOrTheFill) {
    std::vector<uint16_t> dst(kPixels, 0xDEAD);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, dst.data(), kPixels, src_.data(), kW, kH, 0x12345),
              1);
    int fills = 0;
    for (int i = 0; i < kPixels; ++i) {
        if (map_.map[i] < 0) {
            ++fills;
            ASSERT_EQ(dst[i], 0x2345) << i;  // the fill value truncated to 16 bits
        } else {
            ASSERT_EQ(dst[i], src_[map_.map[i]]) << i;
        }
    }
    EXPECT_GT(fills, 0);  // barrel distortion leaves corners of the output without source
    EXPECT_GE(map_.map[(kH / 2) * kW + kW / 2], 0);
}

TEST_F(LensApply, FloatVariantAgrees) {
    std::vector<float> src(kPixels), dst(kPixels);
    std::iota(src.begin(), src.end(), 0.5f);
    EXPECT_EQ(kv_calib_len_undistort_f32(&map_, dst.data(), kPixels, src.data(), kW, kH, -1.0f), 1);
    for (int i = 0; i < kPixels; ++i) {
        ASSERT_EQ(dst[i], map_.map[i] < 0 ? -1.0f : src[map_.map[i]]) << i;
    }
}

TEST_F(LensApply, CountIsCutToTheMapSizeAndNonPositiveCountsDoNothing) {
    std::vector<uint16_t> dst(kPixels + 16, 0xBEEF);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, dst.data(), kPixels + 16, src_.data(), kW, kH, 0),
              1);
    for (int i = kPixels; i < kPixels + 16; ++i) EXPECT_EQ(dst[i], 0xBEEF);
    std::vector<uint16_t> part(kPixels, 0xBEEF);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, part.data(), 100, src_.data(), kW, kH, 0), 1);
    EXPECT_EQ(part[100], 0xBEEF);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, part.data(), 0, src_.data(), kW, kH, 0), 1);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, part.data(), -5, src_.data(), kW, kH, 0), 1);
}

TEST_F(LensApply, InPlaceGivesTheSameImage) {
    std::vector<uint16_t> expect(kPixels);
    kv_calib_len_undistort_u16(&map_, expect.data(), kPixels, src_.data(), kW, kH, 0);
    std::vector<uint16_t> image = src_;
    EXPECT_EQ(kv_calib_len_undistort_u16(&map_, image.data(), kPixels, image.data(), kW, kH, 0), 1);
    EXPECT_EQ(image, expect);
}

TEST_F(LensApply, WrongSourceSizeIsLoggedAndRefused) {
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_ERR, nullptr);
    std::vector<uint16_t> small(160 * 120, 5), dst(160 * 120, 9);
    testing::internal::CaptureStdout();
    const uint8_t ok =
        kv_calib_len_undistort_u16(&map_, dst.data(), 160 * 120, small.data(), 160, 120, 0);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, 0);
    EXPECT_NE(out.find("[kv_calib_len_undistort_u16] Wrong parameter: calib_map: 320x240, "
                       "src_img: 160x120\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(dst, std::vector<uint16_t>(160 * 120, 9));
}

TEST(LensMapLifecycle, UnbuiltMapPassesTheImageThroughAndReportsIt) {
    kv_calib_len_map_t map{};
    std::vector<uint16_t> src(kPixels, 77), dst(kPixels, 0);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map, dst.data(), kPixels, src.data(), kW, kH, 0), 0);
    EXPECT_EQ(dst, src);
    std::vector<float> fsrc(4, 1.5f), fdst(4, 0);
    EXPECT_EQ(kv_calib_len_undistort_f32(&map, fdst.data(), 4, fsrc.data(), 2, 2, 0), 0);
    EXPECT_EQ(fdst, fsrc);
}

TEST(LensMapLifecycle, BadSizesAndNullArgumentsLeaveTheMapInvalid) {
    kv_calib_len_map_t map{};
    kv_lens_param_t p = default_lens();
    p.img_w = 0;
    EXPECT_EQ(kv_calib_len_init_map(&map, &p), 0);
    EXPECT_FALSE(map.valid);
    p.img_w = -3;
    EXPECT_EQ(kv_calib_len_init_map(&map, &p), 0);
    p.img_w = 70000;
    p.img_h = 70000;  // more entries than a 32-bit count holds
    EXPECT_EQ(kv_calib_len_init_map(&map, &p), 0);
    EXPECT_FALSE(map.valid);
    EXPECT_EQ(map.map, nullptr);
    EXPECT_EQ(kv_calib_len_init_map(nullptr, &p), 0);
    EXPECT_EQ(kv_calib_len_init_map(&map, nullptr), 0);
    kv_calib_len_uninit_map(nullptr);
    uint16_t px = 0;
    EXPECT_EQ(kv_calib_len_undistort_u16(nullptr, &px, 1, &px, 1, 1, 0), 0);
    EXPECT_EQ(kv_calib_len_undistort_u16(&map, nullptr, 1, &px, 1, 1, 0), 0);
}

TEST(LensMapLifecycle, InitOnlyWritesTheRecord) {
    // A C caller's uncleared record: whatever it points at is not the library's.
    kv_calib_len_map_t map;
    std::memset(&map, 0xA5, sizeof map);
    const kv_lens_param_t p = default_lens();
    ASSERT_EQ(kv_calib_len_init_map(&map, &p), kPixels);
    EXPECT_TRUE(map.valid);
    EXPECT_EQ(map.count, kPixels);
    kv_calib_len_uninit_map(&map);

    std::memset(&map, 0xA5, sizeof map);
    kv_lens_param_t bad = p;
    bad.img_w = 0;
    EXPECT_EQ(kv_calib_len_init_map(&map, &bad), 0);
    EXPECT_FALSE(map.valid);
    EXPECT_EQ(map.map, nullptr);
}

TEST(LensMapLifecycle, DegenerateLensGivesAMapWithoutSources) {
    kv_lens_param_t p = default_lens();
    p.fx = 0;  // NaN and infinities everywhere
    p.img_w = 8;
    p.img_h = 6;
    kv_calib_len_map_t map{};
    ASSERT_EQ(kv_calib_len_init_map(&map, &p), 48);
    for (int i = 0; i < 48; ++i) EXPECT_GE(map.map[i], -1);
    for (int i = 0; i < 48; ++i) EXPECT_LT(map.map[i], 48);
    kv_calib_len_uninit_map(&map);
}

TEST(LensMapLifecycle, UpdateRebuildsAndUninitReleases) {
    kv_calib_len_map_t map{};
    kv_lens_param_t p = default_lens();
    ASSERT_EQ(kv_calib_len_init_map(&map, &p), kPixels);
    p.img_w = 160;
    p.img_h = 120;
    p.cx /= 2;
    p.cy /= 2;
    p.fx /= 2;
    p.fy /= 2;
    EXPECT_EQ(kv_calib_len_update_map(&map, &p), 160 * 120);
    EXPECT_EQ(map.width, 160);
    kv_calib_len_uninit_map(&map);
    EXPECT_FALSE(map.valid);
    EXPECT_EQ(map.map, nullptr);
    kv_calib_len_uninit_map(&map);
}

}  // namespace

namespace {

// A hand-made map: every kind of entry, including the image's last pixel, over a
// length that is not a multiple of the vector step.
TEST(LensApplyHandMade, EveryEntryKindAtEveryPosition) {
    constexpr int kSize = 7 * 5;
    std::vector<int32_t> entries(kSize);
    for (int i = 0; i < kSize; ++i) {
        switch (i % 4) {
            case 0:
                entries[i] = kSize - 1;
                break;  // the last source pixel
            case 1:
                entries[i] = -1;
                break;
            case 2:
                entries[i] = 0;
                break;
            default:
                entries[i] = (i * 11) % kSize;
                break;
        }
    }
    kv_calib_len_map_t map{};
    map.map = entries.data();
    map.count = kSize;
    map.width = 7;
    map.height = 5;
    map.valid = 1;
    std::vector<uint16_t> src(kSize), dst(kSize, 0);
    for (int i = 0; i < kSize; ++i) src[i] = static_cast<uint16_t>(1000 + i);
    for (int n = 0; n <= kSize; ++n) {
        std::fill(dst.begin(), dst.end(), 0xAAAA);
        ASSERT_EQ(kv_calib_len_undistort_u16(&map, dst.data(), n, src.data(), 7, 5, 77), 1);
        for (int i = 0; i < kSize; ++i) {
            const uint16_t want = i >= n ? 0xAAAA : entries[i] < 0 ? 77 : src[entries[i]];
            ASSERT_EQ(dst[i], want) << "count " << n << " pixel " << i;
        }
    }
}

}  // namespace
