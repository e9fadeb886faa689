// The simulated camera's calibration file: its layout must be what the host's parameter file
// reader accepts, and the host's per-pixel (DRNU) calculation with these planes must turn the
// simulator's frames back into the true distances, fixed pattern and temperature drift removed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "calib_gen.h"
#include "frame_gen.h"

namespace camsim {
namespace {

constexpr uint32_t kW = 320, kH = 240;
constexpr size_t kN = size_t{kW} * kH;

uint32_t u32(const uint8_t *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}
uint16_t u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
int16_t s16(const uint8_t *p) {
    return static_cast<int16_t>(u16(p));
}
double f64(const uint8_t *p) {
    uint64_t bits = u32(p) | uint64_t{u32(p + 4)} << 32;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
float f32(const uint8_t *p) {
    const uint32_t bits = u32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

uint16_t fletcher(const uint8_t *p, size_t n) {
    unsigned s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s2 << 8 | s1);
}

// One calibration block as the host reads it.
struct Block {
    uint32_t freq = 0;
    float box_len_cm = 0;
    int16_t cb_temp = 0, ib_temp = 0;
    int planes = 0;
    int32_t width = 0, height = 0, value_scale = 0;
    std::vector<int32_t> plane_um;
    std::vector<std::vector<uint32_t>> values;  // normalised to 1/32768 period, readout order
};

Block parse_block(const uint8_t *drv, const uint8_t *payload, size_t payload_bytes) {
    Block b;
    b.freq = u32(drv);
    b.box_len_cm = f32(drv + 8);
    b.cb_temp = s16(drv + 16);
    b.ib_temp = s16(drv + 18);
    b.planes = drv[20];
    b.width = static_cast<int32_t>(u32(drv + 25));
    b.height = static_cast<int32_t>(u32(drv + 29));
    b.value_scale = static_cast<int32_t>(u32(drv + 33));
    EXPECT_EQ(payload_bytes, size_t(b.planes) * 153620);
    for (int k = 0; k < b.planes; ++k) {
        const uint8_t *plane = payload + size_t(k) * 153620;
        b.plane_um.push_back(static_cast<int32_t>(u32(plane)));
        std::vector<uint32_t> v(kN);
        for (size_t i = 0; i < kN; ++i) {
            const uint64_t raw = u16(plane + 20 + 2 * i);
            v[i] = b.value_scale == 32768 ? static_cast<uint32_t>(raw)
                                          : static_cast<uint32_t>(raw * 32768 / b.value_scale);
        }
        b.values.push_back(std::move(v));
    }
    return b;
}

std::vector<Block> parse_current_file(const std::vector<uint8_t> &f) {
    EXPECT_GE(f.size(), 1202u);
    EXPECT_GE(f[0], 140);
    EXPECT_EQ(u32(&f[5]), 0x3150564Bu);
    EXPECT_EQ(std::memcmp(&f[5], "KVP1", 4), 0);
    EXPECT_EQ(u16(&f[18]), fletcher(&f[20], 1188 - 20));
    const uint32_t count = u32(&f[1192]);
    EXPECT_LE(count, 7u);
    EXPECT_EQ(u32(&f[1196]), f.size() - 1202);
    EXPECT_EQ(u16(&f[1200]), fletcher(&f[1202], f.size() - 1202));
    std::vector<Block> blocks;
    size_t pos = 1202;
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(f[pos], 1);
        const uint32_t n = u32(&f[pos + 1]);
        EXPECT_GE(n, 37u);
        EXPECT_LE(pos + 5 + n, f.size());
        blocks.push_back(parse_block(&f[pos + 5], &f[pos + 5 + 37], n - 37));
        pos += 5 + n;
    }
    EXPECT_EQ(pos, f.size());
    return blocks;
}

TEST(CalibGen, Fletcher16MatchesTheFileRule) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(calib_fletcher16(abc), 0x4C27);
    const uint8_t abc00[] = {'a', 'b', 'c', 0};
    EXPECT_EQ(calib_fletcher16(abc00), ((0x4C + 0x27) % 255) << 8 | 0x27);
    EXPECT_EQ(calib_fletcher16({}), 0);
}

TEST(CalibGen, CurrentFormatLayout) {
    FrameGenerator gen(FrameGenConfig{});
    CalibGenOptions opt;
    opt.timestamp = 0x01020304;
    const std::vector<uint8_t> f = make_calib_file(gen, opt);
    // Must fit a camera package (10 MiB including its 18-byte header).
    EXPECT_LE(f.size() + 18, 10485760u);
    EXPECT_EQ(u32(&f[1]), 0x01020304u);
    EXPECT_EQ(u32(&f[1188]), 0x01020304u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[20])), "camsim default");
    EXPECT_NEAR(f64(&f[84]), 157.262, 1e-9);
    EXPECT_NEAR(f64(&f[92]), 122.083, 1e-9);

    const std::vector<Block> blocks = parse_current_file(f);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].freq, 12000000u);
    EXPECT_EQ(blocks[1].freq, 20000000u);
    EXPECT_EQ(blocks[0].value_scale, 30000);  // rescaled by the host
    EXPECT_EQ(blocks[1].value_scale, 32768);  // taken as is
    for (const Block &b : blocks) {
        EXPECT_FLOAT_EQ(b.box_len_cm, 29.5f);
        EXPECT_EQ(b.cb_temp, 350);
        EXPECT_EQ(b.ib_temp, 300);
        EXPECT_EQ(b.width, 320);
        EXPECT_EQ(b.height, 240);
        EXPECT_EQ(b.plane_um[0], 0);
        const int32_t step_um = b.plane_um[1];
        for (int k = 0; k < b.planes; ++k) EXPECT_EQ(b.plane_um[k], k * step_um);
        // The planes climb monotonically for every pixel: no phase wraps inside a block.
        for (size_t i = 0; i < kN; ++i) {
            for (int k = 1; k < b.planes; ++k) ASSERT_GT(b.values[k][i], b.values[k - 1][i]);
        }
    }
}

TEST(CalibGen, LegacyFormatLayout) {
    FrameGenerator gen(FrameGenConfig{});
    CalibGenOptions opt;
    opt.legacy = true;
    opt.blocks = {{12000000, 3, 1000, 30000}};
    const std::vector<uint8_t> f = make_calib_file(gen, opt);
    EXPECT_EQ(f[0], 139);
    EXPECT_EQ(u32(&f[5]), 1000u);
    EXPECT_EQ(u16(&f[18]), fletcher(&f[20], 1188 - 20));
    EXPECT_EQ(u32(&f[1192]), 1u);
    ASSERT_EQ(f.size(), 1202u + 42 + 3 * 153620);
    EXPECT_EQ(f[1202], 1);                       // unit type
    EXPECT_EQ(u32(&f[1202 + 22]), 3u * 153620);  // payload size
    const Block b = parse_block(&f[1203], &f[1202 + 42], 3 * 153620);
    EXPECT_EQ(b.freq, 12000000u);
    EXPECT_EQ(b.plane_um[2], 2000000);
}

// The host's per-pixel calculation, from the phase of the four samples to millimetres.
class HostDrnu {
  public:
    HostDrnu(const Block &b, uint32_t freq) : b_(b) {
        range_ = static_cast<uint32_t>(149896229000.0 / static_cast<float>(freq));
        box_mm_ = static_cast<uint32_t>(10 * b.box_len_cm);
        box_phase_ = (box_mm_ << 15) / range_;
        step_ = static_cast<float>(((b.plane_um[1] / 1000u) << 15) / range_);
        tcoef_s_ph_ = 1.7f * 32768 / range_;
        tcoef_ib_ph_ = 0.33765f * 32768 / range_;
    }
    uint32_t range() const { return range_; }

    // phase: 0..32767; i: pixel index in readout order.
    int64_t distance(int phase, size_t i, int16_t t_sensor, int16_t t_ib) const {
        const float drift =
            (t_ib - b_.ib_temp) * tcoef_ib_ph_ + (t_sensor - b_.cb_temp) * tcoef_s_ph_;
        const int64_t h = static_cast<int64_t>(phase - drift);
        const int p = b_.planes;
        auto L = [&](int k) { return static_cast<int64_t>(b_.values[k][i]); };
        int64_t k = 0, lower, upper;
        if (h < L(0)) {
            lower = L(0), upper = L(1);
        } else if (h < L(p - 1)) {
            k = (p - 1) * (h - L(0)) / (L(p - 1) - L(0));
            lower = L(k), upper = L(k + 1);
        } else {
            k = p - 2;
            lower = L(p - 2), upper = L(p - 1);
        }
        const int64_t q = static_cast<int64_t>(step_ * k + (h - lower) * step_ / (upper - lower));
        const int64_t ph = static_cast<int64_t>(box_phase_ + q);
        int64_t v = (ph * range_) >> 15;
        if (v < 0) v += range_;
        if (v > range_) v -= range_;
        return v;
    }

  private:
    const Block &b_;
    uint32_t range_, box_mm_, box_phase_;
    float step_, tcoef_s_ph_, tcoef_ib_ph_;
};

int sample_phase(const std::vector<uint8_t> &frame, size_t i) {
    auto d = [&](int k) { return u16(&frame[2 * (k * kN + i)]) & 0xfff; };
    double turns = std::atan2(d(3) - d(1), d(2) - d(0)) / (2 * std::numbers::pi);
    if (turns < 0) turns += 1;
    return (static_cast<int>(turns * 32768) + 16384) % 32768;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * (v.size() - 1))];
}

struct DecodeCase {
    uint32_t freq;
    int16_t t_sensor, t_ib;
    bool noise;
};

class CalibratedDecode : public ::testing::TestWithParam<DecodeCase> {};

std::ostream &operator<<(std::ostream &os, const DecodeCase &c) {
    return os << c.freq << " Hz t=" << c.t_sensor << "/" << c.t_ib << " noise=" << c.noise;
}

TEST_P(CalibratedDecode, RemovesOffsetDriftAndFixedPattern) {
    const DecodeCase c = GetParam();
    FrameGenConfig cfg;
    cfg.noise = c.noise;
    cfg.seed = 5;
    FrameGenerator gen(cfg);
    const std::vector<Block> blocks = parse_current_file(make_calib_file(gen));
    const Block &blk = blocks[c.freq == 12000000 ? 0 : 1];
    ASSERT_EQ(blk.freq, c.freq);
    const HostDrnu host(blk, c.freq);

    SensorState st;
    st.mod_freq_hz = c.freq;
    st.t_sensor = c.t_sensor;
    st.t_ib = c.t_ib;
    std::vector<uint8_t> frame;
    gen.make_frame(st, frame);
    const std::vector<float> truth = gen.truth_mm();
    std::vector<double> err, err_uncal;
    for (uint32_t s = 0; s < kH; ++s) {
        const uint32_t row = (s % 2 == 0) ? kH / 2 - 1 - s / 2 : kH / 2 + s / 2;
        for (uint32_t x = 0; x < kW; ++x) {
            const size_t i = size_t{s} * kW + x;
            const double want = truth[size_t{row} * kW + x];
            const double got =
                static_cast<double>(host.distance(sample_phase(frame, i), i, c.t_sensor, c.t_ib));
            err.push_back(std::fabs(got - want));
            err_uncal.push_back(std::fabs(got - want - gen.fpn_mm()[size_t{row} * kW + x]));
        }
    }
    // With noise the far, dark corners of the room spread most (about 150 mm sigma at 12 MHz).
    const bool slow = c.freq == 12000000;
    EXPECT_LT(percentile(err, 0.5), c.noise ? (slow ? 40 : 25) : 6);
    EXPECT_LT(percentile(err, 0.99), c.noise ? (slow ? 400 : 250) : 30);
    if (!c.noise) {
        // Without removing the fixed pattern the errors would be about its 20 mm sigma.
        EXPECT_GT(percentile(err_uncal, 0.5), 10);
    }
}

INSTANTIATE_TEST_SUITE_P(
    FrequenciesAndTemperatures, CalibratedDecode,
    ::testing::Values(DecodeCase{12000000, 350, 300, false}, DecodeCase{20000000, 350, 300, false},
                      DecodeCase{12000000, 480, 395, false}, DecodeCase{20000000, 260, 240, false},
                      DecodeCase{12000000, 350, 300, true}, DecodeCase{20000000, 420, 330, true}));

// The host also fits a global scale and offset from plane 0 and the middle plane for its
// simple calculation; with this file they come out as 1000 um/mm and the raw offset plus the
// calibration-time drift.
TEST(CalibGen, GlobalFitGivesUnitScaleAndTheRawOffset) {
    FrameGenConfig cfg;
    cfg.fpn = false;
    FrameGenerator gen(cfg);
    for (const Block &b : parse_current_file(make_calib_file(gen))) {
        const float range = static_cast<float>(149896229000.0 / static_cast<float>(b.freq));
        const size_t mid = b.planes / 2;
        uint64_t s0 = 0, sm = 0, n = 0;
        for (size_t i = 0; i < kN; ++i) {
            if (i % 320 == 319) continue;
            s0 += b.values[0][i];
            sm += b.values[mid][i];
            ++n;
        }
        const float m0 = static_cast<float>(s0 / n), mm = static_cast<float>(sm / n);
        const float box = std::trunc(10 * b.box_len_cm);
        const float p0 = m0 * range / 32768, pm = mm * range / 32768;
        const float target = std::trunc(b.plane_um[mid] / 1000 + 10 * b.box_len_cm);
        const float f = (target - box) / (pm - p0);
        const float o = box - p0 * f;
        EXPECT_NEAR(f * 1000, 1000, 3) << b.freq;
        EXPECT_NEAR(o, -2000 - 696, 6) << b.freq;  // drift at 35.0 / 30.0 degC: 696 mm
    }
}

TEST(CalibGen, PinholeLensNamed) {
    FrameGenConfig cfg;
    cfg.pinhole_lens = true;
    FrameGenerator gen(cfg);
    const std::vector<uint8_t> f = make_calib_file(gen);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&f[20])), "camsim pinhole");
}

TEST(CalibGen, RejectsWhatTheFileCannotHold) {
    FrameGenerator gen(FrameGenConfig{});
    auto with = [](std::vector<CalibBlockSpec> blocks) {
        CalibGenOptions o;
        o.blocks = std::move(blocks);
        return o;
    };
    EXPECT_THROW(make_calib_file(gen, with({{12000000, 1, 500, 30000}})), std::invalid_argument);
    EXPECT_THROW(make_calib_file(gen, with({{12000000, 3, 500, 0}})), std::invalid_argument);
    EXPECT_THROW(make_calib_file(gen, with({{12000000, 3, 500, 40000}})), std::invalid_argument);
    EXPECT_THROW(make_calib_file(gen, with({{0, 3, 500, 30000}})), std::invalid_argument);
    EXPECT_THROW(
        make_calib_file(gen, with(std::vector<CalibBlockSpec>(8, {12000000, 2, 500, 30000}))),
        std::invalid_argument);
    FrameGenConfig small;
    small.width = 160;
    small.height = 120;
    EXPECT_THROW(make_calib_file(FrameGenerator(small)), std::invalid_argument);
    // No blocks at all is a valid (empty) file.
    const std::vector<uint8_t> empty = make_calib_file(gen, with({}));
    EXPECT_EQ(empty.size(), 1202u);
    EXPECT_EQ(u32(&empty[1196]), 0u);
    EXPECT_EQ(u16(&empty[1200]), 0u);
}

}  // namespace
}  // namespace camsim
