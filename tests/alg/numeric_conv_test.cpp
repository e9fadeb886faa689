// Element-wise conversions: truncation, low-bit keeping and the out-of-range rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kavri/kvmath.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Conv, U16ToU8ShiftsAndKeepsTheLowByte) {
    const uint16_t src[] = {0x1234, 0xFFFF, 0x00FF};
    uint8_t dst[3];
    kv_conv_u16_u8(dst, src, 3, 4);
    EXPECT_EQ(dst[0], 0x23);
    EXPECT_EQ(dst[1], 0xFF);
    EXPECT_EQ(dst[2], 0x0F);
    kv_conv_u16_u8(dst, src, 3, 36);  // the shift counts modulo 32
    EXPECT_EQ(dst[0], 0x23);
    kv_conv_u16_u8(dst, src, 1, 0);
    EXPECT_EQ(dst[0], 0x34);
}

TEST(Conv, U16ToU32UsesOnlyTheLowSixteenBitsOfTheScale) {
    const uint16_t src[] = {7, 0xFFFF};
    uint32_t dst[2];
    kv_conv_u16_u32(dst, src, 2, 0x10002);
    EXPECT_EQ(dst[0], 14u);
    EXPECT_EQ(dst[1], 0x1FFFEu);
    kv_conv_u16_u32(dst, src, 2, 0xFFFF);
    EXPECT_EQ(dst[1], 0xFFFEu * 0x10000u + 1u);  // 0xFFFF * 0xFFFF in 32 bits
}

TEST(Conv, U16ToF32RoundsTheProductOnce) {
    const uint16_t src[] = {0, 1, 65535, 3};
    float dst[4];
    kv_conv_u16_f32(dst, src, 4, 0.1f);
    EXPECT_EQ(dst[0], 0.0f);
    EXPECT_EQ(dst[1], 0.1f);
    EXPECT_EQ(dst[2], static_cast<float>(65535.0 * static_cast<double>(0.1f)));
    EXPECT_EQ(dst[3], static_cast<float>(3.0 * static_cast<double>(0.1f)));
}

struct FloatCase {
    float value;
    float scale;
    uint32_t to_u8;
    uint32_t to_u16;
    uint32_t to_u32;
};

TEST(Conv, FloatToIntegerTruncatesAndKeepsLowBits) {
    const FloatCase cases[] = {
        {300.7f, 1.0f, 44, 300, 300},        // 300 & 0xFF
        {-1.5f, 1.0f, 255, 0xFFFF, 0xFFFF},  // -1
        {70000.0f, 1.0f, 0, 4464, 4464},     // int16 overflow gives 0x8000
        {0.999f, 1.0f, 0, 0, 0},
        {-0.999f, 1.0f, 0, 0, 0},
        {2.5f, 100.0f, 250, 250, 250},
        {32767.9f, 1.0f, 0xFF, 32767, 32767},
        {-32768.5f, 1.0f, 0, 0x8000, 0x8000},  // -32768 fits int16
        {3e9f, 1.0f, 0, 0, 0},                 // int32 overflow: indefinite, low bits 0
        {-3e9f, 1.0f, 0, 0, 0},
        {kNaN, 1.0f, 0, 0, 0},
        {kInf, 1.0f, 0, 0, 0},
        {1.0f, kInf, 0, 0, 0},
        {123456.0f, 1.0f, 0, 123456 & 0xFFFF, 123456 & 0xFFFF},
    };
    for (const auto &c : cases) {
        uint8_t u8 = 0xAA;
        uint16_t u16 = 0xAAAA;
        uint32_t u32 = 0xAAAAAAAA;
        kv_conv_f32_u8(&u8, &c.value, 1, c.scale);
        kv_conv_f32_u16(&u16, &c.value, 1, c.scale);
        kv_conv_f32_u32(&u32, &c.value, 1, c.scale);
        EXPECT_EQ(u8, c.to_u8) << c.value << " x " << c.scale;
        EXPECT_EQ(u16, c.to_u16) << c.value << " x " << c.scale;
        EXPECT_EQ(u32, c.to_u32) << c.value << " x " << c.scale;
    }
}

TEST(Conv, ProductIsFormedWithoutSinglePrecisionRounding) {
    // 16777217 is not a float; 16777215 * 1.0000001 would round up in float to
    // 16777216 but its exact value truncates to 16777216 too: pick a case where
    // the float product rounds across an integer.
    const float v = 4000.0f;
    const float scale = 0.06375f;  // single-precision value just below 0.06375
    uint16_t out = 0;
    kv_conv_f32_u16(&out, &v, 1, scale);
    EXPECT_EQ(out, 254);  // a float product would round to 255
}

TEST(Conv, NonPositiveCountsAndNullBuffersDoNothing) {
    std::vector<uint16_t> src(4, 0x1234);
    std::vector<uint8_t> dst(4, 0xAA);
    kv_conv_u16_u8(dst.data(), src.data(), 0, 0);
    kv_conv_u16_u8(dst.data(), src.data(), -4, 0);
    EXPECT_EQ(dst, std::vector<uint8_t>(4, 0xAA));
    kv_conv_u16_u8(nullptr, src.data(), 4, 0);
    kv_conv_u16_f32(nullptr, nullptr, 4, 1.0f);
    kv_conv_u16_u32(nullptr, nullptr, 4, 1);
    kv_conv_f32_u8(nullptr, nullptr, 4, 1.0f);
    kv_conv_f32_u16(nullptr, nullptr, 4, 1.0f);
    kv_conv_f32_u32(nullptr, nullptr, 4, 1.0f);
}

TEST(Conv, RoundTripThroughFloatKeepsSixteenBitValues) {
    std::vector<uint16_t> src(65536);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(i);
    std::vector<float> mid(src.size());
    std::vector<uint16_t> back(src.size());
    kv_conv_u16_f32(mid.data(), src.data(), static_cast<int32_t>(src.size()), 1.0f);
    kv_conv_f32_u16(back.data(), mid.data(), static_cast<int32_t>(src.size()), 1.0f);
    EXPECT_EQ(back, src);
}

}  // namespace
