// One function built for each instruction set, and a dispatcher that calls
// the build the library picked (core/isa.h). The processor's own load-time
// pick (target_clones) cannot be capped for a test and runs before
// ThreadSanitizer is up; this one is an ordinary branch on a value read once.
//
//   KV_ISA_CLONES(void, scale, (float *d, const float *s, size_t n), (d, s, n)) {
//       for (size_t i = 0; i < n; ++i) d[i] = s[i] * 2.0f;
//   }
//
// defines scale() (with whatever storage class precedes the macro) over the
// body that follows it. Extra arguments are optimisation options for the
// builds (GCC's optimize attribute), e.g. "no-trapping-math". The body is
// compiled without a multiply-add ever being fused (the library is built with
// -ffp-contract=off), so every build gives the same bits.
#pragma once

#include "core/isa.h"

#if defined(__clang__)
#define KV_ISA_OPTIMIZE(...)
#else
// One optimize attribute with every option: a second one would replace the
// first and drop the vectoriser's level.
#define KV_ISA_OPTIMIZE(...) __attribute__((optimize("O3" __VA_OPT__(, ) __VA_ARGS__)))
#endif

#define KV_ISA_BODY_DECL(ret, name, params) \
    static inline __attribute__((always_inline)) ret name##_body params

#if defined(__x86_64__)
#define KV_ISA_CLONES(ret, name, params, args, ...)                                              \
    ret name params;                                                                             \
    KV_ISA_BODY_DECL(ret, name, params);                                                         \
    __attribute__((target("arch=x86-64-v4"), noinline))                                          \
    KV_ISA_OPTIMIZE(__VA_ARGS__) static ret name##_clone_v4 params {                             \
        return name##_body args;                                                                 \
    }                                                                                            \
    __attribute__((target("avx2"), noinline))                                                    \
    KV_ISA_OPTIMIZE(__VA_ARGS__) static ret name##_clone_avx2 params {                           \
        return name##_body args;                                                                 \
    }                                                                                            \
    __attribute__((noinline)) KV_ISA_OPTIMIZE(__VA_ARGS__) static ret name##_clone_base params { \
        return name##_body args;                                                                 \
    }                                                                                            \
    ret name params {                                                                            \
        switch (::kavri::isa::active()) {                                                        \
            case ::kavri::isa::Level::kAvx512:                                                   \
                return name##_clone_v4 args;                                                     \
            case ::kavri::isa::Level::kAvx2:                                                     \
                return name##_clone_avx2 args;                                                   \
            default:                                                                             \
                return name##_clone_base args;                                                   \
        }                                                                                        \
    }                                                                                            \
    KV_ISA_BODY_DECL(ret, name, params)
#else
// Elsewhere the baseline carries the vectors (Advanced SIMD on arm64): one
// build.
#define KV_ISA_CLONES(ret, name, params, args, ...) \
    ret name params;                                \
    KV_ISA_BODY_DECL(ret, name, params);            \
    KV_ISA_OPTIMIZE(__VA_ARGS__) ret name params {  \
        return name##_body args;                    \
    }                                               \
    KV_ISA_BODY_DECL(ret, name, params)
#endif
