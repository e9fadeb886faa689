// Hole fills, fly-pixel and box filters: hand-made cases and straight
// references on random images (whose sizes reach the vector paths).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "alg/filter_test_util.h"
#include "kavri/filter.h"

namespace {

using kavri::test::at;
using kavri::test::Image16;
using kavri::test::random_image;

int16_t s16(uint16_t v) {
    return static_cast<int16_t>(v);
}

// Non-recursive hole fill written out directly.
Image16 ref_fill(const Image16 &src, int w, int h, int r) {
    Image16 out(src);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (s16(at(src, w, h, x, y)) > 0) continue;
            int16_t best = INT16_MIN;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    if (dx != 0 || dy != 0)
                        best = std::max(best, s16(at(src, w, h, x + dx, y + dy)));
            out[static_cast<size_t>(y) * w + x] = static_cast<uint16_t>(best);
        }
    }
    return out;
}

// Fly-pixel decision with the true (unwrapped) squared gradient.
Image16 ref_flypix(const Image16 &src, int w, int h, uint32_t threshold) {
    Image16 out(src.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto q = [&](int dx, int dy) { return int64_t{at(src, w, h, x + dx, y + dy)} / 4; };
            const int64_t gx = q(1, -1) + q(1, 1) + 2 * (q(1, 0) - q(-1, 0)) - q(-1, -1) - q(-1, 1);
            const int64_t gy = q(-1, 1) + q(1, 1) + 2 * (q(0, 1) - q(0, -1)) - q(-1, -1) - q(1, -1);
            const uint64_t s = static_cast<uint64_t>(gx * gx + gy * gy);
            out[static_cast<size_t>(y) * w + x] = (threshold >> 4) < s ? 0 : at(src, w, h, x, y);
        }
    }
    return out;
}

struct Size {
    int w, h;
};
const Size kSizes[] = {{2, 2},  {3, 2},  {5, 3},  {9, 4},  {10, 3}, {17, 3},  {18, 5}, {20, 4},
                       {33, 3}, {34, 3}, {35, 4}, {41, 7}, {66, 3}, {320, 4}, {515, 3}};

// Depth-like content: valid values mixed with 0 and marker values.
Image16 depth_with_holes(int w, int h, uint32_t seed) {
    Image16 img = random_image(w, h, seed, 0, 65535);
    const Image16 pick = random_image(w, h, seed + 1000, 0, 3);
    for (size_t i = 0; i < img.size(); ++i) {
        if (pick[i] == 0) img[i] = 0;
        if (pick[i] == 1) img[i] = 65300;
        if (pick[i] == 2) img[i] &= 0x7FFF;
    }
    return img;
}

TEST(HoleFillTest, MatchesReferenceOnRandomImages) {
    uint32_t seed = 1;
    for (const Size s : kSizes) {
        const Image16 src = depth_with_holes(s.w, s.h, seed++);
        Image16 d3(src.size(), 1), d5(src.size(), 1);
        kv_fhole_u16_k3(d3.data(), src.data(), s.w, s.h, 0);
        kv_fhole_u16_k5(d5.data(), src.data(), s.w, s.h, 0);
        EXPECT_EQ(d3, ref_fill(src, s.w, s.h, 1)) << s.w << "x" << s.h;
        EXPECT_EQ(d5, ref_fill(src, s.w, s.h, 2)) << s.w << "x" << s.h;
    }
}

TEST(HoleFillTest, MarkerAndHighValuesAreHoles) {
    // Centre holes take the largest valid neighbour, never a marker.
    for (uint16_t hole : {uint16_t{0}, uint16_t{65300}, uint16_t{40000}, uint16_t{32768}}) {
        const Image16 src = {10, 20, 30, 40, hole, 60, 65500, 80, 65400};
        Image16 d3(9), d5(9);
        kv_fhole_u16_k3(d3.data(), src.data(), 3, 3, 0);
        kv_fhole_u16_k5(d5.data(), src.data(), 3, 3, 0);
        EXPECT_EQ(d3[4], 80) << hole;
        EXPECT_EQ(d5[4], 80) << hole;
        EXPECT_EQ(d3[0], 10);  // valid pixels are copied
    }
}

TEST(HoleFillTest, AllHolesGiveLargestInSignedOrder) {
    // 0 beside a marker: 0 is larger as a signed value. At (0, 0) clamped
    // positions fall on the pixel itself, so its own 0 takes part.
    const Image16 mixed = {0, 65300, 65300, 65300};
    Image16 out(4);
    kv_fhole_u16_k5(out.data(), mixed.data(), 2, 2, 0);
    EXPECT_EQ(out, (Image16{0, 0, 0, 0}));
    const Image16 marker_corner = {65300, 0, 65400, 65500};
    kv_fhole_u16_k3(out.data(), marker_corner.data(), 2, 2, 0);
    EXPECT_EQ(out, (Image16{0, 0, 0, 0}));
    const Image16 markers = {65300, 65500, 65400, 65300};
    kv_fhole_u16_k3(out.data(), markers.data(), 2, 2, 0);
    EXPECT_EQ(out, (Image16{65500, 65500, 65500, 65500}));
}

TEST(HoleFillTest, BlockOfZerosRecursiveAndNot) {
    constexpr int kW = 7, kH = 7;
    constexpr uint16_t kV = 1234;
    Image16 src(kW * kH, kV);
    for (int y = 2; y <= 4; ++y)
        for (int x = 2; x <= 4; ++x) src[y * kW + x] = 0;
    Image16 plain(src.size()), rec(src.size());
    kv_fhole_u16_k3(plain.data(), src.data(), kW, kH, 0);
    kv_fhole_u16_k3(rec.data(), src.data(), kW, kH, 1);
    Image16 expect_plain(src.size(), kV);
    expect_plain[3 * kW + 3] = 0;
    EXPECT_EQ(plain, expect_plain);
    EXPECT_EQ(rec, Image16(src.size(), kV));
}

TEST(HoleFillTest, RecursiveFillsFromTopLeftAndWorksInPlace) {
    // A row of holes: each sees the value filled to its left.
    Image16 img = {5, 0, 0, 0, 0, 65300, 65300, 65300, 65300, 65300};
    Image16 out(img.size());
    kv_fhole_u16_k3(out.data(), img.data(), 5, 2, 1);
    EXPECT_EQ(out, Image16(img.size(), 5));
    kv_fhole_u16_k5(img.data(), img.data(), 5, 2, 1);
    EXPECT_EQ(img, Image16(img.size(), 5));
}

TEST(HoleFillTest, EdtSingleHoleTakesTopLeft) {
    const Image16 src = {11, 12, 13, 14, 0, 16, 17, 18, 19};
    Image16 out(9);
    kv_fhole_u16_edt3(out.data(), src.data(), 3, 3);
    Image16 expect = src;
    expect[4] = 11;
    EXPECT_EQ(out, expect);
}

TEST(HoleFillTest, EdtTieRulesAndNoBackwardPass) {
    // Row 0 sees only holes (and itself through clamping): it keeps its own
    // hole value, there is no backward pass. Row 1 sees known pixels below at
    // distance 1 in group V; bottom and bottom-left tie, so the bottom-left one
    // is taken (at column 0 it is clamped onto the bottom pixel).
    const Image16 src = {0, 0, 0, 0, 0, 0, 0, 0, 7, 8, 9, 10};
    Image16 out(src.size());
    kv_fhole_u16_edt3(out.data(), src.data(), 4, 3);
    EXPECT_EQ(out, (Image16{0, 0, 0, 0, 7, 7, 8, 9, 7, 8, 9, 10}));
}

TEST(HoleFillTest, EdtWithoutHolesCopies) {
    const Image16 src = random_image(13, 5, 9, 1, 32767);
    Image16 out(src.size());
    kv_fhole_u16_edt3(out.data(), src.data(), 13, 5);
    EXPECT_EQ(out, src);
}

TEST(BoxFilterTest, TwoByTwoExample) {
    const Image16 src = {8, 16, 24, 32};
    Image16 out(4);
    kv_box2d_u16_k3(out.data(), src.data(), 2, 2);
    EXPECT_EQ(out, (Image16{17, 19, 21, 23}));
}

TEST(BoxFilterTest, ExtremeValuesDoNotOverflow) {
    const Image16 src(16, 65535);
    Image16 out(16);
    kv_box2d_u16_k3(out.data(), src.data(), 4, 4);
    EXPECT_EQ(out, src);
}

TEST(FlyPixTest, FlatAreaIsKept) {
    const Image16 src(12 * 4, 3000);
    Image16 out(src.size());
    kv_flypix_u16_k3(out.data(), src.data(), 12, 4, 0);
    EXPECT_EQ(out, src);
}

TEST(FlyPixTest, StepIsRemovedForEveryThreshold) {
    constexpr int kW = 20, kH = 3;
    Image16 src(kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) src[y * kW + x] = x < 10 ? 1000 : 65300;
    for (uint32_t threshold : {0u, 1000u, 4294967295u}) {
        Image16 out(src.size());
        kv_flypix_u16_k3(out.data(), src.data(), kW, kH, threshold);
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const bool at_step = x == 9 || x == 10;
                EXPECT_EQ(out[y * kW + x], at_step ? 0 : src[y * kW + x]) << x << "," << y;
            }
        }
    }
}

TEST(FlyPixTest, BothExtremeGradientsStillCountAsSteep) {
    // A corner of 65535 beside 0: gx and gy are both at their maximum and the
    // squared magnitude exceeds 32 bits; the pixel must still be removed.
    const Image16 src = {0, 0, 0, 0, 0, 65535, 0, 65535, 65535};
    Image16 out(src.size(), 1);
    kv_flypix_u16_k3(out.data(), src.data(), 3, 3, 0xFFFFFFFFu);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out, ref_flypix(src, 3, 3, 0xFFFFFFFFu));
}

TEST(FlyPixTest, MatchesReferenceOnRandomImages) {
    uint32_t seed = 50;
    for (const Size s : kSizes) {
        for (uint32_t threshold : {0u, 16u * 1000u, 16u * 2000000u, 4294967295u}) {
            const uint16_t top = (seed % 2) != 0 ? 65535 : 4000;
            const Image16 src = random_image(s.w, s.h, seed++, 0, top);
            Image16 out(src.size(), 1);
            kv_flypix_u16_k3(out.data(), src.data(), s.w, s.h, threshold);
            EXPECT_EQ(out, ref_flypix(src, s.w, s.h, threshold)) << s.w << "x" << s.h;
        }
    }
}

using Filter = void (*)(uint16_t *, const uint16_t *, int, int);
void fhole3(uint16_t *d, const uint16_t *s, int w, int h) {
    kv_fhole_u16_k3(d, s, w, h, 0);
}
void fhole5r(uint16_t *d, const uint16_t *s, int w, int h) {
    kv_fhole_u16_k5(d, s, w, h, 1);
}
void flypix(uint16_t *d, const uint16_t *s, int w, int h) {
    kv_flypix_u16_k3(d, s, w, h, 5);
}

struct Rejected {
    const char *name;
    Filter fn;
};

TEST(SmallFiltersTest, RejectTooSmallImages) {
    const Rejected filters[] = {{"kv_box2d_u16_k3", kv_box2d_u16_k3},
                                {"kv_flypix_u16_k3", flypix},
                                {"kv_fhole_u16_k3", fhole3},
                                {"kv_fhole_u16_k5", fhole5r},
                                {"kv_fhole_u16_edt3", kv_fhole_u16_edt3}};
    for (const Rejected &f : filters) {
        for (const Size s : {Size{1, 4}, Size{4, 1}, Size{0, 0}}) {
            const Image16 src(4, 0);
            Image16 dst(4, 0xAAAA);
            testing::internal::CaptureStdout();
            f.fn(dst.data(), src.data(), s.w, s.h);
            const std::string log = testing::internal::GetCapturedStdout();
            const std::string msg = std::string("[") + f.name +
                                    "]  wrong parameter:w/h=" + std::to_string(s.w) + "/" +
                                    std::to_string(s.h) + "\n";
            EXPECT_NE(log.find(msg), std::string::npos) << log;
            EXPECT_EQ(dst, Image16(4, 0xAAAA));
        }
    }
}

}  // namespace
