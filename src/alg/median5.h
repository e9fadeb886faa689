// The 5x5 median behind kv_median2d_u16_k5, with the choice of the 64-byte
// loops open to tests: both loop widths give the same image.
#pragma once

#include <cstdint>

namespace kavri::filter {

// dst and src hold width x height pixels (both at least 2); AVX-512 loops run
// only where allowed and the processor has them.
void median5_u16(uint16_t *dst, const uint16_t *src, int width, int height, bool allow_avx512);

}  // namespace kavri::filter
