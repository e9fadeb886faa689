// Compile-time selection networks: Batcher's odd-even merge sort, pruned to
// the outputs a filter needs, executed as straight-line min/max code on
// scalars or SIMD vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "filter_simd.h"

namespace kavri::filter::net {

// One compare-exchange: position lo receives the smaller value, hi the
// larger; an output nobody reads afterwards is not computed.
struct Comparator {
    int8_t lo = 0;
    int8_t hi = 0;
    bool keep_min = true;
    bool keep_max = true;
};

constexpr int kMaxInputs = 32;
constexpr int kMaxComparators = 256;

struct Network {
    Comparator c[kMaxComparators]{};
    int size = 0;
};

// Sorting network for n inputs: Batcher's network for the next power of two
// with the missing inputs taken as +infinity, which makes every comparator
// that touches them a no-op.
constexpr Network batcher_sort(int n) {
    Network net;
    int p2 = 1;
    while (p2 < n) p2 <<= 1;
    for (int p = 1; p < p2; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < p2; j += 2 * k) {
                for (int i = 0; i < k && i + j + k < p2; ++i) {
                    const int a = i + j;
                    const int b = i + j + k;
                    if (a / (2 * p) == b / (2 * p) && b < n) {
                        net.c[net.size++] = {static_cast<int8_t>(a), static_cast<int8_t>(b), true,
                                             true};
                    }
                }
            }
        }
    }
    return net;
}

// Keeps only the comparators whose results reach one of the wanted output
// positions (bit i of `wanted` = sorted position i).
constexpr Network prune(const Network &full, uint32_t wanted) {
    Network rev;
    uint32_t live = wanted;
    for (int k = full.size - 1; k >= 0; --k) {
        Comparator cmp = full.c[k];
        const bool need_lo = (live >> cmp.lo) & 1u;
        const bool need_hi = (live >> cmp.hi) & 1u;
        if (!need_lo && !need_hi) continue;
        cmp.keep_min = need_lo;
        cmp.keep_max = need_hi;
        live |= (1u << cmp.lo) | (1u << cmp.hi);
        rev.c[rev.size++] = cmp;
    }
    Network out;
    for (int k = rev.size - 1; k >= 0; --k) out.c[out.size++] = rev.c[k];
    return out;
}

constexpr Network selector(int n, uint32_t wanted) {
    return prune(batcher_sort(n), wanted);
}

// The comparators of `net` with positions renamed through map[old] = new.
constexpr Network remap(const Network &net, const int8_t *map) {
    Network out = net;
    for (int k = 0; k < out.size; ++k) {
        out.c[k].lo = map[net.c[k].lo];
        out.c[k].hi = map[net.c[k].hi];
    }
    return out;
}

// `a` followed by `b`.
constexpr Network concat(const Network &a, const Network &b) {
    Network out = a;
    for (int k = 0; k < b.size; ++k) out.c[out.size++] = b.c[k];
    return out;
}

// Drops the comparators that can never exchange anything when the inputs
// form `cols` ascending chains of `rows` values (position r * cols + k holds
// rank r of chain k), as sorted window columns do. By the 0-1 principle it
// suffices to try every 0-1 input of that shape: a comparator that swaps
// some input also swaps the 0-1 input cut at the larger value. The inputs are
// simulated 64 at a time, one bit each, to stay within compile-time limits.
constexpr Network drop_redundant_for_sorted_chains(const Network &net, int rows, int cols) {
    constexpr int kBatch = 64;
    int total = 1;  // each chain has rows + 1 possible numbers of zeros
    for (int k = 0; k < cols; ++k) total *= rows + 1;
    bool used[kMaxComparators]{};
    for (int first = 0; first < total; first += kBatch) {
        uint64_t word[kMaxInputs]{};  // bit t: value of input first + t
        for (int t = 0; t < kBatch && first + t < total; ++t) {
            int code = first + t;
            for (int k = 0; k < cols; ++k) {
                const int zeros = code % (rows + 1);
                code /= rows + 1;
                for (int r = zeros; r < rows; ++r) word[r * cols + k] |= uint64_t{1} << t;
            }
        }
        for (int i = 0; i < net.size; ++i) {
            uint64_t &lo = word[net.c[i].lo];
            uint64_t &hi = word[net.c[i].hi];
            if ((lo & ~hi) != 0) used[i] = true;
            const uint64_t mn = lo & hi;
            hi = lo | hi;
            lo = mn;
        }
    }
    Network out;
    for (int i = 0; i < net.size; ++i)
        if (used[i]) out.c[out.size++] = net.c[i];
    return out;
}

// Number of min or max operations the network executes.
constexpr int op_count(const Network &net) {
    int ops = 0;
    for (int k = 0; k < net.size; ++k) ops += int(net.c[k].keep_min) + int(net.c[k].keep_max);
    return ops;
}

template <Comparator C, typename V>
KV_ALWAYS_INLINE void apply(V *v) {
    if constexpr (C.keep_min && C.keep_max) {
        cswap(v[C.lo], v[C.hi]);
    } else if constexpr (C.keep_min) {
        v[C.lo] = vmin(v[C.lo], v[C.hi]);
    } else {
        v[C.hi] = vmax(v[C.lo], v[C.hi]);
    }
}

template <const Network &N, typename V, size_t... I>
KV_ALWAYS_INLINE void run_impl(V *v, std::index_sequence<I...>) {
    (apply<N.c[I]>(v), ...);
}

// Runs network N in place on v[0 .. n-1].
template <const Network &N, typename V>
KV_ALWAYS_INLINE void run(V *v) {
    run_impl<N>(v, std::make_index_sequence<static_cast<size_t>(N.size)>{});
}

}  // namespace kavri::filter::net
