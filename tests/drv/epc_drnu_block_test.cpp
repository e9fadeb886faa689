// The calibrated distance, computed a block at a time, against the formula
// evaluated one pixel at a time: random plane stacks (rising, falling, with
// equal neighbours, arbitrary), random temperatures and offsets, random raw
// frames; every pixel's distance and amplitude must match exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "drv/calc_pixel.h"
#include "drv/epc_state.h"
#include "epc_test_util.h"
#include "kavri/epc.h"
#include "kavri/kvmath.h"

namespace {

using namespace epc_test;
using kavri::epc::PixelBlock;

constexpr uint16_t kNoDist = KAVRI_DIST_NO_DIST;

enum class Planes { Rising, Falling, Flat, Arbitrary };

struct DrnuSetup {
    int32_t box_phase;
    int64_t range;
    float step;
    float drift;
    int32_t offset;
};

// The formula for one pixel with planes l[0 .. count).
uint16_t reference_dist(const DrnuSetup &k, const uint16_t *l, int32_t count, int32_t phase) {
    if (count < 2) return kNoDist;
    const int32_t last = count - 1;
    const auto h = static_cast<int32_t>(static_cast<float>(phase) - k.drift);
    int32_t kk;
    if (h < l[0])
        kk = 0;
    else if (h < l[last])
        kk = static_cast<int32_t>(static_cast<float>(last * (h - l[0])) /
                                  static_cast<float>(l[last] - l[0]));
    else
        kk = last - 1;
    const int32_t lower = l[kk], upper = l[kk + 1];
    if (upper == lower) return kNoDist;
    const auto q = static_cast<int32_t>(k.step * static_cast<float>(kk) +
                                        static_cast<float>(h - lower) * k.step /
                                            static_cast<float>(upper - lower));
    const int64_t ph = static_cast<int64_t>(k.box_phase) + q;
    const auto v = static_cast<int32_t>((ph * k.range) >> kavri::epc::kPhaseBits) + k.offset;
    const auto r = static_cast<int32_t>(k.range);
    return static_cast<uint16_t>(v < 0 ? v + r : (v > r ? v - r : v));
}

std::vector<uint16_t> random_planes(std::mt19937 &rng, int32_t count, Planes kind) {
    std::vector<uint16_t> p(size_t{kN} * static_cast<size_t>(std::max(count, 0)));
    std::uniform_int_distribution<int32_t> any(0, 65535), start(0, 20000), gap(0, 6000), coin(0, 3);
    for (size_t i = 0; i < kN; ++i) {
        uint16_t *l = p.data() + i * static_cast<size_t>(count);
        // A falling stack starts high so that it stays above 0.
        int32_t v = start(rng) + (kind == Planes::Falling ? 45000 : 0);
        for (int32_t j = 0; j < count; ++j) {
            switch (kind) {
                case Planes::Rising:
                    v += gap(rng);
                    break;
                case Planes::Falling:
                    v -= gap(rng);
                    break;
                case Planes::Flat:
                    v += coin(rng) == 0 ? 0 : gap(rng) / 8;
                    break;
                case Planes::Arbitrary:
                    v = any(rng);
                    break;
            }
            l[j] = static_cast<uint16_t>(std::clamp(v, 0, 65535));
        }
    }
    return p;
}

// Raw samples, mostly valid, some saturated or zero.
std::vector<uint16_t> random_frame(std::mt19937 &rng) {
    std::vector<uint16_t> f(size_t{kN} * 4);
    std::uniform_int_distribution<int32_t> sample(0, 4095), rare(0, 99);
    for (auto &s : f) {
        const int32_t r = rare(rng);
        s = static_cast<uint16_t>(r == 0 ? 0 : r == 1 ? 4095 : sample(rng));
    }
    return f;
}

// The block's phase, amplitude and validity against the exported per-pixel
// functions, for every pixel of random frames.
TEST(EpcPixelBlock, MatchesThePerPixelFunctions) {
    std::mt19937 rng(7);
    for (int round = 0; round < 3; ++round) {
        const std::vector<uint16_t> raw = random_frame(rng);
        size_t checked = 0;
        kavri::epc::for_each_block(
            raw.data(), kN, [&](size_t first, int32_t cnt, const PixelBlock &blk) {
                for (int32_t i = 0; i < cnt; ++i) {
                    const size_t idx = first + static_cast<size_t>(i);
                    int32_t d[4];
                    for (size_t k = 0; k < 4; ++k) d[k] = raw[k * kN + idx] & 0x0FFF;
                    const int32_t y = d[3] - d[1], x = d[2] - d[0];
                    const bool invalid =
                        *std::max_element(d, d + 4) == 0x0FFF || *std::min_element(d, d + 4) == 0;
                    ASSERT_EQ(blk.invalid[i] != 0, invalid) << idx;
                    ASSERT_EQ(blk.phase[i], (kv_math_atan2_i32(y, x) + 16384) & 0x7FFF) << idx;
                    ASSERT_EQ(blk.amp[i], kv_math_sqrtf(static_cast<float>((x * x + y * y) >> 2)))
                        << idx;
                    ++checked;
                }
            });
        EXPECT_EQ(checked, kN);
    }
}

struct Case {
    uint32_t freq;
    int32_t planes;
    Planes kind;
};

class EpcDrnuBlock : public ::testing::TestWithParam<Case> {};

TEST_P(EpcDrnuBlock, MatchesThePerPixelFormula) {
    const Case c = GetParam();
    std::mt19937 rng(c.freq ^ static_cast<uint32_t>(c.planes * 7919) ^
                     static_cast<uint32_t>(c.kind) << 20);
    std::uniform_int_distribution<int32_t> temp(-20, 80), offset(-300, 300), step_mm(50, 800),
        box(0, 20000);
    Driver d;
    d.set_freq(c.freq);
    auto &st = d.st();
    auto &cal = d.calib();
    cal.planes = c.planes;
    cal.step_mm = step_mm(rng);
    cal.ib_temp = static_cast<int16_t>(temp(rng));
    cal.cb_temp = static_cast<int16_t>(temp(rng));
    st.t_ib = static_cast<int16_t>(temp(rng));
    st.t_sensor = static_cast<int16_t>(temp(rng));
    st.user_offset_mm = offset(rng);
    st.offset_en = offset(rng) > 0;
    st.box_phase = static_cast<uint32_t>(box(rng));
    const std::vector<uint16_t> planes = random_planes(rng, c.planes, c.kind);
    // The driver keeps plane-major planes: plane j of pixel i at j * kN + i.
    cal.drnu = std::make_unique<uint16_t[]>(std::max<size_t>(planes.size(), 1));
    const auto count = static_cast<size_t>(c.planes);
    for (size_t i = 0; i < kN; ++i)
        for (size_t j = 0; j < count; ++j) cal.drnu[j * kN + i] = planes[i * count + j];
    const std::vector<uint16_t> raw = random_frame(rng);

    std::vector<uint16_t> dist(kN), amp(kN);
    ASSERT_EQ(calc_dist_calib_drnu(d.drv(), dist.data(), amp.data(), raw.data(), kW, kH, 4), 1);

    DrnuSetup k{};
    k.box_phase = static_cast<int32_t>(st.box_phase);
    k.range = st.range_mm;
    k.step = static_cast<float>((static_cast<uint32_t>(cal.step_mm) << 15) / st.range_mm);
    k.drift = static_cast<float>(st.t_ib - cal.ib_temp) * st.tcoef_ib_ph +
              static_cast<float>(st.t_sensor - cal.cb_temp) * st.tcoef_sensor_ph;
    k.offset = st.offset_en ? st.user_offset_mm : 0;
    size_t mismatches = 0, defined = 0;
    kavri::epc::for_each_block(
        raw.data(), kN, [&](size_t first, int32_t cnt, const PixelBlock &blk) {
            for (int32_t i = 0; i < cnt; ++i) {
                const size_t idx = first + static_cast<size_t>(i);
                const bool bad = blk.invalid[i] != 0;
                const uint16_t want_amp = bad ? 0 : static_cast<uint16_t>(blk.amp[i]);
                const uint16_t want =
                    bad ? kNoDist
                        : reference_dist(k, planes.data() + idx * static_cast<size_t>(c.planes),
                                         c.planes, blk.phase[i]);
                defined += want != kNoDist;
                if (dist[idx] != want || amp[idx] != want_amp) {
                    if (++mismatches <= 5)
                        ADD_FAILURE() << "pixel " << idx << ": dist " << dist[idx] << " want "
                                      << want << ", amp " << amp[idx] << " want " << want_amp;
                }
            }
        });
    EXPECT_EQ(mismatches, 0u);
    // The cases with at least two planes must exercise the interpolation.
    if (c.planes >= 2) {
        EXPECT_GT(defined, kN / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RandomCalibrations, EpcDrnuBlock,
    ::testing::Values(Case{12000000, 0, Planes::Rising}, Case{12000000, 1, Planes::Rising},
                      Case{12000000, 2, Planes::Rising}, Case{12000000, 3, Planes::Falling},
                      Case{12000000, 8, Planes::Rising}, Case{20000000, 8, Planes::Flat},
                      Case{20000000, 11, Planes::Arbitrary}, Case{20000000, 17, Planes::Rising},
                      Case{12000000, 33, Planes::Flat}, Case{20000000, 5, Planes::Falling}));

}  // namespace
