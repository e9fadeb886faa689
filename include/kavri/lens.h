/*
 * Lens undistortion map: for every output pixel the index of the nearest source
 * pixel under the five-coefficient lens model (k1, k2, p1, p2, k3), or -1 where
 * no source pixel exists. The output camera keeps every source pixel in view.
 * The map record is the caller's: build, update and release it on one thread; once built it may
 * be read by several threads at once (the undistort calls only read it).
 */
#ifndef KAVRI_LENS_H
#define KAVRI_LENS_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Builds the map for param's img_w x img_h; returns img_w * img_h, or 0 (map left
 * invalid, logged) when the size is not positive or memory is short. Only writes
 * the record: whatever it held before is not looked at nor released, so the
 * record may be uncleared; rebuild a built map with kv_calib_len_update_map. */
KAVRI_API int32_t kv_calib_len_init_map(kv_calib_len_map_t *map, const kv_lens_param_t *param);
/* Releases an existing map and builds it again; result as kv_calib_len_init_map. */
KAVRI_API int32_t kv_calib_len_update_map(kv_calib_len_map_t *map, const kv_lens_param_t *param);
/* Releases the map; the record is left invalid. */
KAVRI_API void kv_calib_len_uninit_map(kv_calib_len_map_t *map);

/*
 * dst[i] = src[map[i]], or fill where the map has -1, for i below count (limited
 * to the map's width * height). The source must have the map's size; otherwise
 * the call logs an error and returns 0. On a map that was never built (or could
 * not be) the source is copied unchanged, a warning is logged and 0 returned.
 * dst may overlap src. Returns 1 on success.
 */
KAVRI_API uint8_t kv_calib_len_undistort_u16(const kv_calib_len_map_t *map, uint16_t *dst,
                                             int32_t count, const uint16_t *src, int32_t src_w,
                                             int32_t src_h, int32_t fill);
/* The float form of kv_calib_len_undistort_u16, same rules and result. */
KAVRI_API uint8_t kv_calib_len_undistort_f32(const kv_calib_len_map_t *map, float *dst,
                                             int32_t count, const float *src, int32_t src_w,
                                             int32_t src_h, float fill);

KAVRI_END_DECLS

#endif /* KAVRI_LENS_H */
