#include "alg/cmap_palette.h"

namespace kavri {
namespace {

constexpr double kFull = 255.0;

// A sloped segment: evaluated in double, rounded to single precision, truncated,
// low 8 bits kept.
uint32_t channel_level(double value) {
    const auto rounded = static_cast<float>(value);
    return static_cast<uint32_t>(static_cast<int32_t>(rounded)) & 0xFFu;
}

// Each channel rises, stays at full, then falls; intervals closed left, open right.
uint32_t red_level(double x) {
    if (x >= 0.125 && x < 0.375) return channel_level((x - 0.125) * kFull * 4.0);
    if (x >= 0.375 && x < 0.625) return 255u;
    if (x >= 0.625 && x < 1.125) return channel_level((x - 0.625) * -kFull * 2.0 + kFull);
    return 0u;
}

uint32_t green_level(double x) {
    if (x >= -0.125 && x < 0.125) return channel_level((x + 0.125) * kFull * 4.0);
    if (x >= 0.125 && x < 0.375) return 255u;
    // The fall is slower than the rise: it spans 0.375 instead of 0.25.
    if (x >= 0.375 && x < 0.75) return channel_level(((x - 0.375) * -kFull) / 0.375 + kFull);
    return 0u;
}

uint32_t blue_level(double x) {
    if (x >= -0.375 && x < -0.125) return channel_level((x + 0.375) * kFull * 4.0);
    if (x >= -0.125 && x < 0.125) return 255u;
    if (x >= 0.125 && x < 0.375) return channel_level((x - 0.125) * -kFull * 4.0 + kFull);
    return 0u;
}

}  // namespace

uint32_t cmap_palette_entry(int32_t i, int32_t n) {
    // x runs from -0.25 to just under 0.75, rounded once to single precision.
    const double ratio =
        static_cast<double>(static_cast<float>(i)) / static_cast<double>(static_cast<float>(n));
    const double x = static_cast<float>(ratio - 0.25);
    return red_level(x) | (green_level(x) << 8) | (blue_level(x) << 16);
}

}  // namespace kavri
