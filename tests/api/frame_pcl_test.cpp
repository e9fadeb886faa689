// Point clouds from distance images with application lens parameters: the
// distance is measured along each pixel's ray.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "kavri/api.h"

namespace {

kavri_dev_t g_dev{};  // no camera: the lens comes from the caller

TEST(FramePcl, PixelOnTheAxisLiesOnTheAxis) {
    const kavri_lens_param_t lens = {0, 0, 1, 1, 1};
    const float d = 2.0f;
    float out[3] = {};
    ASSERT_EQ(kavri_frame_get_pcl(&g_dev, out, 3, &d, 1, 1, 1, &lens), 1);
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_FLOAT_EQ(out[1], 0.0f);
    EXPECT_FLOAT_EQ(out[2], 2.0f);
}

TEST(FramePcl, ValidityRangeAndScale) {
    const kavri_lens_param_t lens = {0, 0, 1, 1, 2.0f};
    const float d[6] = {60.0f, 0.0f, -1.0f, NAN, 59.999f, 1.0f};
    float out[24] = {};
    ASSERT_EQ(kavri_frame_get_pcl_xyzd(&g_dev, out, 24, d, 6, 6, 1, 0, &lens), 2);
    // Pixel 4 at column 4: the ray (4, 0, 1) / sqrt(17), scaled distance 119.998.
    const float n = std::sqrt(17.0f);
    EXPECT_NEAR(out[0], 119.998f * 4 / n, 1e-3);
    EXPECT_NEAR(out[2], 119.998f / n, 1e-3);
    EXPECT_NEAR(out[3], 119.998f, 1e-3);  // the fourth value is the scaled distance
    EXPECT_NEAR(out[7], 2.0f, 1e-6);
}

TEST(FramePcl, PointsStopWhereTheNextWouldNotFit) {
    const kavri_lens_param_t lens = {0, 0, 1, 1, 1};
    std::vector<float> d(10, 1.0f), out(64);
    EXPECT_EQ(kavri_frame_get_pcl(&g_dev, out.data(), 3 * 3 + 2, d.data(), 10, 10, 1, &lens), 3);
    EXPECT_EQ(kavri_frame_get_pcl(&g_dev, out.data(), 3 * 3 + 3, d.data(), 10, 10, 1, &lens), 4);
    EXPECT_EQ(
        kavri_frame_get_pcl_xyzd(&g_dev, out.data(), 4 * 2 + 3, d.data(), 10, 10, 1, 0, &lens), 2);
    EXPECT_EQ(kavri_frame_get_pcl(nullptr, out.data(), 64, d.data(), 10, 10, 1, &lens), 0);
}

// A flat wall at depth z seen through a wide lens: every point has that depth
// and lies at the distance the image gave (the point is on its pixel's ray).
TEST(FramePcl, FlatWallStaysFlatAtEveryCorner) {
    const uint32_t w = 320, h = 240;
    const kavri_lens_param_t lens = {159.5f, 119.5f, 100.0f, 100.0f, 1.0f};  // ~116 deg wide
    const float z = 1.5f;
    std::vector<float> dist(w * h), out(size_t{w} * h * 3 + 3);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c) {
            const float a = (c - lens.cx) / lens.fx, b = (r - lens.cy) / lens.fy;
            dist[r * w + c] = z * std::sqrt(1 + a * a + b * b);
        }
    ASSERT_EQ(kavri_frame_get_pcl(&g_dev, out.data(), static_cast<uint32_t>(out.size()),
                                  dist.data(), w * h, w, h, &lens),
              static_cast<int>(w * h));
    for (size_t p = 0; p < size_t{w} * h; ++p) {
        const float *pt = &out[3 * p];
        ASSERT_NEAR(pt[2], z, 1e-5) << p;
        ASSERT_NEAR(std::sqrt(pt[0] * pt[0] + pt[1] * pt[1] + pt[2] * pt[2]), dist[p], 1e-5);
        ASSERT_FALSE(std::isnan(pt[0] + pt[1] + pt[2]));
    }
    // The corner pixel (0, 0) is left of and above the centre.
    EXPECT_LT(out[0], 0.0f);
    EXPECT_LT(out[1], 0.0f);
}

TEST(FramePcl, ColourIsTheColourMapValueAsANumber) {
    const kavri_lens_param_t lens = {0, 0, 1, 1, 1};
    const float d = 1.0f;
    float out[8] = {};
    ASSERT_EQ(kavri_frame_get_pcl_xyzd(&g_dev, out, 8, &d, 1, 1, 1, 1, &lens), 1);
    EXPECT_EQ(out[3], std::floor(out[3]));  // a colour value, not a bit pattern
    EXPECT_GE(out[3], 0.0f);
    EXPECT_LE(out[3], static_cast<float>(0xFFFFFF));
}

TEST(FramePcl, AbsurdWidthNeedsNoMemoryOfItsSize) {
    // A row of 2^32 - 1 pixels of which only the first is ever read: the
    // destination holds one point.
    const kavri_lens_param_t lens = {0, 0, 1, 1, 1};
    const float d = 1.0f;
    const uint32_t width = UINT32_MAX;
    float out[4] = {};
    EXPECT_EQ(kavri_frame_get_pcl(&g_dev, out, 3, &d, 1, width, 1, &lens), 1);
    EXPECT_FLOAT_EQ(out[2], 1.0f);
    EXPECT_EQ(kavri_frame_get_pcl_xyzd(&g_dev, out, 4, &d, 1, width, 1, 1, &lens), 1);
    EXPECT_EQ(kavri_frame_get_pcl_xyzd(&g_dev, out, 4, &d, 1, width, 1, 0, &lens), 1);
}

TEST(FramePcl, DegenerateLensIsRefused) {
    const kavri_lens_param_t lens = {0, 0, 0, 1, 1};
    const float d = 1.0f;
    float out[8] = {};
    EXPECT_EQ(kavri_frame_get_pcl(&g_dev, out, 8, &d, 1, 1, 1, &lens), 0);
}

TEST(FrameConvert, DestinationMustHoldTheImage) {
    kavri_frame_info_t info{};
    info.width = 4;
    info.height = 2;
    info.frame_size = 64;
    info.frame_format = 2;
    std::vector<uint16_t> raw(32, 2048);
    std::vector<float> dst(8, -1.0f);
    EXPECT_EQ(kavri_frame_get_distance(&g_dev, dst.data(), 7, raw.data(), 64, &info), 0);
    // A handle without a camera decodes nothing.
    EXPECT_EQ(kavri_frame_get_distance(&g_dev, dst.data(), 8, raw.data(), 64, &info), 0);
    EXPECT_EQ(kavri_filter_enable(nullptr, 1, nullptr, 0), -1);
    EXPECT_EQ(kavri_filter_disable(&g_dev, 1), -1);
}

}  // namespace
