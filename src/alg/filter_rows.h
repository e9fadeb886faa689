// Row-walking helpers of the SIMD filters: rows are cut into chunks that fit
// small stack buffers, and each chunk is covered by whole vectors, the last
// one overlapping its predecessor (the filters are pure, so recomputing a
// few pixels is harmless).
#pragma once

#include <algorithm>

#include "filter_simd.h"

namespace kavri::filter {

// Columns per chunk: the per-chunk buffers stay in the L1 cache.
constexpr int kChunk = 512;

// Length of the chunk starting at x0: at most kChunk, and never leaving a
// remainder shorter than one vector of `lanes` when the row is at least that
// wide.
template <int lanes = kLanes>
KV_ALWAYS_INLINE int chunk_len(int x0, int width) {
    int n = std::min(kChunk, width - x0);
    const int rest = width - x0 - n;
    if (rest > 0 && rest < lanes) n -= lanes;
    return n;
}

// Start of the vector after the one at i when covering [0, count), or -1 at
// the end; count must be at least `lanes`.
template <int lanes = kLanes>
KV_ALWAYS_INLINE int next_vector(int i, int count) {
    if (i + lanes >= count) return -1;
    return std::min(i + lanes, count - lanes);
}

}  // namespace kavri::filter
