// Run-time check for the filters' 64-byte loops.
#include "filter_simd.h"

namespace kavri::filter {

bool has_avx512_loops() {
#if KV_HAS_AVX512_LOOPS
    static const bool has = __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl");
    return has;
#else
    return false;
#endif
}

}  // namespace kavri::filter
