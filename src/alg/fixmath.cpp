// Exported fixed-point atan2 and fast square roots.
#include "alg/fixmath.h"

#include "kavri/kvmath.h"

static_assert(KV_MATH_ATAN2_LUT_NUM == kavri::kAtan2LutSize);

extern "C" {

KAVRI_API int32_t kv_math_atan2_i32(int32_t a, int32_t b) {
    return kavri::atan2_phase(a, b);
}

KAVRI_API float kv_math_sqrtf(float x) {
    return kavri::fast_sqrtf(x);
}

KAVRI_API float kv_math_inv_sqrtf(float x) {
    return kavri::fast_inv_sqrtf(x);
}

}  // extern "C"
