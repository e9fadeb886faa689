// The colour ramp of the colour map: dark blue, cyan, green, yellow, orange, red.
#pragma once

#include <cstdint>

namespace kavri {

// Colour 0x00BBGGRR of palette entry i of n (0 <= i < n).
uint32_t cmap_palette_entry(int32_t i, int32_t n);

}  // namespace kavri
