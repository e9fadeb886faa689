// The image filters the chip drivers and the other filters run. Each is the
// exported call with the "kv_" prefix dropped, with the same checks, results
// and messages (which name the exported call); the library calls these,
// never the exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/filter.h"

namespace kavri::filter {

void median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
void median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height);
void gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
void flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height, uint32_t threshold);
void fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height, int recursive);
void bpf2d_iir_uninit(kv_bpf2d_iir_t *bpf);

}  // namespace kavri::filter
