// The TI driver's table, frame description and value scaling.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kavri.h"

namespace {

const kavri_drv_op_t &ops = g_kavri_driver_op_ti;

kavri_frame_info_t ti_info() {
    kavri_frame_info_t info{};
    info.width = 320;
    info.height = 240;
    return info;
}

// One pixel per entry: amplitude word, phase word, little-endian.
std::vector<uint16_t> pixels(std::initializer_list<std::pair<uint16_t, uint16_t>> px) {
    std::vector<uint16_t> words;
    for (auto [amp, phase] : px) {
        const uint8_t b[4] = {static_cast<uint8_t>(amp), static_cast<uint8_t>(amp >> 8),
                              static_cast<uint8_t>(phase), static_cast<uint8_t>(phase >> 8)};
        uint16_t w[2];
        std::memcpy(w, b, 4);
        words.push_back(w[0]);
        words.push_back(w[1]);
    }
    return words;
}

TEST(TiDriver, TableFillsEightSlots) {
    EXPECT_NE(ops.init, nullptr);
    EXPECT_NE(ops.uninit, nullptr);
    EXPECT_NE(ops.frame_get_info, nullptr);
    EXPECT_NE(ops.frame_decode, nullptr);
    EXPECT_EQ(ops.lens_param_get, nullptr);
    EXPECT_EQ(ops.update_intg_time, nullptr);
    EXPECT_EQ(ops.update_mod_freq, nullptr);
    EXPECT_EQ(ops.filter_enable, nullptr);
    EXPECT_EQ(ops.filter_disable, nullptr);
    kavri_drv_t drv{};
    EXPECT_EQ(ops.reserved5(&drv), 0);
    EXPECT_EQ(ops.reserved8(&drv, 7), 7);
    EXPECT_EQ(ops.calib_load(&drv, 0, 0, 2), 0);
    EXPECT_EQ(ops.reserved10(&drv), 1);
    kavri_dev_t dev{};
    EXPECT_EQ(ops.init(&drv, &dev), 1);
    EXPECT_EQ(drv.dev, &dev);
    ops.uninit(&drv);
}

TEST(TiDriver, FrameInfoIsAlways320x240FourBytes) {
    kv_stream_frame_info_t raw{};
    raw.frlen = 12345;
    raw.fridx = 77;
    raw.frfmt = 0x21;
    kavri_frame_info_t out{};
    out.reserved0 = 9;
    out.reserved1 = 0xBEEF;
    kavri_drv_t drv{};
    ASSERT_EQ(ops.frame_get_info(&drv, &out, &raw), 1);
    EXPECT_EQ(out.frame_size, 12345u);
    EXPECT_EQ(out.frame_idx, 77);
    EXPECT_EQ(out.frame_format, 0x21);
    EXPECT_EQ(out.width, 320u);
    EXPECT_EQ(out.height, 240u);
    EXPECT_EQ(out.pixel_width, 4);
    EXPECT_EQ(out.reserved0, 9);  // untouched
    EXPECT_EQ(out.reserved1, 0xBEEF);
}

TEST(TiDriver, DistanceUsesTheLowTwelveBitsOfThePhase) {
    const auto src = pixels({{0, 0x0800}, {0, 0xF800}, {0, 0x0FFF}, {0xFFFF, 0}});
    float dst[4] = {-1, -1, -1, -1};
    kavri_drv_t drv{};
    const kavri_frame_info_t info = ti_info();
    EXPECT_EQ(ops.frame_decode(&drv, dst, sizeof dst, 1, src.data(), 16, &info), 320 * 240);
    EXPECT_NEAR(dst[0], 1.561419f, 1e-6f);
    EXPECT_NEAR(dst[1], 1.561419f, 1e-6f);
    EXPECT_NEAR(dst[2], 4095.0f / 4096.0f * 3.122838f, 1e-6f);
    EXPECT_EQ(dst[3], 0.0f);
}

TEST(TiDriver, GrayUsesTheLowTwelveBitsOfTheAmplitude) {
    const auto src = pixels({{0x0400, 0xFFF}, {0xF001, 0}});
    float dst[2] = {};
    kavri_drv_t drv{};
    const kavri_frame_info_t info = ti_info();
    ops.frame_decode(&drv, dst, sizeof dst, 2, src.data(), 8, &info);
    EXPECT_FLOAT_EQ(dst[0], 0.25f);
    EXPECT_FLOAT_EQ(dst[1], 1.0f / 4096.0f);
}

TEST(TiDriver, SmallDestinationAndOtherKinds) {
    const auto src = pixels({{1, 0x800}, {2, 0x800}, {3, 0x800}});
    kavri_drv_t drv{};
    const kavri_frame_info_t info = ti_info();
    float dst[3] = {-1, -1, -1};
    // Room for two pixels (and a stray byte): the third is not written.
    EXPECT_EQ(ops.frame_decode(&drv, dst, 9, 1, src.data(), 12, &info), 320 * 240);
    EXPECT_NE(dst[1], -1.0f);
    EXPECT_EQ(dst[2], -1.0f);
    float untouched[3] = {-1, -1, -1};
    EXPECT_EQ(ops.frame_decode(&drv, untouched, sizeof untouched, 3, src.data(), 12, &info),
              320 * 240);
    for (float v : untouched) EXPECT_EQ(v, -1.0f);
    // A source shorter than the destination stops at its last whole pixel.
    float dst2[3] = {-1, -1, -1};
    ops.frame_decode(&drv, dst2, sizeof dst2, 2, src.data(), 7, &info);
    EXPECT_NE(dst2[0], -1.0f);
    EXPECT_EQ(dst2[1], -1.0f);
}

}  // namespace
