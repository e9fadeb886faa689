// Gaussians: the 3x3 kernel against a direct sum on random images, and the
// recursive gaussian's documented properties.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "alg/filter_test_util.h"
#include "kavri/filter.h"

namespace {

using kavri::test::at;
using kavri::test::Image16;
using kavri::test::random_image;

Image16 ref_gauss3(const Image16 &src, int w, int h) {
    static const int kWeights[3][3] = {{1, 2, 1}, {2, 4, 2}, {1, 2, 1}};
    Image16 out(src.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint32_t sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    sum += kWeights[dy + 1][dx + 1] * uint32_t{at(src, w, h, x + dx, y + dy)};
            out[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(sum >> 4);
        }
    }
    return out;
}

TEST(Gauss3Test, MatchesDirectSum) {
    const int sizes[][2] = {{2, 2}, {3, 5}, {15, 3}, {16, 2}, {17, 4}, {320, 3}, {515, 4}};
    uint32_t seed = 3;
    for (const auto &s : sizes) {
        for (uint16_t top : {uint16_t{65535}, uint16_t{3}}) {
            const Image16 src = random_image(s[0], s[1], seed++, 0, top);
            Image16 out(src.size(), 1);
            kv_gauss2d_u16_k3(out.data(), src.data(), s[0], s[1]);
            EXPECT_EQ(out, ref_gauss3(src, s[0], s[1])) << s[0] << "x" << s[1];
        }
    }
}

TEST(Gauss3Test, ConstantAndImpulse) {
    const Image16 flat(20 * 4, 65535);
    Image16 out(flat.size());
    kv_gauss2d_u16_k3(out.data(), flat.data(), 20, 4);
    EXPECT_EQ(out, flat);

    Image16 impulse(5 * 5, 0);
    impulse[12] = 16;
    Image16 res(impulse.size());
    kv_gauss2d_u16_k3(res.data(), impulse.data(), 5, 5);
    const Image16 expect = {0, 0, 0, 0, 0, 0, 1, 2, 1, 0, 0, 2, 4,
                            2, 0, 0, 1, 2, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(res, expect);
}

TEST(Gauss3Test, RejectsTinyImages) {
    const Image16 src(4, 1);
    Image16 dst(4, 9);
    testing::internal::CaptureStdout();
    kv_gauss2d_u16_k3(dst.data(), src.data(), 1, 4);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[kv_gauss2d_u16_k3]  wrong parameter:w/h=1/4\n"), std::string::npos);
    EXPECT_EQ(dst, Image16(4, 9));
}

using ImageF = std::vector<float>;

ImageF run_iir(const ImageF &src, int w, int h, float sigma) {
    ImageF out(src.size(), -1.0f);
    kv_gauss2d_iir_f32(out.data(), src.data(), w, h, sigma);
    return out;
}

ImageF impulse_image(int w, int h) {
    ImageF img(static_cast<size_t>(w) * h, 0.0f);
    img[static_cast<size_t>(h / 2) * w + w / 2] = 1.0f;
    return img;
}

TEST(GaussIirTest, ConstantImageStaysConstant) {
    for (float sigma : {0.3f, 0.8f, 2.0f, 2.5f, 7.0f}) {
        const ImageF out = run_iir(ImageF(31 * 17, 1234.5f), 31, 17, sigma);
        for (float v : out) EXPECT_NEAR(v, 1234.5f, 1234.5f * 1e-5f) << sigma;
    }
}

TEST(GaussIirTest, SmallOrInvalidSigmaUsesHalfPixelSet) {
    const ImageF src = impulse_image(21, 21);
    const ImageF fixed = run_iir(src, 21, 21, 0.3f);
    EXPECT_EQ(run_iir(src, 21, 21, 0.0f), fixed);
    EXPECT_EQ(run_iir(src, 21, 21, -4.0f), fixed);
    EXPECT_EQ(run_iir(src, 21, 21, std::numeric_limits<float>::quiet_NaN()), fixed);
    // The fixed set is the one the formula gives for 0.5, up to rounding.
    const ImageF half = run_iir(src, 21, 21, 0.5f);
    for (size_t i = 0; i < half.size(); ++i) EXPECT_NEAR(fixed[i], half[i], 1e-4f * half[i]);
}

// Spread of the impulse response along the centre row (the row and column
// passes are the same filter, so the 2-D response is separable).
double response_sigma(float sigma) {
    constexpr int kN = 101;
    const ImageF out = run_iir(impulse_image(kN, kN), kN, kN, sigma);
    double sum = 0, var = 0;
    const float *row = out.data() + static_cast<size_t>(kN / 2) * kN;
    for (int x = 0; x < kN; ++x) sum += row[x];
    for (int x = 0; x < kN; ++x) var += row[x] / sum * (x - kN / 2) * (x - kN / 2);
    return std::sqrt(var);
}

TEST(GaussIirTest, ResponseWidthFollowsSigma) {
    for (float sigma : {1.0f, 2.0f, 2.5f, 4.0f, 8.0f}) {
        EXPECT_NEAR(response_sigma(sigma), sigma, 0.12 * sigma + 0.15) << sigma;
    }
    // From 2.5 on the linear q formula applies; it gives a smaller q
    // (1.504475) than the square-root formula just below (about 1.598), so
    // the response narrows across the switch.
    EXPECT_LT(response_sigma(2.5f), response_sigma(2.4999f));
}

TEST(GaussIirTest, InPlaceEqualsSeparateBuffers) {
    ImageF img(40 * 9);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<float>((i * 37) % 101);
    const ImageF expect = run_iir(img, 40, 9, 1.7f);
    kv_gauss2d_iir_f32(img.data(), img.data(), 40, 9, 1.7f);
    EXPECT_EQ(img, expect);
}

TEST(GaussIirTest, U16FormTruncatesTheFloatResult) {
    const Image16 src = random_image(37, 11, 77, 0, 65535);
    const ImageF srcf(src.begin(), src.end());
    const ImageF outf = run_iir(srcf, 37, 11, 1.3f);
    Image16 out(src.size());
    kv_gauss2d_iir_u16(out.data(), src.data(), 37, 11, 1.3f);
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], static_cast<uint16_t>(static_cast<int32_t>(outf[i]))) << i;
    }
    Image16 shaped(src.size());
    gauss2d_iir_u16(shaped.data(), 11, 37, src.data(), 11, 37, 1.3f);
    EXPECT_EQ(shaped, out);
    ImageF shaped_f(src.size());
    gauss2d_iir_f32(shaped_f.data(), 11, 37, srcf.data(), 11, 37, 1.3f);
    EXPECT_EQ(shaped_f, outf);
}

TEST(GaussIirTest, U16ConstantLosesAtMostOne) {
    const Image16 src(25 * 13, 5000);
    Image16 out(src.size());
    kv_gauss2d_iir_u16(out.data(), src.data(), 25, 13, 3.0f);
    for (uint16_t v : out) EXPECT_TRUE(v == 5000 || v == 4999) << v;
}

TEST(GaussIirTest, ShapeMismatchIsRejected) {
    const Image16 src(240 * 320, 7);
    Image16 dst(240 * 320, 9);
    testing::internal::CaptureStdout();
    gauss2d_iir_u16(dst.data(), 320, 240, src.data(), 240, 320, 1.0f);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[gauss2d_iir_u16] wrong parameter: src wxh = 320x240, dst wxh = 240x320\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(dst, Image16(240 * 320, 9));

    const ImageF srcf(6, 1.0f);
    ImageF dstf(6, 2.0f);
    testing::internal::CaptureStdout();
    gauss2d_iir_f32(dstf.data(), 3, 2, srcf.data(), 2, 3, 1.0f);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[gauss2d_iir_f32] wrong parameter: src wxh = 3x2, dst wxh = 2x3\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(dstf, ImageF(6, 2.0f));
}

}  // namespace
