// The simulated camera's frames must decode to the scene's ground truth through the same phase
// arithmetic the host uses, with the wire layout (readout row order, 12-bit samples, T0 words)
// the host expects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <set>
#include <stdexcept>
#include <vector>

#include "frame_gen.h"
#include "phase_model.h"
#include "scene.h"

namespace camsim {
namespace {

constexpr uint32_t kW = 320, kH = 240;
constexpr size_t kN = size_t{kW} * kH;

uint16_t le16(const std::vector<uint8_t> &b, size_t off) {
    return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

// Readout row that carries image row r (the sensor reads from the middle outwards).
uint32_t readout_row_of_image_row(uint32_t r, uint32_t h) {
    return r < h / 2 ? 2 * (h / 2 - 1 - r) : 2 * (r - h / 2) + 1;
}

struct Samples {
    std::vector<int> d[4];  // image order, low 12 bits
};

Samples unpack_epc(const std::vector<uint8_t> &frame, uint32_t w, uint32_t h) {
    const size_t n = size_t{w} * h;
    Samples s;
    for (int k = 0; k < 4; ++k) {
        s.d[k].resize(n);
        for (uint32_t r = 0; r < h; ++r) {
            const size_t src_row = readout_row_of_image_row(r, h);
            for (uint32_t x = 0; x < w; ++x) {
                const uint16_t v = le16(frame, 2 * (k * n + src_row * w + x));
                EXPECT_EQ(v & 0xf000, 0);
                s.d[k][r * w + x] = v & 0xfff;
            }
        }
    }
    return s;
}

// Independent double-precision inversion of the model: raw distance from the sample angle,
// less the fixed offset and the temperature drift, wrapped into the range.
double model_distance(const Samples &s, size_t i, uint32_t range, double drift_mm) {
    const double y = s.d[3][i] - s.d[1][i], x = s.d[2][i] - s.d[0][i];
    double turns = std::atan2(y, x) / (2 * std::numbers::pi) + 0.5;
    turns -= std::floor(turns);
    double d = turns * range - 2000.0 - drift_mm;
    d = std::fmod(d, range);
    if (d < 0) d += range;
    return d;
}

double wrapped_error(double got, double want, uint32_t range) {
    double e = std::fmod(got - want, static_cast<double>(range));
    if (e > range / 2.0) e -= range;
    if (e < -(range / 2.0)) e += range;
    return e;
}

bool saturated(const Samples &s, size_t i) {
    for (int k = 0; k < 4; ++k) {
        if (s.d[k][i] == 0 || s.d[k][i] == 4095) return true;
    }
    return false;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * (v.size() - 1))];
}

struct InversionCase {
    uint32_t freq;
    bool noise, fpn;
    int16_t t_sensor, t_ib;
};

std::ostream &operator<<(std::ostream &os, const InversionCase &c) {
    return os << c.freq << " Hz noise=" << c.noise << " fpn=" << c.fpn << " t=" << c.t_sensor << "/"
              << c.t_ib;
}

class PhaseInversion : public ::testing::TestWithParam<InversionCase> {};

TEST_P(PhaseInversion, SamplesDecodeToTruthWithinNoise) {
    const InversionCase c = GetParam();
    FrameGenConfig cfg;
    cfg.noise = c.noise;
    cfg.fpn = c.fpn;
    cfg.seed = 7;
    FrameGenerator gen(cfg);
    SensorState st;
    st.mod_freq_hz = c.freq;
    st.t_sensor = c.t_sensor;
    st.t_ib = c.t_ib;
    std::vector<uint8_t> frame;
    gen.make_frame(st, frame);
    ASSERT_EQ(frame.size(), kN * 8);

    const Samples s = unpack_epc(frame, kW, kH);
    const uint32_t range = static_cast<uint32_t>(149896229000.0 / c.freq);
    const int16_t t_ib = c.t_ib != 0 ? c.t_ib : c.t_sensor;  // no board sensor
    const double drift = std::round(0.33765 * t_ib + 1.7 * c.t_sensor);
    const std::vector<float> truth = gen.truth_mm();
    const std::vector<float> &fpn = gen.fpn_mm();
    const double amp_per_intg = 4.0;

    std::vector<double> abs_err, z;
    double worst_rounding_excess = -1e9;
    for (size_t i = 0; i < kN; ++i) {
        ASSERT_FALSE(saturated(s, i)) << "pixel " << i;
        const double want = truth[i] + fpn[i];
        const double e = wrapped_error(model_distance(s, i, range, drift), want, range);
        abs_err.push_back(std::fabs(e));
        // Expected spread: each sample difference carries sqrt(2) sigma of noise on a vector
        // of length A; rounding alone moves each difference by at most 1, the angle by at
        // most sqrt(2) / A.
        const double d_m = truth[i] / 1000.0;
        const double a = amp_per_intg * st.intg_time * gen.reflectivity()[i] / (d_m * d_m);
        const double mm_per_rad = range / (2 * std::numbers::pi);
        if (c.noise) {
            z.push_back(std::fabs(e) / (mm_per_rad * 3.0 * std::numbers::sqrt2 / a));
        } else {
            worst_rounding_excess = std::max(worst_rounding_excess,
                                             std::fabs(e) - mm_per_rad * std::numbers::sqrt2 / a);
        }
    }
    if (c.noise) {
        // |N(0,1)|: median 0.67, 99th percentile 2.58 (rounding adds a little).
        EXPECT_LT(percentile(z, 0.5), 0.8);
        EXPECT_LT(percentile(z, 0.99), 3.0);
        EXPECT_LT(percentile(abs_err, 0.5), c.freq == 20000000 ? 25.0 : 40.0);
    } else {
        EXPECT_LT(worst_rounding_excess, 0.01);
        // Only the 12-bit rounding of the samples is left: millimetres on most pixels.
        EXPECT_LT(percentile(abs_err, 0.5), 8.0);
        EXPECT_LT(percentile(abs_err, 0.99), 40.0);
    }
    if (!c.fpn) {
        EXPECT_TRUE(std::all_of(fpn.begin(), fpn.end(), [](float f) { return f == 0; }));
    }
}

INSTANTIATE_TEST_SUITE_P(FrequenciesNoiseFpnTemperatures, PhaseInversion,
                         ::testing::Values(InversionCase{12000000, false, false, 350, 300},
                                           InversionCase{12000000, true, false, 350, 300},
                                           InversionCase{12000000, false, true, 350, 300},
                                           InversionCase{12000000, true, true, 350, 300},
                                           InversionCase{20000000, false, false, 350, 300},
                                           InversionCase{20000000, true, false, 350, 300},
                                           InversionCase{20000000, false, true, 350, 300},
                                           InversionCase{20000000, true, true, 350, 300},
                                           InversionCase{12000000, true, true, 612, 487},
                                           InversionCase{20000000, true, true, -55, -13},
                                           InversionCase{12000000, false, true, 421, 0}));

TEST(FrameGen, DefaultSceneHasDepthVarietyWithinBothRanges) {
    FrameGenerator gen(FrameGenConfig{});
    const std::vector<float> truth = gen.truth_mm();
    ASSERT_EQ(truth.size(), kN);
    const auto [lo, hi] = std::minmax_element(truth.begin(), truth.end());
    EXPECT_GE(*lo, 300.0f);
    EXPECT_LE(*hi, 6000.0f);
    EXPECT_LT(*lo, 1500.0f);  // near objects
    EXPECT_GT(*hi, 2500.0f);  // the back wall
    const std::set<float> refl(gen.reflectivity().begin(), gen.reflectivity().end());
    EXPECT_GE(refl.size(), 4u);
    EXPECT_EQ(gen.frame_format(), 2);
    EXPECT_EQ(gen.frame_bytes(), kN * 8);
}

TEST(FrameGen, FpnIsSeededGaussianOfAboutTwentyMm) {
    FrameGenConfig cfg;
    cfg.seed = 99;
    FrameGenerator gen(cfg);
    const std::vector<float> &fpn = gen.fpn_mm();
    double sum = 0, sq = 0;
    for (float f : fpn) {
        sum += f;
        sq += double{f} * f;
    }
    const double mean = sum / fpn.size();
    const double sigma = std::sqrt(sq / fpn.size() - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.5);
    EXPECT_NEAR(sigma, 20.0, 0.5);
}

// Rows arrive from the middle of the image outwards: with four rows a, b, c, d read out, the
// image is c, a, b, d.
TEST(FrameGen, RowsAreInSensorReadoutOrder) {
    FrameGenConfig cfg;
    cfg.noise = false;
    cfg.fpn = false;
    cfg.height = 4;
    FrameGenerator gen(cfg);
    std::vector<uint8_t> frame;
    SensorState st;
    gen.make_frame(st, frame);
    const std::vector<float> truth = gen.truth_mm();
    const uint32_t range = range_mm(st.mod_freq_hz);
    const double drift = temperature_drift_mm(st.t_sensor, st.t_ib);
    const size_t n = size_t{kW} * 4;
    const uint32_t expected_image_row[4] = {1, 2, 0, 3};
    for (uint32_t src_row = 0; src_row < 4; ++src_row) {
        // Mean decoded distance of the readout row against the mean truth of each image row.
        Samples s;
        for (int k = 0; k < 4; ++k) {
            for (uint32_t x = 0; x < kW; ++x) {
                s.d[k].push_back(le16(frame, 2 * (k * n + src_row * kW + x)) & 0xfff);
            }
        }
        double best_err = 1e9;
        uint32_t best_row = 99;
        for (uint32_t r = 0; r < 4; ++r) {
            double err = 0;
            for (uint32_t x = 0; x < kW; ++x) {
                err += std::fabs(
                    wrapped_error(model_distance(s, x, range, drift), truth[r * kW + x], range));
            }
            if (err < best_err) {
                best_err = err;
                best_row = r;
            }
        }
        EXPECT_EQ(best_row, expected_image_row[src_row]) << "readout row " << src_row;
    }
}

TEST(FrameGen, HugeIntegrationSaturatesNearPixels) {
    FrameGenConfig cfg;
    FrameGenerator gen(cfg);
    SensorState st;
    st.intg_time = 60000;
    std::vector<uint8_t> frame;
    gen.make_frame(st, frame);
    const Samples s = unpack_epc(frame, kW, kH);
    size_t sat = 0;
    for (size_t i = 0; i < kN; ++i) sat += saturated(s, i);
    EXPECT_GT(sat, kN * 9 / 10);

    st.intg_time = 400;
    gen.make_frame(st, frame);
    const Samples ok = unpack_epc(frame, kW, kH);
    for (size_t i = 0; i < kN; ++i) ASSERT_FALSE(saturated(ok, i));
}

TEST(FrameGen, SecondIntegrationTimeDrivesOddImageRows) {
    FrameGenConfig cfg;
    cfg.noise = false;
    cfg.scene = "wall:2000";
    FrameGenerator gen(cfg);
    SensorState st;
    st.intg_time = 200;
    st.intg_time2 = 600;
    std::vector<uint8_t> frame;
    gen.make_frame(st, frame);
    const Samples s = unpack_epc(frame, kW, kH);
    auto amp = [&](size_t i) {
        return std::hypot(s.d[2][i] - s.d[0][i], s.d[3][i] - s.d[1][i]) / 2;
    };
    const size_t even = 120 * kW + 160, odd = 121 * kW + 160;
    EXPECT_NEAR(amp(odd) / amp(even),
                3.0 * (gen.truth_mm()[even] * gen.truth_mm()[even]) /
                    (gen.truth_mm()[odd] * gen.truth_mm()[odd]),
                0.05);
}

// The host counts pixels whose opposite samples add up to 4017..4175 and drops frames where
// 60 % or fewer do so in either pair.
struct Consistency {
    int pct02, pct13;
};
Consistency consistency(const std::vector<uint8_t> &frame) {
    int c02 = 0, c13 = 0;
    for (size_t i = 0; i < kN; ++i) {
        const int d0 = le16(frame, 2 * i) & 0xfff, d1 = le16(frame, 2 * (kN + i)) & 0xfff;
        const int d2 = le16(frame, 2 * (2 * kN + i)) & 0xfff;
        const int d3 = le16(frame, 2 * (3 * kN + i)) & 0xfff;
        c02 += (d0 + d2 >= 4017 && d0 + d2 <= 4175);
        c13 += (d1 + d3 >= 4017 && d1 + d3 <= 4175);
    }
    return {static_cast<int>(c02 * 100 / kN), static_cast<int>(c13 * 100 / kN)};
}

TEST(FrameGen, InconsistentFramesFailTheSubFrameCheck) {
    for (const char *scene : {"default", "wall:800", "wall:3000"}) {
        for (uint16_t intg : {50, 400, 1500}) {
            FrameGenConfig cfg;
            cfg.scene = scene;
            FrameGenerator gen(cfg);
            SensorState st;
            st.intg_time = intg;
            std::vector<uint8_t> frame;
            gen.make_frame(st, frame);
            const Consistency good = consistency(frame);
            if (intg <= 400) {  // 1500 saturates part of the near scenes
                EXPECT_GT(good.pct02, 60) << scene << " " << intg;
                EXPECT_GT(good.pct13, 60) << scene << " " << intg;
            }
            st.inconsistent = true;
            gen.make_frame(st, frame);
            const Consistency bad = consistency(frame);
            EXPECT_FALSE(bad.pct02 > 60 && bad.pct13 > 60) << scene << " " << intg;
        }
    }
}

TEST(FrameGen, TiWordsDecodeToTruth) {
    for (bool noise : {false, true}) {
        FrameGenConfig cfg;
        cfg.chip = Chip::T0;
        cfg.scene = "wall:1500";
        cfg.noise = noise;
        FrameGenerator gen(cfg);
        EXPECT_EQ(gen.frame_bytes(), kN * 4);
        SensorState st;
        std::vector<uint8_t> frame;
        gen.make_frame(st, frame);
        ASSERT_EQ(frame.size(), kN * 4);
        const std::vector<float> truth = gen.truth_mm();
        std::vector<double> err;
        for (size_t i = 0; i < kN; ++i) {
            const uint16_t amp = le16(frame, 4 * i), phase = le16(frame, 4 * i + 2);
            ASSERT_EQ(amp & 0xf000, 0);
            ASSERT_EQ(phase & 0xf000, 0);
            const double metres = (phase & 0xfff) * 0.000244140625 * 3.122838;
            const double want = truth[i] + gen.fpn_mm()[i];
            err.push_back(std::fabs(wrapped_error(metres * 1000, want, 3123)));
            const double d_m = truth[i] / 1000;
            const double half_a = 2.0 * st.intg_time * gen.reflectivity()[i] / (d_m * d_m);
            ASSERT_NEAR(amp, std::min(half_a, 4095.0), noise ? 12 : 0.51) << i;
        }
        const double lsb_mm = 3122.838 / 4096;
        if (noise) {
            EXPECT_LT(percentile(err, 0.5), 1.0 * lsb_mm);
            EXPECT_LT(percentile(err, 0.99), 3.5 * lsb_mm);
        } else {
            EXPECT_LT(percentile(err, 1.0), 0.5 * lsb_mm + 0.01);
        }
    }
}

TEST(FrameGen, WallWithPinholeLensIsPlanar) {
    FrameGenConfig cfg;
    cfg.scene = "wall:1750";
    cfg.pinhole_lens = true;
    FrameGenerator gen(cfg);
    const std::vector<float> truth = gen.truth_mm();
    const Lens l = pinhole_lens();
    for (uint32_t v = 0; v < kH; ++v) {
        for (uint32_t u = 0; u < kW; ++u) {
            const double a = (u - l.cx) / l.fx, b = (v - l.cy) / l.fy;
            ASSERT_NEAR(truth[v * kW + u], 1750.0 * std::sqrt(1 + a * a + b * b), 0.01)
                << u << "," << v;
        }
    }
}

TEST(FrameGen, LensRaysReprojectToTheirPixels) {
    const Lens l = default_lens();
    double worst = 0;
    for (uint32_t v = 0; v < kH; v += 7) {
        for (uint32_t u = 0; u < kW; u += 7) {
            const Point2 p = project(l, pixel_ray(l, u, v));
            worst = std::max({worst, std::fabs(p.x - u), std::fabs(p.y - v)});
        }
    }
    for (auto [u, v] : {std::pair{0u, 0u}, {kW - 1, 0u}, {0u, kH - 1}, {kW - 1, kH - 1}}) {
        const Point2 p = project(l, pixel_ray(l, u, v));
        worst = std::max({worst, std::fabs(p.x - u), std::fabs(p.y - v)});
    }
    EXPECT_LT(worst, 1e-9);
    // Barrel distortion: corner rays point further out than the pinhole would say.
    const Point2 corner = pixel_ray(l, 0, 0);
    EXPECT_LT(corner.x, (0 - l.cx) / l.fx);
}

TEST(FrameGen, SameSeedSameFramesOtherSeedOtherFrames) {
    FrameGenConfig cfg;
    cfg.seed = 42;
    FrameGenerator a(cfg), b(cfg);
    cfg.seed = 43;
    FrameGenerator c(cfg);
    EXPECT_EQ(a.fpn_mm(), b.fpn_mm());
    EXPECT_NE(a.fpn_mm(), c.fpn_mm());
    SensorState st;
    std::vector<uint8_t> fa1, fa2, fb1, fb2, fc1;
    a.make_frame(st, fa1);
    a.make_frame(st, fa2);
    b.make_frame(st, fb1);
    b.make_frame(st, fb2);
    c.make_frame(st, fc1);
    EXPECT_EQ(fa1, fb1);
    EXPECT_EQ(fa2, fb2);
    EXPECT_NE(fa1, fa2);  // fresh noise every frame
    EXPECT_NE(fa1, fc1);

    cfg.noise = false;
    FrameGenerator quiet(cfg);
    std::vector<uint8_t> q1, q2;
    quiet.make_frame(st, q1);
    quiet.make_frame(st, q2);
    EXPECT_EQ(q1, q2);
}

TEST(FrameGen, RejectsBadScenesAndSizes) {
    for (const char *scene :
         {"", "room", "wall:", "wall:abc", "wall:0", "wall:-5", "wall:12x", "wall:100001"}) {
        FrameGenConfig cfg;
        cfg.scene = scene;
        EXPECT_FALSE(FrameGenerator::config_error(cfg).empty()) << scene;
        EXPECT_THROW(FrameGenerator{cfg}, std::invalid_argument) << scene;
    }
    for (const char *scene : {"default", "wall:1", "wall:2500", "wall:100000"}) {
        FrameGenConfig cfg;
        cfg.scene = scene;
        EXPECT_EQ(FrameGenerator::config_error(cfg), "") << scene;
    }
    FrameGenConfig odd;
    odd.height = 239;
    EXPECT_THROW(FrameGenerator{odd}, std::invalid_argument);
    FrameGenConfig empty;
    empty.width = 0;
    EXPECT_THROW(FrameGenerator{empty}, std::invalid_argument);
    FrameGenConfig huge;
    huge.width = 1u << 20;
    EXPECT_THROW(FrameGenerator{huge}, std::invalid_argument);
}

TEST(FrameGen, SceneChangeKeepsTheFixedPatternAndTheNoiseStream) {
    FrameGenConfig cfg;
    cfg.scene = "wall:2000";
    cfg.seed = 11;
    FrameGenerator gen(cfg);
    const std::vector<float> fpn = gen.fpn_mm();
    const SensorState st;
    std::vector<uint8_t> before, after;
    gen.make_frame(st, before);

    gen.set_scene("wall:1800");
    EXPECT_EQ(gen.config().scene, "wall:1800");
    EXPECT_EQ(gen.fpn_mm(), fpn);
    const std::vector<float> truth = gen.truth_mm();
    const size_t centre = size_t{kH / 2} * kW + kW / 2;
    EXPECT_NEAR(truth[centre], 1800.0f, 5.0f);

    // The next frame decodes to the new wall (the old one is 200 mm away).
    gen.make_frame(st, after);
    const uint32_t range = range_mm(st.mod_freq_hz);
    const double drift = temperature_drift_mm(st.t_sensor, st.t_ib);
    const Samples s = unpack_epc(after, kW, kH);
    std::vector<double> abs_err;
    for (size_t i = 0; i < kN; ++i) {
        abs_err.push_back(
            std::fabs(wrapped_error(model_distance(s, i, range, drift), truth[i] + fpn[i], range)));
    }
    EXPECT_LT(percentile(abs_err, 0.5), 40.0);

    // Its noise is a second frame's noise: it is exactly the second frame of a generator that
    // saw the new wall from the start, not the first one.
    cfg.scene = "wall:1800";
    FrameGenerator fresh(cfg), continued(cfg);
    std::vector<uint8_t> first, second;
    fresh.make_frame(st, first);
    continued.make_frame(st, second);
    continued.make_frame(st, second);
    EXPECT_NE(after, first);
    EXPECT_EQ(after, second);

    EXPECT_THROW(gen.set_scene("wall:0"), std::invalid_argument);
    EXPECT_EQ(gen.config().scene, "wall:1800");
    EXPECT_EQ(gen.truth_mm(), truth);
}

TEST(PhaseModel, RangeAndDriftFollowTheHostArithmetic) {
    EXPECT_EQ(range_mm(12000000), 12491u);
    EXPECT_EQ(range_mm(20000000), 7494u);
    EXPECT_EQ(temperature_drift_mm(350, 300), 696);  // 101.295 + 595
    EXPECT_EQ(temperature_drift_mm(-10, -10), -20);  // half away from zero: -20.3765
    EXPECT_EQ(temperature_drift_mm(100, 0), 204);    // no board sensor: 33.765 + 170
}

}  // namespace
}  // namespace camsim
