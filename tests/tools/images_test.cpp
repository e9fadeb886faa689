// The distance picture's colours and its colour bar, in-process.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "cli/images.h"

namespace kavri::cli_test {
namespace {

using Rgb = std::array<uint8_t, 3>;

constexpr cli::DistanceRange kRange{1000, 3000};
constexpr Rgb kBlack{0, 0, 0};

Rgb colour_of(float d_m) {
    const std::vector<float> one{d_m};
    const std::vector<uint8_t> rgb = cli::colourise(one, kRange);
    return {rgb[0], rgb[1], rgb[2]};
}

Rgb pixel(const cli::Picture &pic, uint32_t x, uint32_t y) {
    const size_t i = (static_cast<size_t>(y) * pic.width + x) * 3;
    return {pic.rgb[i], pic.rgb[i + 1], pic.rgb[i + 2]};
}

bool saturated(const Rgb &c) {
    const int hi = std::max({c[0], c[1], c[2]}), lo = std::min({c[0], c[1], c[2]});
    return hi - lo > 64;
}

TEST(Colourise, DistancesOutsideTheRangeTakeTheNearerEndsColour) {
    EXPECT_NE(colour_of(1.001f), kBlack);
    EXPECT_NE(colour_of(3.0f), kBlack);
    EXPECT_EQ(colour_of(0.4f), colour_of(1.001f));
    EXPECT_EQ(colour_of(1.0f), colour_of(1.001f));
    EXPECT_EQ(colour_of(7.5f), colour_of(3.0f));
}

TEST(Colourise, OnlyPixelsWithoutADistanceAreBlackOrMarked) {
    struct Case {
        float d_m;
        Rgb expect;
    };
    const Case cases[] = {{0.0f, kBlack},
                          {NAN, kBlack},
                          {-1.0f, kBlack},
                          {65.3f, kBlack},
                          {65.4f, {0xFF, 0x00, 0x80}},
                          {65.5f, {0xA9, 0x0E, 0xFF}},
                          {62.0f, kBlack}};
    for (const auto &c : cases) EXPECT_EQ(colour_of(c.d_m), c.expect) << c.d_m;
}

// A colour bar beside the picture: the picture unchanged at the top left, a
// column of colours right of it running far (blue) at the top to near (red)
// at the bottom, and labels in light ink beside it.
TEST(ColourBar, StandsBesideThePictureFarBlueToNearRed) {
    constexpr uint32_t kW = 64, kH = 48;
    std::vector<float> dist(kW * kH, 2.0f);
    dist[0] = 0.0f;
    const std::vector<uint8_t> rgb = cli::colourise(dist, kRange);
    const cli::Picture pic = cli::with_colour_bar(rgb, kW, kH, kRange);
    ASSERT_GT(pic.width, kW);
    ASSERT_EQ(pic.height, kH);
    ASSERT_EQ(pic.rgb.size(), static_cast<size_t>(pic.width) * pic.height * 3);
    for (uint32_t y = 0; y < kH; ++y)
        for (uint32_t x = 0; x < kW; ++x)
            ASSERT_EQ(pixel(pic, x, y), (Rgb{rgb[(y * kW + x) * 3], rgb[(y * kW + x) * 3 + 1],
                                             rgb[(y * kW + x) * 3 + 2]}))
                << x << "," << y;

    uint32_t bar_x = 0;
    for (uint32_t x = kW; x < pic.width && bar_x == 0; ++x)
        if (saturated(pixel(pic, x, kH / 2))) bar_x = x;
    ASSERT_NE(bar_x, 0u) << "no colour bar right of the picture";
    uint32_t top = kH / 2, bottom = kH / 2;
    while (top > 0 && saturated(pixel(pic, bar_x, top - 1))) --top;
    while (bottom + 1 < kH && saturated(pixel(pic, bar_x, bottom + 1))) ++bottom;
    EXPECT_GT(bottom - top, kH / 2);
    EXPECT_EQ(pixel(pic, bar_x, top), colour_of(3.0f));
    EXPECT_EQ(pixel(pic, bar_x, bottom), colour_of(1.001f));
    EXPECT_GT(pixel(pic, bar_x, top)[2], pixel(pic, bar_x, top)[0]);        // blue far
    EXPECT_GT(pixel(pic, bar_x, bottom)[0], pixel(pic, bar_x, bottom)[2]);  // red near

    size_t ink = 0;
    for (uint32_t y = 0; y < pic.height; ++y)
        for (uint32_t x = bar_x; x < pic.width; ++x) {
            const Rgb c = pixel(pic, x, y);
            ink += c[0] > 200 && c[1] > 200 && c[2] > 200;
        }
    EXPECT_GT(ink, 3u * 20u) << "no labels beside the bar";
}

TEST(ColourBar, LowPicturesArePaddedSoTheLabelsFit) {
    constexpr uint32_t kW = 8, kH = 2;
    const std::vector<uint8_t> rgb = cli::colourise(std::vector<float>(kW * kH, 2.0f), kRange);
    const cli::Picture pic = cli::with_colour_bar(rgb, kW, kH, kRange);
    EXPECT_GT(pic.height, kH);
    EXPECT_EQ(pic.rgb.size(), static_cast<size_t>(pic.width) * pic.height * 3);
    EXPECT_EQ(pixel(pic, kW - 1, kH - 1), colour_of(2.0f));
}

}  // namespace
}  // namespace kavri::cli_test
