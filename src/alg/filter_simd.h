// Portable SIMD helpers for the filters: GCC vector extensions, so the same
// source compiles to SSE2 on baseline x86-64, to AVX2 in the build the library
// picks at run time (core/isa_clones.h), to Advanced SIMD on arm64, and, on
// 64-byte vectors, to AVX-512 in loops chosen by a run-time check.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/isa_clones.h"

// The vector helpers are always inlined, so the ABI of 32-byte vector
// arguments on baseline x86-64 never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

#define KV_ALWAYS_INLINE inline __attribute__((always_inline))
// Loops written for 64-byte vectors, called only where the library picked
// AVX-512 (checked at run time).
#if defined(__x86_64__) && defined(__GNUC__)
#define KV_HAS_AVX512_LOOPS 1
#define KV_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl"), noinline))
#else
#define KV_HAS_AVX512_LOOPS 0
#endif

namespace kavri::filter {

// 16 lanes of 16 bits: one AVX2 register, two SSE2 registers.
constexpr int kLanes = 16;
using vs16 = int16_t __attribute__((vector_size(32)));
using vu16 = uint16_t __attribute__((vector_size(32)));
// 32 lanes of 16 bits: one AVX-512 register.
using vs16x32 = int16_t __attribute__((vector_size(64)));

// Number of 16-bit lanes of vector type V.
template <typename V>
inline constexpr int lanes_of = static_cast<int>(sizeof(V) / sizeof(int16_t));

// True when the processor runs the 64-byte loops.
bool has_avx512_loops();

// Unsigned 16-bit values are kept biased by 0x8000 in signed lanes inside the
// min/max networks, so every min and max is one instruction even on SSE2.
constexpr int16_t kBias = INT16_MIN;

template <typename V = vs16>
KV_ALWAYS_INLINE V load_raw(const void *p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename V>
KV_ALWAYS_INLINE void store_raw(void *p, V v) {
    std::memcpy(p, &v, sizeof v);
}

template <typename V = vs16>
KV_ALWAYS_INLINE V load_biased(const uint16_t *p) {
    return load_raw<V>(p) ^ kBias;
}
template <typename V>
KV_ALWAYS_INLINE void store_unbiased(uint16_t *p, V v) {
    store_raw(p, v ^ kBias);
}

KV_ALWAYS_INLINE vs16 vmin(vs16 a, vs16 b) {
    return a < b ? a : b;
}
KV_ALWAYS_INLINE vs16 vmax(vs16 a, vs16 b) {
    return a < b ? b : a;
}
KV_ALWAYS_INLINE vs16x32 vmin(vs16x32 a, vs16x32 b) {
    return a < b ? a : b;
}
KV_ALWAYS_INLINE vs16x32 vmax(vs16x32 a, vs16x32 b) {
    return a < b ? b : a;
}

// Scalar twins so that the same network templates also serve the tails.
KV_ALWAYS_INLINE int16_t vmin(int16_t a, int16_t b) {
    return std::min(a, b);
}
KV_ALWAYS_INLINE int16_t vmax(int16_t a, int16_t b) {
    return std::max(a, b);
}

KV_ALWAYS_INLINE int16_t bias(uint16_t v) {
    return static_cast<int16_t>(v ^ 0x8000u);
}
KV_ALWAYS_INLINE uint16_t unbias(int16_t v) {
    return static_cast<uint16_t>(static_cast<uint16_t>(v) ^ 0x8000u);
}

// Compare-exchange: a gets the smaller, b the larger value.
template <typename V>
KV_ALWAYS_INLINE void cswap(V &a, V &b) {
    V lo = vmin(a, b);
    b = vmax(a, b);
    a = lo;
}

}  // namespace kavri::filter
