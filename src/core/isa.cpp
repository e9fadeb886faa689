// Picks the instruction set once: what the processor reports, capped by
// KAVRI_MAX_ISA.
#include "core/isa.h"

#include <cstdlib>
#include <cstring>

#include "core/log_internal.h"
#include "kavri/init.h"

namespace kavri::isa {
namespace {

constexpr const char *kEnvCap = "KAVRI_MAX_ISA";

Level best_of_processor() {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer's builds are there to check the threads; the other
    // builds check every vector path. Its instrumentation of the wide loops
    // slows a decode so much that two simulated cameras no longer get their
    // commands answered in time on a busy machine.
    return Level::kBaseline;
#elif defined(__x86_64__)
    __builtin_cpu_init();
    const bool v3 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi2");
    // The AVX-512 paths are built for x86-64-v4: F, BW, VL, DQ and CD.
    const bool v4 = v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                    __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512cd");
    if (v4) return Level::kAvx512;
    // The AVX2 paths use fused multiply-adds where they give the same bits
    // (table polynomials checked exhaustively); every AVX2 processor has FMA.
    if (v3) return Level::kAvx2;
    return Level::kBaseline;
#elif defined(__aarch64__)
    return Level::kNeon;
#else
    return Level::kBaseline;
#endif
}

// The cap the environment asks for; no cap when it is unset or unknown
// (unknown is logged: a benchmark that meant to force a path must not
// silently measure another).
Level cap_of_environment(Level best) {
    const char *want = std::getenv(kEnvCap);
    if (want == nullptr || *want == '\0') return best;
    struct Known {
        const char *name;
        Level level;
    };
#if defined(__aarch64__)
    static constexpr Known kKnown[] = {{"baseline", Level::kBaseline}, {"neon", Level::kNeon}};
#else
    static constexpr Known kKnown[] = {
        {"baseline", Level::kBaseline}, {"avx2", Level::kAvx2}, {"avx512", Level::kAvx512}};
#endif
    for (const Known &k : kKnown) {
        if (std::strcmp(want, k.name) == 0) return k.level < best ? k.level : best;
    }
    KV_WRN("%s=%s is not an instruction set of this processor's family; using %s\n", kEnvCap, want,
           name(best));
    return best;
}

Level pick() {
    return cap_of_environment(best_of_processor());
}

}  // namespace

Level active() {
    static const Level picked = pick();
    return picked;
}

const char *name(Level level) {
    if (level == Level::kBaseline) return "baseline";
#if defined(__aarch64__)
    return "neon";
#else
    return level == Level::kAvx2 ? "avx2" : "avx512";
#endif
}

}  // namespace kavri::isa

extern "C" KAVRI_API const char *kavri_get_isa(void) {
    return kavri::isa::name(kavri::isa::active());
}
