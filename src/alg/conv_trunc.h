// Truncating float-to-integer conversion with the hardware's out-of-range rule.
#pragma once

#include <cstdint>
#include <limits>

namespace kavri {

// Truncates p toward zero into a signed integer of type T. A value outside T's
// range, or not a number, gives T's most negative value (the integer-indefinite
// pattern of the x86 conversion instructions) instead of undefined behaviour.
template <typename T>
inline T trunc_indefinite(double p) {
    constexpr double kLow = static_cast<double>(std::numeric_limits<T>::min()) - 1.0;
    constexpr double kHigh = static_cast<double>(std::numeric_limits<T>::max()) + 1.0;
    return (p > kLow && p < kHigh) ? static_cast<T>(p) : std::numeric_limits<T>::min();
}

}  // namespace kavri
