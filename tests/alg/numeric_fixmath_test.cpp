// Fixed-point atan2 with its built-in table, the fast square roots, the table printer.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "alg/fixmath.h"
#include "core/isa.h"
#include "kavri/kvmath.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string print_table(int32_t n, int32_t *result = nullptr) {
    testing::internal::CaptureStdout();
    const int32_t r = kv_math_lut_print_arctan2(n);
    std::fflush(stdout);
    if (result != nullptr) *result = r;
    return testing::internal::GetCapturedStdout();
}

std::vector<unsigned> table_values(const std::string &text) {
    const auto open = text.find('{');
    const auto close = text.rfind('}');
    std::vector<unsigned> values;
    const std::string body = text.substr(open + 1, close - open - 1);
    const std::regex number("[0-9]+");
    for (auto it = std::sregex_iterator(body.begin(), body.end(), number);
         it != std::sregex_iterator(); ++it) {
        values.push_back(static_cast<unsigned>(std::stoul(it->str())));
    }
    return values;
}

// The table algorithm in its original 32-bit form, for inputs below 2^19.
int32_t atan2_reference_32bit(int32_t a, int32_t b) {
    if (a == 0) return b >= 0 ? 0 : 16384;
    int32_t c = 0;
    if (a > 0) {
        if (b <= 0) {
            c = 8192;
            const int32_t t = -b;
            b = a;
            a = t;
        }
    } else {
        a = -a;
        b = -b;
        c = 16384;
        if (b <= 0) {
            c = 24576;
            const int32_t t = -b;
            b = a;
            a = t;
        }
    }
    if (a >= b) {
        c += 4096;
        const int32_t t = a - b;
        b = a + b;
        a = t;
    }
    return c + kavri::g_atan2_LUT[(a * 4096) / b];
}

TEST(Atan2, BuiltInTableIsWhatThePrinterPrintsFor4096) {
    int32_t result = 0;
    const std::string text = print_table(4096, &result);
    EXPECT_EQ(text.rfind("#define ARCTAN2_LUT_NUM 4096\n"
                         "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n",
                         0),
              0u);
    EXPECT_EQ(text.substr(text.size() - 8), "\n    };\n");  // 4096 is a multiple of 16
    EXPECT_EQ(result, 3);
    const auto values = table_values(text);
    ASSERT_EQ(values.size(), 4096u);
    for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], kavri::g_atan2_LUT[i]) << i;
    EXPECT_EQ(kavri::g_atan2_LUT[0], 0);
    EXPECT_EQ(kavri::g_atan2_LUT[4095], 4096);
}

TEST(Atan2, PrinterLayoutForSmallTables) {
    EXPECT_EQ(print_table(16),
              "#define ARCTAN2_LUT_NUM 16\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n"
              "0, 347, 691, 1029, 1359, 1678, 1984, 2277, 2555, 2818, 3067, 3300, 3519, 3724, "
              "3916, 4096, \n    };\n");
    EXPECT_EQ(print_table(0),
              "#define ARCTAN2_LUT_NUM 0\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");
    EXPECT_EQ(print_table(2),
              "#define ARCTAN2_LUT_NUM 2\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n0, 4096, \n};\n");
    const std::string seventeen = print_table(17);
    EXPECT_NE(seventeen.find("3928, \n    4096, \n};\n"), std::string::npos) << seventeen;
}

TEST(Atan2, EdgeValues) {
    struct Case {
        int32_t a, b, angle;
    };
    const Case cases[] = {{0, 5, 0},      {0, -5, 16384}, {1, 1, 4096},    {1, 0, 8192},
                          {0, 0, 0},      {-1, 0, 24576}, {-1, -1, 20480}, {1, -1, 12288},
                          {0, -1, 16384}, {5, 0, 8192},   {-5, 0, 24576}};
    for (const auto &c : cases)
        EXPECT_EQ(kv_math_atan2_i32(c.a, c.b), c.angle) << c.a << "," << c.b;
}

TEST(Atan2, EqualsTheThirtyTwoBitTableAlgorithmBelowTwoToTheNineteen) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int32_t> wide(-(1 << 19) + 1, (1 << 19) - 1);
    std::uniform_int_distribution<int32_t> narrow(-4096, 4096);
    for (int i = 0; i < 200000; ++i) {
        const int32_t a = (i & 1) ? wide(rng) : narrow(rng);
        const int32_t b = (i & 2) ? wide(rng) : narrow(rng);
        const int32_t expect = atan2_reference_32bit(a, b) & 0x7FFF;
        ASSERT_EQ(kv_math_atan2_i32(a, b), expect) << a << "," << b;
    }
}

TEST(Atan2, StaysWithinTwoUnitsOfTheTrueAngle) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int32_t> dist(-100000, 100000);
    for (int i = 0; i < 100000; ++i) {
        const int32_t a = dist(rng);
        const int32_t b = dist(rng);
        if (a == 0 && b == 0) continue;
        double truth = std::atan2(a, b) * 32768.0 / (2 * kPi);
        if (truth < 0) truth += 32768.0;
        double diff = std::fabs(kv_math_atan2_i32(a, b) - truth);
        diff = std::min(diff, 32768.0 - diff);
        ASSERT_LE(diff, 2.0) << a << "," << b;
    }
}

TEST(Atan2, JustBelowAFullTurnWrapsToZeroInsteadOf32768) {
    // Without the wrap the table's last entry carries the sum to 32768.
    EXPECT_EQ(atan2_reference_32bit(-1, 10000), 32768);
    EXPECT_EQ(kv_math_atan2_i32(-1, 10000), 0);
}

TEST(Atan2, ExtremeInputsStayDefinedAndInRange) {
    const int32_t values[] = {INT32_MIN, INT32_MIN + 1, -(1 << 19), -1, 0, 1, 1 << 19, INT32_MAX};
    for (const int32_t a : values) {
        for (const int32_t b : values) {
            const int32_t r = kv_math_atan2_i32(a, b);
            EXPECT_GE(r, 0);
            EXPECT_LE(r, 32767);
        }
    }
    EXPECT_EQ(kv_math_atan2_i32(INT32_MAX, INT32_MAX), 4096);
    EXPECT_EQ(kv_math_atan2_i32(INT32_MIN, INT32_MIN), 20480);
}

TEST(FastRoots, SquareRootIsWithinSinglePrecisionRounding) {
    EXPECT_NEAR(kv_math_sqrtf(4.0f), 2.0f, 2.0f * 1.2e-7f);
    for (float x = 1e-6f; x < 1e7f; x *= 1.37f) {
        const double truth = std::sqrt(static_cast<double>(x));
        ASSERT_NEAR(kv_math_sqrtf(x), truth, truth * 4e-6) << x;  // two Newton steps
    }
    EXPECT_LT(kv_math_sqrtf(0.0f), 1e-9f);
}

TEST(FastRoots, InverseSquareRootIsWithinAFifthOfAPercent) {
    EXPECT_NEAR(kv_math_inv_sqrtf(4.0f), 0.5f, 0.5f * 0.002f);
    for (float x = 1e-6f; x < 1e7f; x *= 1.37f) {
        const double truth = 1.0 / std::sqrt(static_cast<double>(x));
        ASSERT_NEAR(kv_math_inv_sqrtf(x), truth, truth * 0.002) << x;
    }
}

// Inputs outside the roots' domain have no defined result, but they must not
// trap (the sanitizer builds abort on undefined behaviour), a NaN must not come
// back as a number, and the smallest positive input still gives a finite root.
TEST(FastRoots, OddInputsDoNotTrapAndNanStaysNan) {
    const float odd[] = {-4.0f, std::numeric_limits<float>::infinity(), -0.0f};
    for (const float x : odd) {
        (void)kv_math_sqrtf(x);
        (void)kv_math_inv_sqrtf(x);
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(kv_math_sqrtf(nan)));
    EXPECT_TRUE(std::isnan(kv_math_inv_sqrtf(nan)));
    const float tiny = std::numeric_limits<float>::denorm_min();
    EXPECT_TRUE(std::isfinite(kv_math_sqrtf(tiny)));
    EXPECT_GE(kv_math_sqrtf(tiny), 0.0f);
    EXPECT_TRUE(std::isfinite(kv_math_inv_sqrtf(tiny)));
    EXPECT_GT(kv_math_inv_sqrtf(tiny), 0.0f);
}

}  // namespace

namespace {

// Every path by name: a path the picked instruction set does not allow gives
// way to the picked one, so each run checks every path it can.
constexpr kavri::SimdPath kPaths[] = {kavri::SimdPath::kScalar, kavri::SimdPath::kAvx2,
                                      kavri::SimdPath::kAvx512, kavri::SimdPath::kNeon};

// phase_amp_n on every path against the scalar function, bit for bit.
void expect_phase_amp_paths(const std::vector<int32_t> &a, const std::vector<int32_t> &b,
                            int32_t shift, int32_t offset) {
    const auto n = static_cast<int32_t>(a.size());
    std::vector<int32_t> phase(a.size());
    std::vector<float> amp(a.size());
    for (const kavri::SimdPath path : kPaths) {
        SCOPED_TRACE(testing::Message() << "path " << static_cast<int>(path) << " shift " << shift
                                        << " offset " << offset);
        std::fill(phase.begin(), phase.end(), -1);
        std::fill(amp.begin(), amp.end(), -1.0f);
        kavri::phase_amp_n(phase.data(), amp.data(), a.data(), b.data(), n, shift, offset, path);
        for (int32_t i = 0; i < n; ++i) {
            const kavri::PhaseAmp want = kavri::phase_amp(a[i], b[i], shift, offset);
            ASSERT_EQ(phase[i], want.phase) << i << ": " << a[i] << "," << b[i];
            ASSERT_EQ(std::bit_cast<uint32_t>(amp[i]), std::bit_cast<uint32_t>(want.amp))
                << i << ": " << a[i] << "," << b[i];
        }
    }
}

// Without a path named, the array forms take the path of the instruction set
// the library picked (KAVRI_MAX_ISA caps it; the "isa" tests run this again
// capped).
TEST(FixmathBatch, BestPathIsThePickedInstructionSets) {
    kavri::SimdPath want = kavri::SimdPath::kScalar;
#if defined(__x86_64__)
    if (kavri::isa::active() == kavri::isa::Level::kAvx512) want = kavri::SimdPath::kAvx512;
    if (kavri::isa::active() == kavri::isa::Level::kAvx2 && __builtin_cpu_supports("fma"))
        want = kavri::SimdPath::kAvx2;
#elif defined(__aarch64__)
    if (kavri::isa::active() == kavri::isa::Level::kNeon) want = kavri::SimdPath::kNeon;
#endif
    EXPECT_EQ(kavri::best_simd_path(), want) << kavri::isa::name(kavri::isa::active());
}

TEST(FixmathBatch, ArrayFormsEqualTheScalarForms) {
    std::mt19937 rng(21);
    std::uniform_int_distribution<int32_t> small(-2048, 2048);
    std::uniform_int_distribution<int32_t> wide(-(1 << 19) + 1, (1 << 19) - 1);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    const int32_t n = 4099;  // a tail after the last full chunk
    std::vector<int32_t> a(n), b(n), phase(n);
    std::vector<float> x(n), root(n);
    for (int32_t i = 0; i < n; ++i) {
        a[i] = (i % 3 == 0) ? small(rng) : wide(rng);
        b[i] = (i % 5 == 0) ? small(rng) : wide(rng);
        if (i % 97 == 0) a[i] = 0;
        if (i % 89 == 0) b[i] = 0;
        // Beyond the vector range: the scalar fallback for its chunk. The first
        // two blocks of 1024 stay clean for the vector loops.
        if (i % 211 == 0 && i >= 2048) a[i] = any(rng);
        x[i] = static_cast<float>(static_cast<int64_t>(a[i]) * a[i] % 100000000) + 0.25f;
    }
    a[8] = -1;
    b[8] = 10000;  // the wrap to 0 near a full turn
    // Every path the picked instruction set allows (another falls back).
    for (const kavri::SimdPath path : kPaths) {
        SCOPED_TRACE(static_cast<int>(path));
        std::fill(phase.begin(), phase.end(), -1);
        std::fill(root.begin(), root.end(), -1.0f);
        kavri::atan2_phase_n(phase.data(), a.data(), b.data(), n, path);
        kavri::fast_sqrtf_n(root.data(), x.data(), n, path);
        for (int32_t i = 0; i < n; ++i) {
            ASSERT_EQ(phase[i], kv_math_atan2_i32(a[i], b[i])) << i << ": " << a[i] << "," << b[i];
            ASSERT_EQ(std::bit_cast<uint32_t>(root[i]),
                      std::bit_cast<uint32_t>(kv_math_sqrtf(x[i])))
                << i << ": " << x[i];
        }
        EXPECT_EQ(phase[8], 0);
    }
}

// The fused phase and amplitude pass against the exported scalar functions:
// phasors inside and beyond the 32-bit power range, every shift class and
// offsets that wrap both ways.
TEST(FixmathBatch, PhaseAmpEqualsTheScalarFunctionsOnEveryPath) {
    std::mt19937 rng(33);
    std::uniform_int_distribution<int32_t> sensor(-4095, 4095);
    std::uniform_int_distribution<int32_t> edge(-(1 << 15) + 1, (1 << 15) - 1);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    const int32_t n = 2100;  // a tail after the last full chunk
    std::vector<int32_t> a(n), b(n), phase(n);
    std::vector<float> amp(n);
    for (int32_t i = 0; i < n; ++i) {
        a[i] = i % 4 == 0 ? edge(rng) : sensor(rng);
        b[i] = i % 7 == 0 ? edge(rng) : sensor(rng);
        if (i % 53 == 0) a[i] = b[i] = 0;
        // Beyond the 32-bit power: the scalar fallback for its chunk (the
        // first block of 1024 stays clean for the vector loops).
        if (i % 301 == 0 && i >= 1024) b[i] = any(rng);
    }
    a[5] = b[5] = -32767;  // the largest power of the 32-bit lanes
    for (const int32_t shift : {0, 2, 31}) {
        for (const int32_t offset : {0, 16384, -5, 40000}) {
            for (const kavri::SimdPath path : kPaths) {
                SCOPED_TRACE(testing::Message() << "shift " << shift << " offset " << offset
                                                << " path " << static_cast<int>(path));
                std::fill(phase.begin(), phase.end(), -1);
                std::fill(amp.begin(), amp.end(), -1.0f);
                kavri::phase_amp_n(phase.data(), amp.data(), a.data(), b.data(), n, shift, offset,
                                   path);
                for (int32_t i = 0; i < n; ++i) {
                    const int64_t power = (int64_t{a[i]} * a[i] + int64_t{b[i]} * b[i]) >> shift;
                    ASSERT_EQ(phase[i], (kv_math_atan2_i32(a[i], b[i]) + offset) & 0x7FFF)
                        << i << ": " << a[i] << "," << b[i];
                    ASSERT_EQ(std::bit_cast<uint32_t>(amp[i]),
                              std::bit_cast<uint32_t>(kv_math_sqrtf(static_cast<float>(power))))
                        << i << ": " << a[i] << "," << b[i];
                }
            }
        }
    }
    // Refused arguments leave the outputs alone.
    phase[0] = 7;
    kavri::phase_amp_n(phase.data(), amp.data(), a.data(), b.data(), n, 32, 0);
    kavri::phase_amp_n(phase.data(), amp.data(), a.data(), b.data(), n, -1, 0);
    kavri::phase_amp_n(phase.data(), nullptr, a.data(), b.data(), n, 0, 0);
    EXPECT_EQ(phase[0], 7);
}

// Phasors that reach every index of the table, at both ends of each index,
// in all eight octants, for denominators up to `top`.
void table_index_phasors(int32_t top, std::vector<int32_t> &a, std::vector<int32_t> &b) {
    for (const int32_t den : {4095, 4096, 8190, 9999, 32767, 65535, (1 << 19) - 1}) {
        if (den > top) continue;
        for (int32_t i = 0; i < 4096; ++i) {
            const auto lo = static_cast<int32_t>((int64_t{i} * den + 4095) / 4096);
            for (const int32_t num : {lo, lo - 1, lo + 1}) {
                if (num < 0 || num >= den) continue;
                for (const auto &[sa, sb, swap] : {std::tuple{1, 1, false},
                                                   {-1, 1, false},
                                                   {1, -1, false},
                                                   {-1, -1, false},
                                                   {1, 1, true},
                                                   {-1, 1, true},
                                                   {1, -1, true},
                                                   {-1, -1, true}}) {
                    a.push_back(sa * (swap ? den : num));
                    b.push_back(sb * (swap ? num : den));
                }
            }
        }
    }
}

// Every index of the table through every path: the quotient must land on
// exactly the entry the scalar form picks, at both ends of each index.
TEST(FixmathBatch, EveryTableIndexIsReachedExactly) {
    std::vector<int32_t> a, b;
    table_index_phasors((1 << 19) - 1, a, b);
    const auto n = static_cast<int32_t>(a.size());
    std::vector<int32_t> phase(a.size());
    for (const kavri::SimdPath path : kPaths) {
        SCOPED_TRACE(static_cast<int>(path));
        kavri::atan2_phase_n(phase.data(), a.data(), b.data(), n, path);
        for (int32_t i = 0; i < n; ++i)
            ASSERT_EQ(phase[i], kv_math_atan2_i32(a[i], b[i])) << a[i] << "," << b[i];
    }
}

// The fused pass reaches every index too, with the denominators of 12-bit
// samples (below 8192: the vector paths' shortest loop) and up to 2^15 (the
// 32-bit power); the amplitude alongside.
TEST(FixmathBatch, PhaseAmpReachesEveryTableIndexExactly) {
    for (const int32_t top : {8190, 32767}) {
        std::vector<int32_t> a, b;
        table_index_phasors(top, a, b);
        // The magnitudes below 2^15 (a + b may not be).
        for (size_t i = 0; i < a.size(); ++i) {
            a[i] = std::clamp(a[i], -32767, 32767);
            b[i] = std::clamp(b[i], -32767, 32767);
        }
        expect_phase_amp_paths(a, b, 2, 16384);
    }
}

// Every phasor of a square around the origin (every sign, axis and diagonal
// of small inputs) and a ring of large ones, on every path.
TEST(FixmathBatch, PhaseAmpEqualsTheScalarFormDensely) {
    constexpr int32_t kHalfSide = 300;
    std::vector<int32_t> a, b;
    for (int32_t y = -kHalfSide; y <= kHalfSide; ++y) {
        for (int32_t x = -kHalfSide; x <= kHalfSide; ++x) {
            a.push_back(y);
            b.push_back(x);
        }
    }
    for (int32_t step = 0; step < 65536; ++step) {
        const double t = step * (2 * kPi / 65536);
        a.push_back(static_cast<int32_t>(std::lround(4095 * std::sin(t))));
        b.push_back(static_cast<int32_t>(std::lround(4095 * std::cos(t))));
    }
    for (const int32_t shift : {0, 2})
        for (const int32_t offset : {0, 16384, -3}) expect_phase_amp_paths(a, b, shift, offset);
}

// Blocks of small, larger and out-of-range phasors in turns: each block
// takes the loop its inputs need whatever the block before took.
TEST(FixmathBatch, PhaseAmpBlocksOfMixedRangesEqualTheScalarForm) {
    constexpr int32_t kBlock = 1024;  // the vector paths' range-check block
    const std::vector<int32_t> tops = {100, 4095, 20000, 4095, 1 << 20, 300, 32767, 8, 4095};
    std::mt19937 rng(7);
    std::vector<int32_t> a, b;
    for (const int32_t top : tops) {
        std::uniform_int_distribution<int32_t> v(-top, top);
        for (int32_t i = 0; i < kBlock; ++i) {
            a.push_back(v(rng));
            b.push_back(v(rng));
        }
    }
    a.resize(a.size() - 5);  // a tail in the last block
    b.resize(a.size());
    expect_phase_amp_paths(a, b, 2, 16384);
}

TEST(FixmathBatch, ShortAndEmptyArrays) {
    int32_t a[3] = {1, -1, 0}, b[3] = {0, -1, -5}, phase[3] = {7, 7, 7};
    kavri::atan2_phase_n(phase, a, b, 0);
    EXPECT_EQ(phase[0], 7);
    kavri::atan2_phase_n(phase, a, b, 3);
    EXPECT_EQ(phase[0], 8192);
    EXPECT_EQ(phase[1], 20480);
    EXPECT_EQ(phase[2], 16384);
    kavri::atan2_phase_n(nullptr, a, b, 3);
    kavri::fast_sqrtf_n(nullptr, nullptr, 3);
}

}  // namespace
