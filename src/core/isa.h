// The instruction set the library's vector paths use. The library picks it
// once, the first time any path asks: the best the processor has, capped by
// the KAVRI_MAX_ISA environment variable (baseline, avx2 or avx512 on x86-64;
// baseline or neon on arm64), so that benchmarks and tests can run every path
// on one machine. Every path gives the same bits, so the pick never changes
// a result.
#pragma once

namespace kavri::isa {

// Ordered: a path may use a level's instructions when the picked level is at
// least that high. On arm64 the two levels are kBaseline and kNeon (Advanced
// SIMD is part of every arm64 processor; kBaseline there means the portable
// code instead of the hand-written NEON paths).
enum class Level : int { kBaseline = 0, kAvx2 = 1, kAvx512 = 2, kNeon = 1 };

// The picked level; cheap after the first call, any thread.
Level active();

// The level's name as KAVRI_MAX_ISA spells it.
const char *name(Level level);

}  // namespace kavri::isa
