// The undistortion map against OpenCV's model: getOptimalNewCameraMatrix with
// alpha 1, initUndistortRectifyMap and nearest rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "drv/lens_map_model.h"
#include "drv/lens_test_util.h"
#include "kavri/lens.h"

namespace {

struct Agreement {
    int total = 0;
    int equal = 0;
    int worst_offset = 0;  // largest column or row difference among the mismatches
};

// Compares every map entry with OpenCV's nearest source pixel.
Agreement compare_with_opencv(const kv_lens_param_t &p, const kv_calib_len_map_t &map,
                              cv::Matx33d *new_k, cv::Rect *roi) {
    const cv::Matx33d k(p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1);
    const cv::Mat d(1, 5, CV_64F, const_cast<double *>(p.dcoeff));
    const cv::Size size(p.img_w, p.img_h);
    *new_k = cv::getOptimalNewCameraMatrix(k, d, size, 1.0, size, roi);
    cv::Mat mx, my;
    cv::initUndistortRectifyMap(k, d, cv::noArray(), *new_k, size, CV_32FC1, mx, my);
    Agreement a;
    for (int v = 0; v < p.img_h; ++v) {
        for (int u = 0; u < p.img_w; ++u) {
            const int cv_col = cvRound(mx.at<float>(v, u));
            const int cv_row = cvRound(my.at<float>(v, u));
            const bool cv_inside =
                cv_col >= 0 && cv_col < p.img_w && cv_row >= 0 && cv_row < p.img_h;
            const int32_t ours = map.map[v * p.img_w + u];
            ++a.total;
            if ((!cv_inside && ours == -1) || (cv_inside && ours == cv_col + p.img_w * cv_row)) {
                ++a.equal;
                continue;
            }
            // A mismatch: how far apart are the two source pixels?
            int offset = 0;
            if (ours >= 0) {
                offset =
                    std::max(std::abs(ours % p.img_w - cv_col), std::abs(ours / p.img_w - cv_row));
            } else {
                // Ours is outside: OpenCV's pixel must lie on the border.
                offset = std::min({cv_col + 1, cv_row + 1, p.img_w - cv_col, p.img_h - cv_row});
            }
            a.worst_offset = std::max(a.worst_offset, offset);
        }
    }
    return a;
}

kv_lens_param_t scaled(kv_lens_param_t p, int factor) {
    p.cx /= factor;
    p.cy /= factor;
    p.fx /= factor;
    p.fy /= factor;
    p.img_w /= factor;
    p.img_h /= factor;
    return p;
}

kv_lens_param_t with_coeffs(kv_lens_param_t p, double k1, double k2, double p1, double p2,
                            double k3) {
    const double d[5] = {k1, k2, p1, p2, k3};
    for (int i = 0; i < 5; ++i) p.dcoeff[i] = d[i];
    return p;
}

struct LensCase {
    const char *name;
    kv_lens_param_t lens;
};

class LensMapOpenCv : public ::testing::TestWithParam<LensCase> {};

TEST_P(LensMapOpenCv, AgreesWithOpenCvExceptForRoundingTies) {
    const kv_lens_param_t p = GetParam().lens;
    kv_calib_len_map_t map{};
    ASSERT_EQ(kv_calib_len_init_map(&map, &p), p.img_w * p.img_h);
    ASSERT_TRUE(map.valid);
    EXPECT_EQ(map.count, p.img_w * p.img_h);
    EXPECT_EQ(map.width, p.img_w);
    EXPECT_EQ(map.height, p.img_h);

    cv::Matx33d new_k;
    cv::Rect roi;
    const Agreement a = compare_with_opencv(p, map, &new_k, &roi);
    const double percent = 100.0 * a.equal / a.total;
    std::printf("[lens %s] %d of %d entries equal OpenCV (%.3f %%), worst offset %d px\n",
                GetParam().name, a.equal, a.total, percent, a.worst_offset);
    RecordProperty("agreement_percent", std::to_string(percent));
    EXPECT_GE(percent, 99.5);
    EXPECT_LE(a.worst_offset, 1);

    // The output camera is OpenCV's up to single-precision rounding of the rectangle.
    const auto k = kavri::lens::new_camera_matrix(p);
    EXPECT_NEAR(k[0], new_k(0, 0), 1e-4 * new_k(0, 0));
    EXPECT_NEAR(k[4], new_k(1, 1), 1e-4 * new_k(1, 1));
    EXPECT_NEAR(k[2], new_k(0, 2), 1e-3);
    EXPECT_NEAR(k[5], new_k(1, 2), 1e-3);
    // OpenCV clips its valid rectangle to the image; ours is within one pixel.
    const cv::Rect ours =
        cv::Rect(map.roi_x, map.roi_y, map.roi_w, map.roi_h) & cv::Rect(0, 0, p.img_w, p.img_h);
    EXPECT_NEAR(ours.x, roi.x, 1);
    EXPECT_NEAR(ours.y, roi.y, 1);
    EXPECT_NEAR(ours.width, roi.width, 1);
    EXPECT_NEAR(ours.height, roi.height, 1);
    kv_calib_len_uninit_map(&map);
}

INSTANTIATE_TEST_SUITE_P(
    Lenses, LensMapOpenCv,
    ::testing::Values(LensCase{"default_320x240", default_lens()},
                      LensCase{"default_160x120", scaled(default_lens(), 2)},
                      LensCase{"pincushion", with_coeffs(default_lens(), 0.12, 0.03, 0, 0, 0)},
                      LensCase{"tangential",
                               with_coeffs(default_lens(), -0.2, 0.05, 0.004, -0.003, 0)},
                      LensCase{"no_distortion", with_coeffs(default_lens(), 0, 0, 0, 0, 0)}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(LensMap, WithoutDistortionTheMapIsAPureScalingAboutThePrincipalPoint) {
    const kv_lens_param_t p = with_coeffs(default_lens(), 0, 0, 0, 0, 0);
    const auto k = kavri::lens::new_camera_matrix(p);
    // The grid spans 0..w, one pixel beyond the last centre: K' is slightly smaller.
    EXPECT_NEAR(k[0], p.fx * (p.img_w - 1) / p.img_w, 1e-3);
    EXPECT_LT(k[0], p.fx);
    kv_calib_len_map_t map{};
    ASSERT_EQ(kv_calib_len_init_map(&map, &p), 76800);
    for (int u = 0; u < p.img_w; ++u) {
        const double x = u * static_cast<double>(p.img_w) / (p.img_w - 1);
        const int col = static_cast<int>(std::floor(x + 0.5));
        const int expect = col < p.img_w ? col : -1;
        EXPECT_EQ(map.map[u], expect) << u;
    }
    EXPECT_EQ(map.map[p.img_w - 1], -1);      // the outermost column falls outside
    EXPECT_EQ(map.map[76800 - p.img_w], -1);  // and so does the last row
    EXPECT_EQ(map.map[0], 0);
    kv_calib_len_uninit_map(&map);
}

}  // namespace
