// Element-wise pixel type conversions with a scale factor.
#include <cstdint>

#include "alg/conv_trunc.h"
#include "kavri/kvmath.h"

namespace {

constexpr uint32_t kShiftMask = 31u;
constexpr uint32_t kScaleLowBits = 0xFFFFu;

// src * scale as the extended-precision original forms it: the product of two
// floats is exact in double.
inline double scaled(float value, float scale) {
    return static_cast<double>(value) * static_cast<double>(scale);
}

}  // namespace

extern "C" {

KAVRI_API void kv_conv_u16_u8(uint8_t *dst, const uint16_t *src, int32_t count, uint32_t shift) {
    if (dst == nullptr || src == nullptr) return;
    const uint32_t s = shift & kShiftMask;
    for (int32_t i = 0; i < count; ++i) dst[i] = static_cast<uint8_t>(src[i] >> s);
}

KAVRI_API void kv_conv_u16_f32(float *dst, const uint16_t *src, int32_t count, float scale) {
    if (dst == nullptr || src == nullptr) return;
    // A 16-bit value is exact in float, so the float product is the exact product
    // rounded once to single precision.
    for (int32_t i = 0; i < count; ++i) dst[i] = static_cast<float>(src[i]) * scale;
}

KAVRI_API void kv_conv_u16_u32(uint32_t *dst, const uint16_t *src, int32_t count, uint32_t scale) {
    if (dst == nullptr || src == nullptr) return;
    const uint32_t factor = scale & kScaleLowBits;
    for (int32_t i = 0; i < count; ++i) dst[i] = src[i] * factor;
}

KAVRI_API void kv_conv_f32_u8(uint8_t *dst, const float *src, int32_t count, float scale) {
    if (dst == nullptr || src == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<uint8_t>(kavri::trunc_indefinite<int16_t>(scaled(src[i], scale)));
    }
}

KAVRI_API void kv_conv_f32_u16(uint16_t *dst, const float *src, int32_t count, float scale) {
    if (dst == nullptr || src == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<uint16_t>(kavri::trunc_indefinite<int32_t>(scaled(src[i], scale)));
    }
}

KAVRI_API void kv_conv_f32_u32(uint32_t *dst, const float *src, int32_t count, float scale) {
    if (dst == nullptr || src == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        const int32_t t = kavri::trunc_indefinite<int32_t>(scaled(src[i], scale));
        dst[i] = static_cast<uint32_t>(t) & kScaleLowBits;
    }
}

}  // extern "C"
