// The data checksum helpers against a word-by-word sum, at every length and
// misalignment the vector loop and its tail can meet. CTest runs this program
// once per instruction set (KAVRI_MAX_ISA), so every build of the loop is
// held to the same answers.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/le.h"
#include "stream/stream_hdr.h"

namespace {

constexpr size_t kMaxShift = 8;
constexpr size_t kGuard = 64;  // bytes after the copy that must stay untouched
constexpr uint8_t kGuardByte = 0xA5;

uint32_t reference_sum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) sum += kavri::le::get_u32(p + i);
    return sum;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(rng());
    return v;
}

// Lengths around the loop's 256-byte stride, and the stream's own.
std::vector<size_t> lengths() {
    std::vector<size_t> n;
    for (size_t i = 0; i <= 1100; ++i) n.push_back(i);
    for (size_t big : {4095u, 4096u, 4097u, 16384u, 65539u, 153564u, 153600u}) n.push_back(big);
    return n;
}

TEST(StreamSum, SumMatchesWordByWordSum) {
    const auto src = random_bytes(153600 + kMaxShift, 1);
    for (size_t shift = 0; shift < kMaxShift; ++shift)
        for (size_t n : lengths())
            ASSERT_EQ(kavri::stream::sum_le_words(src.data() + shift, n),
                      reference_sum(src.data() + shift, n))
                << "shift " << shift << " length " << n;
}

TEST(StreamSum, CopyAndSumCopiesExactlyAndSums) {
    const auto src = random_bytes(153600 + kMaxShift, 2);
    std::vector<uint8_t> dst(153600 + kMaxShift + kGuard);
    for (size_t shift = 0; shift < kMaxShift; ++shift) {
        for (size_t n : lengths()) {
            const size_t at = (shift * 3) % kMaxShift;  // destination misaligned differently
            std::fill(dst.begin(), dst.end(), kGuardByte);
            const uint32_t sum =
                kavri::stream::copy_and_sum_le_words(dst.data() + at, src.data() + shift, n);
            ASSERT_EQ(sum, reference_sum(src.data() + shift, n))
                << "shift " << shift << " length " << n;
            ASSERT_TRUE(std::equal(src.begin() + shift, src.begin() + shift + n, dst.begin() + at))
                << "shift " << shift << " length " << n;
            for (size_t i = 0; i < at; ++i) ASSERT_EQ(dst[i], kGuardByte);
            for (size_t i = at + n; i < at + n + kGuard; ++i) ASSERT_EQ(dst[i], kGuardByte);
        }
    }
}

}  // namespace
