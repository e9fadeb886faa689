// 5x5 median. Every column of the window is sorted once and shared by the
// five outputs that use it. With the columns sorted, sorting the five values
// of each rank across the columns would give a 5x5 table sorted along both
// axes, in which the 13th smallest value can only sit at 13 positions (six
// values are certainly below it and six above). Only the needed outputs of
// those rank sorts are computed, then the median of the 13 candidates.
#include <cstdint>

#include "filter_common.h"
#include "filter_network.h"
#include "filter_rows.h"
#include "filter_simd.h"
#include "kavri/filter.h"

namespace kavri::filter {
namespace {

constexpr int kSize = 5;
constexpr int kCandidates = 13;

constexpr uint32_t bits(std::initializer_list<int> positions) {
    uint32_t m = 0;
    for (int p : positions) m |= 1u << p;
    return m;
}

inline constexpr net::Network kSortColumn = net::batcher_sort(kSize);
// Per rank of the sorted columns: which sorted positions across the five
// columns can still be the median.
inline constexpr net::Network kRank0 = net::selector(kSize, bits({3, 4}));
inline constexpr net::Network kRank1 = net::selector(kSize, bits({2, 3, 4}));
inline constexpr net::Network kRank2 = net::selector(kSize, bits({1, 2, 3}));
inline constexpr net::Network kRank3 = net::selector(kSize, bits({0, 1, 2}));
inline constexpr net::Network kRank4 = net::selector(kSize, bits({0, 1}));
inline constexpr net::Network kMedian13 = net::selector(kCandidates, bits({6}));

// s[r][k]: rank r (0 smallest) of window column k. Returns the 13th smallest.
template <typename V>
KV_ALWAYS_INLINE V median_from_columns(V (&s)[kSize][kSize]) {
    net::run<kRank0>(s[0]);
    net::run<kRank1>(s[1]);
    net::run<kRank2>(s[2]);
    net::run<kRank3>(s[3]);
    net::run<kRank4>(s[4]);
    V c[kCandidates] = {s[0][3], s[0][4], s[1][2], s[1][3], s[1][4], s[2][1], s[2][2],
                        s[2][3], s[3][0], s[3][1], s[3][2], s[4][0], s[4][1]};
    net::run<kMedian13>(c);
    return c[6];
}

// Rows at least one vector wide.
KV_TARGET_CLONES void median5_row_wide(uint16_t *out, const uint16_t *const *rows, int width) {
    // Sorted columns of the chunk: sorted[r][j] is rank r of column x0 - 2 + j.
    alignas(32) int16_t sorted[kSize][kChunk + 4];
    for (int x0 = 0; x0 < width;) {
        const int n = chunk_len(x0, width);
        const int jb = x0 == 0 ? 2 : 0;
        const int je = x0 + n == width ? n + 2 : n + 4;
        const int cnt = je - jb;
        const int col0 = x0 - 2 + jb;
        for (int i = 0; i >= 0; i = next_vector(i, cnt)) {
            vs16 v[kSize];
            for (int r = 0; r < kSize; ++r) v[r] = load_biased(rows[r] + col0 + i);
            net::run<kSortColumn>(v);
            for (int r = 0; r < kSize; ++r) store_raw(&sorted[r][jb + i], v[r]);
        }
        for (int r = 0; r < kSize; ++r) {
            if (jb == 2) sorted[r][0] = sorted[r][1] = sorted[r][2];
            if (je == n + 2) sorted[r][n + 2] = sorted[r][n + 3] = sorted[r][n + 1];
        }
        for (int i = 0; i >= 0; i = next_vector(i, n)) {
            vs16 s[kSize][kSize];
            for (int r = 0; r < kSize; ++r)
                for (int k = 0; k < kSize; ++k) s[r][k] = load_raw(&sorted[r][i + k]);
            store_unbiased(out + x0 + i, median_from_columns(s));
        }
        x0 += n;
    }
}

// Rows narrower than a vector: the same networks one pixel at a time.
void median5_row_narrow(uint16_t *out, const uint16_t *const *rows, int width) {
    int16_t sorted[kLanes + 4][kSize];
    for (int j = 0; j < width + 4; ++j) {
        const int x = clamp_index(j - 2, width);
        for (int r = 0; r < kSize; ++r) sorted[j][r] = bias(rows[r][x]);
        net::run<kSortColumn>(sorted[j]);
    }
    for (int x = 0; x < width; ++x) {
        int16_t s[kSize][kSize];
        for (int r = 0; r < kSize; ++r)
            for (int k = 0; k < kSize; ++k) s[r][k] = sorted[x + k][r];
        out[x] = unbias(median_from_columns(s));
    }
}

}  // namespace
}  // namespace kavri::filter

extern "C" KAVRI_API void kv_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width,
                                             int height) {
    using namespace kavri::filter;
    if (!check_size(__func__, dst, src, width, height)) return;
    for (int y = 0; y < height; ++y) {
        const uint16_t *rows[kSize];
        for (int r = 0; r < kSize; ++r) rows[r] = clamped_row(src, y - 2 + r, width, height);
        uint16_t *out = dst + static_cast<size_t>(y) * static_cast<size_t>(width);
        if (width >= kLanes) {
            median5_row_wide(out, rows, width);
        } else {
            median5_row_narrow(out, rows, width);
        }
    }
}
