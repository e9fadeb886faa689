// 5x5 median. Every column of the window is sorted once and shared by the
// five outputs that use it. With the columns sorted, sorting the five values
// of each rank across the columns would give a 5x5 table sorted along both
// axes, in which the 13th smallest value can only sit at 13 positions (six
// values are certainly below it and six above). Only the needed outputs of
// those rank sorts are computed, then the median of the 13 candidates; the
// comparators that the sorted columns leave idle are removed at compile time.
#include <cstdint>

#include "filter_common.h"
#include "filter_network.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "median5.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

constexpr int kSize = 5;
constexpr int kCandidates = 13;

constexpr uint32_t bits(std::initializer_list<int> positions) {
    uint32_t m = 0;
    for (int p : positions) m |= 1u << p;
    return m;
}

// Window values after the column sort: v[r * kSize + k] is rank r of column k.
constexpr int at(int rank, int col) {
    return rank * kSize + col;
}

inline constexpr net::Network kSortColumn = net::batcher_sort(kSize);

// The 13 candidate positions, in rank order.
constexpr int8_t kCandidatePos[kCandidates] = {at(0, 3), at(0, 4), at(1, 2), at(1, 3), at(1, 4),
                                               at(2, 1), at(2, 2), at(2, 3), at(3, 0), at(3, 1),
                                               at(3, 2), at(4, 0), at(4, 1)};
constexpr int kMedianPos = kCandidatePos[kCandidates / 2];

// Selection on the five values of one rank across the columns, keeping the
// sorted positions `wanted`.
constexpr net::Network rank_selector(int rank, uint32_t wanted) {
    int8_t map[kSize]{};
    for (int k = 0; k < kSize; ++k) map[k] = static_cast<int8_t>(at(rank, k));
    return net::remap(net::selector(kSize, wanted), map);
}

// Everything after the column sort as one network on the 25 window values:
// per rank the positions that can still be the median, then the median of
// the 13 candidates; comparators that sorted columns make idle are dropped.
constexpr net::Network median_network() {
    net::Network all = rank_selector(0, bits({3, 4}));
    all = net::concat(all, rank_selector(1, bits({2, 3, 4})));
    all = net::concat(all, rank_selector(2, bits({1, 2, 3})));
    all = net::concat(all, rank_selector(3, bits({0, 1, 2})));
    all = net::concat(all, rank_selector(4, bits({0, 1})));
    all = net::concat(
        all, net::remap(net::selector(kCandidates, bits({kCandidates / 2})), kCandidatePos));
    all = net::prune(all, 1u << kMedianPos);
    all = net::drop_redundant_for_sorted_chains(all, kSize, kSize);
    return net::prune(all, 1u << kMedianPos);
}

inline constexpr net::Network kMedian = median_network();
static_assert(net::op_count(kMedian) <= 120, "median network larger than expected");

// v: the window after the column sort (see at()). Returns the 13th smallest.
template <typename V>
KV_ALWAYS_INLINE V median_from_columns(V (&v)[kSize * kSize]) {
    net::run<kMedian>(v);
    return v[kMedianPos];
}

// Rows at least one vector of V wide.
template <typename V>
KV_ALWAYS_INLINE void median5_row_vectors(uint16_t *out, const uint16_t *const *rows, int width) {
    constexpr int kL = lanes_of<V>;
    // Sorted columns of the chunk: sorted[r][j] is rank r of column x0 - 2 + j.
    alignas(64) int16_t sorted[kSize][kChunk + 4];
    for (int x0 = 0; x0 < width;) {
        const int n = chunk_len<kL>(x0, width);
        const int jb = x0 == 0 ? 2 : 0;
        const int je = x0 + n == width ? n + 2 : n + 4;
        const int cnt = je - jb;
        const int col0 = x0 - 2 + jb;
        for (int i = 0; i >= 0; i = next_vector<kL>(i, cnt)) {
            V v[kSize];
            for (int r = 0; r < kSize; ++r) v[r] = load_biased<V>(rows[r] + col0 + i);
            net::run<kSortColumn>(v);
            for (int r = 0; r < kSize; ++r) store_raw(&sorted[r][jb + i], v[r]);
        }
        for (int r = 0; r < kSize; ++r) {
            if (jb == 2) sorted[r][0] = sorted[r][1] = sorted[r][2];
            if (je == n + 2) sorted[r][n + 2] = sorted[r][n + 3] = sorted[r][n + 1];
        }
        for (int i = 0; i >= 0; i = next_vector<kL>(i, n)) {
            V v[kSize * kSize];
            for (int r = 0; r < kSize; ++r)
                for (int k = 0; k < kSize; ++k) v[at(r, k)] = load_raw<V>(&sorted[r][i + k]);
            store_unbiased(out + x0 + i, median_from_columns(v));
        }
        x0 += n;
    }
}

KV_ISA_CLONES(void, median5_row_wide, (uint16_t * out, const uint16_t *const *rows, int width),
              (out, rows, width)) {
    median5_row_vectors<vs16>(out, rows, width);
}

#if KV_HAS_AVX512_LOOPS
KV_TARGET_AVX512 void median5_row_avx512(uint16_t *out, const uint16_t *const *rows, int width) {
    median5_row_vectors<vs16x32>(out, rows, width);
}
#endif

// Rows narrower than a vector: the same networks one pixel at a time.
void median5_row_narrow(uint16_t *out, const uint16_t *const *rows, int width) {
    int16_t sorted[kLanes + 4][kSize];
    for (int j = 0; j < width + 4; ++j) {
        const int x = clamp_index(j - 2, width);
        for (int r = 0; r < kSize; ++r) sorted[j][r] = bias(rows[r][x]);
        net::run<kSortColumn>(sorted[j]);
    }
    for (int x = 0; x < width; ++x) {
        int16_t v[kSize * kSize];
        for (int r = 0; r < kSize; ++r)
            for (int k = 0; k < kSize; ++k) v[at(r, k)] = sorted[x + k][r];
        out[x] = unbias(median_from_columns(v));
    }
}

}  // namespace

void median5_u16(uint16_t *dst, const uint16_t *src, int width, int height, bool allow_avx512) {
    [[maybe_unused]] const bool avx512 =
        KV_HAS_AVX512_LOOPS && allow_avx512 && width >= lanes_of<vs16x32> && has_avx512_loops();
    for (int y = 0; y < height; ++y) {
        const uint16_t *rows[kSize];
        for (int r = 0; r < kSize; ++r) rows[r] = clamped_row(src, y - 2 + r, width, height);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
#if KV_HAS_AVX512_LOOPS
        if (avx512) {
            median5_row_avx512(out, rows, width);
            continue;
        }
#endif
        if (width >= kLanes) {
            median5_row_wide(out, rows, width);
        } else {
            median5_row_narrow(out, rows, width);
        }
    }
}

}  // namespace kavri::filter

void kavri::filter::median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (!check_size("kv_median2d_u16_k5", dst, src, width, height)) return;
    median5_u16(dst, src, width, height, true);
}

extern "C" KAVRI_API void kv_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width,
                                             int height) {
    kavri::filter::median2d_u16_k5(dst, src, width, height);
}
