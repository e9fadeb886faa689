/* Type conversions and fixed-point math. */
#ifndef KAVRI_KVMATH_H
#define KAVRI_KVMATH_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/*
 * Element-wise conversions, destination first, count elements of caller-owned arrays;
 * nothing is done for count <= 0 or a NULL array. They take no lock and keep no state.
 * Float-to-integer conversions truncate the product toward zero into a signed
 * intermediate (16-bit for the 8-bit output, 32-bit otherwise) and keep its low
 * bits; a product out of the intermediate's range or not a number gives the
 * intermediate's most negative value, whose low bits are 0.
 */
/* dst = src >> (shift & 31), low 8 bits. */
KAVRI_API void kv_conv_u16_u8(uint8_t *dst, const uint16_t *src, int32_t count, uint32_t shift);
/* dst = src * scale, the exact product rounded once to float. */
KAVRI_API void kv_conv_u16_f32(float *dst, const uint16_t *src, int32_t count, float scale);
/* dst = src * (scale & 0xFFFF), a 32-bit product. */
KAVRI_API void kv_conv_u16_u32(uint32_t *dst, const uint16_t *src, int32_t count, uint32_t scale);
/* dst = the low 8 bits of src * scale truncated into a 16-bit intermediate. */
KAVRI_API void kv_conv_f32_u8(uint8_t *dst, const float *src, int32_t count, float scale);
/* dst = the low 16 bits of src * scale truncated into a 32-bit intermediate. */
KAVRI_API void kv_conv_f32_u16(uint16_t *dst, const float *src, int32_t count, float scale);
/* Keeps only the low 16 bits of the truncated product, zero-extended. */
KAVRI_API void kv_conv_f32_u32(uint32_t *dst, const float *src, int32_t count, float scale);

/* Phase angle units: 32768 per full turn. */
#define KV_MATH_ANGLE_FULL_TURN 32768
#define KV_MATH_ATAN2_LUT_NUM 4096

/* Angle of the vector (b, a), i.e. atan2(a, b), in 0..32767 units of 2*pi/32768,
 * from a 4096-entry table. Exact for |a|, |b| < 2^19; defined for every input. */
KAVRI_API int32_t kv_math_atan2_i32(int32_t a, int32_t b);
/* Square root by a bit trick and two Newton steps. */
KAVRI_API float kv_math_sqrtf(float x);
/* Inverse square root by a bit trick and one Newton step. */
KAVRI_API float kv_math_inv_sqrtf(float x);
/* Prints the source text of the atan2 table with n entries on standard output;
 * returns the result of the last output call. */
KAVRI_API int32_t kv_math_lut_print_arctan2(int32_t n);

KAVRI_END_DECLS

#endif /* KAVRI_KVMATH_H */
