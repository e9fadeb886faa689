// Float to 16-bit conversion of the filters: truncation toward zero into a
// signed 32-bit intermediate whose low 16 bits are kept; a value outside the
// intermediate's range (or not a number) gives the integer-indefinite
// pattern, whose low bits are 0. Never undefined behaviour.
#pragma once

#include <cmath>
#include <cstdint>

namespace kavri::filter {

inline uint16_t f32_to_u16_trunc(float v) {
    constexpr double kLow = -2147483648.0;  // INT32_MIN
    constexpr double kHigh = 2147483648.0;  // INT32_MAX + 1
    const double d = static_cast<double>(v);
    if (!(d > kLow - 1.0 && d < kHigh)) return 0;
    return static_cast<uint16_t>(static_cast<uint32_t>(static_cast<int32_t>(d)));
}

}  // namespace kavri::filter
