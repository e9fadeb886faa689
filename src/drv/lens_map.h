// The lens undistortion map as the chip driver builds and applies it. Each
// call is the exported one with the "kv_" prefix dropped, with the same
// checks, results and messages (which name the exported call); the driver
// calls these, never the exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/lens.h"

namespace kavri::lens {

int32_t calib_len_init_map(kv_calib_len_map_t *map, const kv_lens_param_t *param);
int32_t calib_len_update_map(kv_calib_len_map_t *map, const kv_lens_param_t *param);
void calib_len_uninit_map(kv_calib_len_map_t *map);
uint8_t calib_len_undistort_u16(const kv_calib_len_map_t *map, uint16_t *dst, int32_t count,
                                const uint16_t *src, int32_t src_w, int32_t src_h, int32_t fill);

}  // namespace kavri::lens
