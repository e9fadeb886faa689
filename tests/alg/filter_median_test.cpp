// Medians: the fixed 3x3 and 5x5 networks against a brute-force reference
// and OpenCV, the sorted-list filter against the brute force for larger
// kernels, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "alg/filter_test_util.h"
#include "alg/median5.h"
#include "kavri/filter.h"

namespace {

using kavri::test::at;
using kavri::test::Image16;
using kavri::test::random_image;

// The ((k*k + 1) / 2)-th smallest value of each edge-replicated window.
Image16 brute_median(const Image16 &src, int w, int h, int k) {
    const int r = k / 2;
    Image16 out(src.size());
    std::vector<uint16_t> win;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            win.clear();
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) win.push_back(at(src, w, h, x + dx, y + dy));
            std::nth_element(win.begin(), win.begin() + win.size() / 2, win.end());
            out[static_cast<size_t>(y) * w + x] = win[win.size() / 2];
        }
    }
    return out;
}

Image16 opencv_median(const Image16 &src, int w, int h, int k) {
    cv::Mat in(h, w, CV_16UC1, const_cast<uint16_t *>(src.data()));
    cv::Mat out;
    cv::medianBlur(in, out, k);
    return Image16(out.ptr<uint16_t>(), out.ptr<uint16_t>() + src.size());
}

using FixedMedian = void (*)(uint16_t *, const uint16_t *, int, int);

struct Size {
    int w, h;
};

// Narrow, one-vector, chunk-boundary and odd sizes.
const Size kSizes[] = {{2, 2},   {2, 7},   {7, 2},   {3, 3},   {5, 4},    {15, 9},  {16, 3},
                       {17, 5},  {31, 6},  {32, 3},  {33, 2},  {47, 3},   {64, 8},  {65, 3},
                       {320, 6}, {513, 3}, {527, 4}, {543, 2}, {1030, 3}, {100, 37}};

// Small value ranges give many duplicates, the full range extreme values.
const uint16_t kValueRanges[][2] = {{0, 65535}, {0, 3}, {65530, 65535}, {1000, 1010}};

class FixedMedianTest : public testing::TestWithParam<int> {};

TEST_P(FixedMedianTest, EqualsBruteForceAndOpenCv) {
    const int k = GetParam();
    const FixedMedian fn = k == 3 ? kv_median2d_u16_k3 : kv_median2d_u16_k5;
    uint32_t seed = 1;
    for (const Size s : kSizes) {
        for (const auto &range : kValueRanges) {
            const Image16 src = random_image(s.w, s.h, seed++, range[0], range[1]);
            Image16 dst(src.size(), 0xDEAD);
            fn(dst.data(), src.data(), s.w, s.h);
            ASSERT_EQ(dst, brute_median(src, s.w, s.h, k)) << s.w << "x" << s.h;
            ASSERT_EQ(dst, opencv_median(src, s.w, s.h, k)) << s.w << "x" << s.h;
            if (k == 5) {
                // The 32-byte loops also where the 64-byte ones would run.
                Image16 narrow_loops(src.size(), 0xFACE);
                kavri::filter::median5_u16(narrow_loops.data(), src.data(), s.w, s.h, false);
                ASSERT_EQ(narrow_loops, dst) << s.w << "x" << s.h;
            }
            Image16 general(src.size(), 0xBEEF);
            kv_median2d_u16(general.data(), src.data(), s.w, s.h, k);
            ASSERT_EQ(general, dst);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, FixedMedianTest, testing::Values(3, 5));

TEST(MedianTest, TwoByTwoExample) {
    const Image16 src = {1, 2, 3, 4};
    Image16 dst(4);
    kv_median2d_u16_k3(dst.data(), src.data(), 2, 2);
    EXPECT_EQ(dst, (Image16{2, 2, 3, 3}));
}

class SortedListMedianTest : public testing::TestWithParam<int> {};

TEST_P(SortedListMedianTest, EqualsBruteForce) {
    const int k = GetParam();
    const Size sizes[] = {{k / 2 + 1, k / 2 + 1}, {23, 17}, {40, 9}, {9, 31}};
    uint32_t seed = 100;
    for (const Size s : sizes) {
        for (const auto &range : kValueRanges) {
            const Image16 src = random_image(s.w, s.h, seed++, range[0], range[1]);
            Image16 dst(src.size(), 0xDEAD);
            kv_median2d_u16(dst.data(), src.data(), s.w, s.h, k);
            ASSERT_EQ(dst, brute_median(src, s.w, s.h, k)) << s.w << "x" << s.h;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SortedListMedianTest, testing::Values(7, 9, 15));

TEST(MedianTest, ConstantWindowKeepsValue) {
    for (uint16_t v : {uint16_t{0}, uint16_t{65535}, uint16_t{1234}}) {
        const Image16 src(20 * 6, v);
        for (int k : {3, 5, 7}) {
            Image16 dst(src.size(), 7);
            kv_median2d_u16(dst.data(), src.data(), 20, 6, k);
            EXPECT_EQ(dst, src) << k;
        }
    }
}

// Rejected calls log the size message and leave dst untouched.
struct BadCall {
    int w, h, kernel;
    const char *message;
};

TEST(MedianTest, RejectsBadArguments) {
    const BadCall cases[] = {
        {1, 5, 3, "[kv_median2d_u16_k3]  wrong parameter:w/h=1/5\n"},
        {5, 1, 5, "[kv_median2d_u16_k5]  wrong parameter:w/h=5/1\n"},
        {3, 9, 7, "[kv_median2d_u16]  wrong parameter:w/h/kernel=3/9/7\n"},
        {9, 3, 7, "[kv_median2d_u16]  wrong parameter:w/h/kernel=9/3/7\n"},
        {9, 9, 8, "[kv_median2d_u16]  wrong parameter:w/h/kernel=9/9/8\n"},
        {9, 9, 1, "[kv_median2d_u16]  wrong parameter:w/h/kernel=9/9/1\n"},
        {9, 9, 2, "[kv_median2d_u16]  wrong parameter:w/h/kernel=9/9/2\n"},
        {9, 9, -3, "[kv_median2d_u16]  wrong parameter:w/h/kernel=9/9/-3\n"},
    };
    for (const BadCall &c : cases) {
        const Image16 src(81, 5);
        Image16 dst(81, 0xAAAA);
        testing::internal::CaptureStdout();
        kv_median2d_u16(dst.data(), src.data(), c.w, c.h, c.kernel);
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find(c.message), std::string::npos) << log;
        EXPECT_EQ(dst, Image16(81, 0xAAAA));
    }
}

}  // namespace
