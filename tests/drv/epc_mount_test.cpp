// Calibration mount from parameter files made by the simulator's generator,
// and the calibrated distance against the simulator's ground truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "calib_gen.h"
#include "core/le.h"
#include "epc_test_util.h"
#include "frame_gen.h"
#include "kavri/epc.h"

namespace {

using namespace epc_test;

camsim::FrameGenConfig gen_cfg(bool noise = true, bool fpn = true) {
    camsim::FrameGenConfig c;
    c.noise = noise;
    c.fpn = fpn;
    return c;
}

struct ErrorStats {
    double median = 0, p99 = 0;
    size_t valid = 0;
};

// Absolute error of a decoded distance image (mm) against the truth over the
// pixels with a distance.
ErrorStats error_stats(const std::vector<uint16_t> &mm, const std::vector<float> &truth) {
    std::vector<double> err;
    for (size_t i = 0; i < mm.size(); ++i)
        if (mm[i] <= KAVRI_DIST_MAX_VALID) err.push_back(std::fabs(mm[i] - truth[i]));
    ErrorStats s;
    s.valid = err.size();
    if (err.empty()) return s;
    std::sort(err.begin(), err.end());
    s.median = err[err.size() / 2];
    s.p99 = err[err.size() * 99 / 100];
    return s;
}

std::vector<uint16_t> decode(Driver &d, const std::vector<uint8_t> &raw, uint32_t kind = 1) {
    kavri_frame_info_t info{};
    info.frame_size = static_cast<uint32_t>(raw.size());
    info.frame_format = 2;
    info.width = kW;
    info.height = kH;
    std::vector<uint16_t> out(kN);
    const int32_t r = epc_frame_decode(d.drv(), out.data(), kN * 2, kind,
                                       reinterpret_cast<const uint16_t *>(raw.data()),
                                       static_cast<uint32_t>(raw.size()), &info);
    EXPECT_EQ(r, static_cast<int32_t>(kN * 2));
    return out;
}

class EpcMount : public ::testing::Test {
  protected:
    void SetUp() override {
        gen_ = std::make_unique<camsim::FrameGenerator>(gen_cfg());
        write_bytes(file_.path(), camsim::make_calib_file(*gen_));
    }
    std::vector<uint8_t> frame(uint32_t freq, int16_t ts, int16_t tib, uint16_t intg = 400) {
        camsim::SensorState s;
        s.intg_time = intg;
        s.mod_freq_hz = freq;
        s.t_sensor = ts;
        s.t_ib = tib;
        std::vector<uint8_t> out;
        gen_->make_frame(s, out);
        return out;
    }
    std::unique_ptr<camsim::FrameGenerator> gen_;
    TempFile file_{"calib"};
};

TEST_F(EpcMount, FirstMountTakesTheFirstBlockAndFitsScaleAndOffset) {
    Driver d;
    LogCapture log(KV_LOG_TRC);
    const int32_t mounted = d.mount_file(file_.path());
    EXPECT_TRUE(log.has("scale 30000 -> 32768"));
    log.text();
    ASSERT_EQ(mounted, 1);
    EXPECT_EQ(d.st().mod_freq, 12000000u);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 1);
    EXPECT_EQ(d.calib().planes, 13);
    EXPECT_EQ(d.calib().step_mm, 500);
    EXPECT_EQ(d.calib().cb_temp, 350);
    EXPECT_EQ(d.calib().ib_temp, 300);
    EXPECT_EQ(d.st().box_mm, 295);
    // The phase model's raw distance is true distance + 2000 + drift at calibration.
    EXPECT_NEAR(d.calib().scale_um, 1000, 5);
    EXPECT_NEAR(d.calib().offset_mm, -2000 - 696, 15);  // drift 0.33765 x 300 + 1.7 x 350
}

// Pixels whose 7 x 7 neighbourhood spans less than 60 mm of true depth: the
// smoothing chain mixes surfaces only across depth edges.
std::vector<uint8_t> away_from_edges(const std::vector<float> &t) {
    std::vector<uint8_t> keep(kN, 0);
    const int w = static_cast<int>(kW), h = static_cast<int>(kH);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float lo = 1e9f, hi = -1e9f;
            for (int dy = -3; dy <= 3; ++dy)
                for (int dx = -3; dx <= 3; ++dx) {
                    const float v =
                        t[size_t(std::clamp(y + dy, 0, h - 1) * w + std::clamp(x + dx, 0, w - 1))];
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
            keep[size_t(y * w + x)] = hi - lo < 60.0f;
        }
    return keep;
}

TEST_F(EpcMount, CalibratedDistanceMatchesTheTruthAtBothFrequencies) {
    Driver d;
    ASSERT_EQ(d.mount_file(file_.path()), 1);
    d.st().calib_en = 1;
    const std::vector<float> truth = gen_->truth_mm();
    const std::vector<uint8_t> plain = away_from_edges(truth);
    for (uint32_t freq : {12000000u, 20000000u}) {
        d.set_freq(freq);
        ASSERT_EQ(epc_calc_calib_loaded(d.drv()), 1) << freq;
        d.st().t_sensor = 420;  // warmer than at calibration: the drift is taken out
        d.st().t_ib = 380;
        // An integration time that lifts the far, dark pixels well above the
        // sample noise without saturating the near ones.
        std::vector<uint16_t> mm = decode(d, frame(freq, 420, 380, 1000));
        const ErrorStats all = error_stats(mm, truth);
        EXPECT_LE(all.median, 5.0) << freq;
        EXPECT_GT(all.valid, kN * 9 / 10) << freq;
        for (size_t i = 0; i < kN; ++i)
            if (!plain[i]) mm[i] = KAVRI_DIST_REMOVED;
        const ErrorStats flat = error_stats(mm, truth);
        EXPECT_LE(flat.median, 5.0) << freq;
        EXPECT_LE(flat.p99, 25.0) << freq;
        std::printf(
            "calibrated %u Hz: all valid median %.2f p99 %.2f; off edges median %.2f "
            "p99 %.2f\n",
            freq, all.median, all.p99, flat.median, flat.p99);
    }
}

TEST_F(EpcMount, WithoutPerPixelCalibrationTheFixedPatternRemains) {
    // Without sample noise and smoothing only the fixed pattern (and the
    // sample rounding) is left to see.
    camsim::FrameGenerator quiet(gen_cfg(false, true));
    Driver d;
    ASSERT_EQ(d.mount_file(file_.path()), 1);
    d.st().smooth_en = 0;
    d.st().calib_en = 1;
    d.st().t_sensor = 350;
    d.st().t_ib = 300;
    camsim::SensorState s;
    s.intg_time = 1000;
    std::vector<uint8_t> raw;
    quiet.make_frame(s, raw);
    const ErrorStats with = error_stats(decode(d, raw), quiet.truth_mm());
    d.st().calib_en = 0;
    const ErrorStats without = error_stats(decode(d, raw), quiet.truth_mm());
    EXPECT_LE(with.median, 3.0);
    // The pattern has a sigma of 20 mm: its median absolute value is about 13 mm.
    EXPECT_GT(without.median, 8.0);
    EXPECT_GT(without.p99, 40.0);
    EXPECT_LT(with.p99 * 2, without.p99);
}

TEST_F(EpcMount, FrequencyWithoutBlockUnmountsAndFallsBackToDefaults) {
    Driver d;
    ASSERT_EQ(d.mount_file(file_.path()), 1);
    d.set_freq(15000000);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0);
    EXPECT_EQ(d.calib().scale_um, 1000);
    EXPECT_EQ(d.calib().offset_mm, -2000);
    d.set_freq(20000000);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 1);
}

TEST_F(EpcMount, RepeatedMountDoesNotNormaliseTwice) {
    Driver d;
    ASSERT_EQ(d.mount_file(file_.path()), 1);
    const std::vector<uint16_t> before(d.calib().drnu.get(), d.calib().drnu.get() + kN);
    const int32_t scale = d.calib().scale_um, offset = d.calib().offset_mm;
    LogCapture log(KV_LOG_TRC);
    const int32_t again = epc_calc_mount_calib(d.drv());
    EXPECT_TRUE(log.has("Calib data already loaded"));
    EXPECT_FALSE(log.has("scale 30000 -> 32768"));
    log.text();
    ASSERT_EQ(again, 1);
    const std::vector<uint16_t> after(d.calib().drnu.get(), d.calib().drnu.get() + kN);
    EXPECT_EQ(before, after);
    EXPECT_EQ(d.calib().scale_um, scale);
    EXPECT_EQ(d.calib().offset_mm, offset);
}

TEST(EpcMountFile, OnlyBlockAt20MHzSetsTheFrequencyAndScale32768IsKept) {
    camsim::FrameGenerator gen(gen_cfg(false, false));
    camsim::CalibGenOptions opt;
    opt.blocks = {{20000000, 11, 400, 32768}};
    TempFile f("only20");
    write_bytes(f.path(), camsim::make_calib_file(gen, opt));
    Driver d;
    LogCapture log(KV_LOG_TRC);
    const int32_t mounted = d.mount_file(f.path());
    EXPECT_FALSE(log.has("scale 32768 -> "));
    log.text();
    ASSERT_EQ(mounted, 1);
    EXPECT_EQ(d.st().mod_freq, 20000000u);
    EXPECT_EQ(d.st().range_mm, 7494u);
    d.set_freq(12000000);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0);
    EXPECT_EQ(d.calib().scale_um, 1000);
    EXPECT_EQ(d.calib().offset_mm, -2000);
    EXPECT_EQ(d.st().range_mm, 12491u);
}

TEST(EpcMountFile, LegacyFileMountsAlike) {
    camsim::FrameGenerator gen(gen_cfg());
    camsim::CalibGenOptions opt;
    opt.legacy = true;
    TempFile f("legacy");
    write_bytes(f.path(), camsim::make_calib_file(gen, opt));
    Driver d;
    ASSERT_EQ(d.mount_file(f.path()), 1);
    EXPECT_EQ(d.st().mod_freq, 12000000u);
    EXPECT_EQ(d.calib().planes, 13);
}

TEST(EpcMountFile, MissingOrInvalidFileLeavesDefaults) {
    Driver d;
    d.st().param_valid = 0;
    EXPECT_EQ(epc_calc_mount_calib(d.drv()), -1);
    EXPECT_EQ(d.mount_file("/nonexistent/kavri_param_1.bin"), -1);
    EXPECT_EQ(d.calib().scale_um, 1000);
    EXPECT_EQ(d.calib().offset_mm, -2000);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0);
}

// Patches the first block's driver header of a generated current-format file.
std::vector<uint8_t> patched_file(const camsim::FrameGenerator &gen, uint8_t planes, bool flatten) {
    camsim::CalibGenOptions opt;
    opt.blocks = {{12000000, 3, 500, 32768}};
    std::vector<uint8_t> f = camsim::make_calib_file(gen, opt);
    const size_t blk = 1202 + 5;  // driver header of the only block
    f[blk + 20] = planes;
    if (flatten) {  // plane 1 equal to plane 0 for every pixel
        const size_t p0 = blk + 37 + 20, p1 = p0 + 153620;
        std::copy(f.begin() + p0, f.begin() + p0 + 153600, f.begin() + p1);
    }
    return f;  // checksums no longer match: the loader does not verify them
}

TEST(EpcMountFile, FewerThanTwoPlanesGiveNoDistance) {
    camsim::FrameGenerator gen(gen_cfg(false, false));
    TempFile f("oneplane");
    write_bytes(f.path(), patched_file(gen, 1, false));
    Driver d;
    ASSERT_EQ(d.mount_file(f.path()), 1);
    EXPECT_EQ(d.calib().scale_um, 1000);  // nothing to fit with one plane
    std::vector<uint16_t> raw = uniform_frame(kN, 8000, 500), dist(kN), amp(kN);
    ASSERT_EQ(calc_dist_calib_drnu(d.drv(), dist.data(), amp.data(), raw.data(), kW, kH, 4), 1);
    EXPECT_TRUE(std::all_of(dist.begin(), dist.end(), [](uint16_t v) { return v == 65500; }));
    EXPECT_NEAR(amp[0], 500, 2);
}

TEST(EpcMountFile, EqualNeighbouringPlanesGiveNoDistance) {
    camsim::FrameGenerator gen(gen_cfg(false, false));
    TempFile f("flat");
    write_bytes(f.path(), patched_file(gen, 3, true));
    Driver d;
    ASSERT_EQ(d.mount_file(f.path()), 1);
    // A phase below plane 0 brackets with planes 0 and 1, which are equal.
    std::vector<uint16_t> raw = uniform_frame(kN, 10, 500), dist(kN), amp(kN);
    ASSERT_EQ(calc_dist_calib_drnu(d.drv(), dist.data(), amp.data(), raw.data(), kW, kH, 4), 1);
    EXPECT_EQ(dist[kN / 2], 65500);
}

TEST(EpcMountFile, BlockShorterThanItsPlanesIsRefused) {
    camsim::FrameGenerator gen(gen_cfg(false, false));
    TempFile f("short");
    write_bytes(f.path(), patched_file(gen, 200, false));
    Driver d;
    EXPECT_EQ(d.mount_file(f.path()), -1);
    EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0);
}

TEST(EpcMountFile, RefusedBlockChoosesNoFrequency) {
    camsim::FrameGenerator gen(gen_cfg(false, false));
    camsim::CalibGenOptions opt;
    opt.blocks = {{20000000, 3, 400, 32768}};
    std::vector<uint8_t> file = camsim::make_calib_file(gen, opt);
    const size_t box_len = 1202 + 5 + 8;  // f32 box length in the only block's driver header
    for (const float bad : {-1.0f, NAN, 1.0e9f}) {
        kavri::le::put_u32(file.data() + box_len, std::bit_cast<uint32_t>(bad));
        TempFile f("badbox");
        write_bytes(f.path(), file);
        Driver d;
        EXPECT_EQ(d.mount_file(f.path()), -1);
        // Nothing mounted: the driver stays at its default frequency.
        EXPECT_EQ(d.st().mod_freq, 12000000u) << bad;
        EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0);
    }
}

TEST(EpcMountFile, ScaleOffsetFitOfTwoPlanes) {
    Driver d;
    d.set_freq(12000000);
    d.calib().box_len_cm = 30.0f;
    // Plane 0 at phase 2000, middle plane 1000 mm further at phase 2000 + 1000/12491 period.
    std::vector<uint8_t> p0(153620), pm(153620);
    kavri::le::put_u32(pm.data(), 1000 * 1000);
    for (size_t i = 0; i < kN; ++i) {
        kavri::le::put_u16(p0.data() + 20 + 2 * i, 2000);
        kavri::le::put_u16(pm.data() + 20 + 2 * i, 2000 + 2623);  // 2623 = 1000 * 32768 / 12491
    }
    float scale = 0, offset = 0;
    _calc_scale_offset(d.drv(), &scale, &offset, p0.data(), pm.data());
    EXPECT_NEAR(scale, 1.0f, 0.001f);
    EXPECT_NEAR(offset, 300.0f - 2000.0f * 12491.35f / 32768.0f, 1.0f);
}

}  // namespace
