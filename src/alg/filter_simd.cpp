// Run-time check for the filters' 64-byte loops.
#include "core/isa.h"
#include "filter_simd.h"

namespace kavri::filter {

bool has_avx512_loops() {
#if KV_HAS_AVX512_LOOPS
    return isa::active() >= isa::Level::kAvx512;
#else
    return false;
#endif
}

}  // namespace kavri::filter
