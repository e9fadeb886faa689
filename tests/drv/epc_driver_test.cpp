// Driver operations without a camera: frame description, lens parameters and
// their file, the filter switch, frequency constants, register access checks.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "drv/epc_lens.h"
#include "epc_test_util.h"
#include "kavri/epc.h"

namespace {

using namespace epc_test;

kv_stream_frame_info_t raw_info(uint32_t len, uint16_t fmt, uint16_t w, uint16_t h, int16_t ts,
                                int16_t tib) {
    kv_stream_frame_info_t r{};
    r.frlen = len;
    r.fridx = 7;
    r.frfmt = fmt;
    r.desc[0] = w | (uint32_t(h) << 16);
    r.desc[1] = uint16_t(ts) | (uint32_t(uint16_t(tib)) << 16);
    return r;
}

TEST(EpcDriver, FrameInfoDefaultsAndSizeCheck) {
    Driver d;
    d.st().temp_monitor_en = 0;
    kavri_frame_info_t out{};
    kv_stream_frame_info_t r = raw_info(614400, 2, 0, 0, 400, 0);
    ASSERT_EQ(epc_frame_get_info(d.drv(), &out, &r), 1);
    EXPECT_EQ(out.width, 320u);
    EXPECT_EQ(out.height, 240u);
    EXPECT_EQ(out.pixel_width, 8);
    EXPECT_EQ(out.frame_idx, 7);
    EXPECT_EQ(d.st().t_sensor, 400);
    EXPECT_EQ(d.st().t_ib, 400);  // no board sensor: the sensor stands in
    r = raw_info(614401, 2, 0, 0, 400, 300);
    EXPECT_EQ(epc_frame_get_info(d.drv(), &out, &r), 0);
    EXPECT_EQ(d.st().t_ib, 300);
    r = raw_info(153600 * 3 + 5, 171, 0, 0, 400, 300);  // calibration data: any size
    EXPECT_EQ(epc_frame_get_info(d.drv(), &out, &r), 1);
    EXPECT_EQ(out.frame_format, 171);
}

TEST(EpcDriver, CalibrationDataFramesKeepTheLastTemperatures) {
    // Their description words carry no temperatures (zeros in practice):
    // the drift correction goes on with those of the last image frame.
    Driver d;
    d.st().temp_monitor_en = 0;
    kavri_frame_info_t out{};
    kv_stream_frame_info_t r = raw_info(614400, 2, 0, 0, 412, 305);
    ASSERT_EQ(epc_frame_get_info(d.drv(), &out, &r), 1);
    r = raw_info(153600, 171, 0, 0, 0, 0);
    ASSERT_EQ(epc_frame_get_info(d.drv(), &out, &r), 1);
    EXPECT_EQ(d.st().t_sensor, 412);
    EXPECT_EQ(d.st().t_ib, 305);
}

TEST(EpcDriver, LensParametersScaleToTheFrame) {
    Driver d;
    kv_lens_param_t l{};
    ASSERT_EQ(epc_lens_param_get(d.drv(), &l, 160, 120), 1);
    EXPECT_NEAR(l.cx, 78.631, 1e-9);
    EXPECT_NEAR(l.cy, 61.0415, 1e-9);
    EXPECT_NEAR(l.fx, 105.3915, 1e-9);
    EXPECT_NEAR(l.fy, 102.4085, 1e-9);
    EXPECT_EQ(l.img_w, 160);
    LogCapture log(KV_LOG_WRN);
    EXPECT_EQ(epc_lens_param_get(d.drv(), &l, 300, 240), 0);
    EXPECT_EQ(epc_lens_param_get(d.drv(), &l, 640, 480), 0);  // larger than the lens' image
    EXPECT_EQ(epc_lens_param_get(d.drv(), &l, 0, 240), 0);
    EXPECT_TRUE(log.has("lens param not match the frame size: lens: 320x240, frame: 300x240"));
}

// Each case writes its own folder: ctest runs the cases as parallel
// processes, and one shared file let one case read another's text.
class LensFile : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "kavri_lens_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl + "/";
    }
    void TearDown() override {
        std::remove((dir_ + "lens_param.txt").c_str());
        ::rmdir(dir_.c_str());
        kavri::epc::set_lens_param(saved_);
    }
    void write(const std::string &text) {
        FILE *f = std::fopen((dir_ + "lens_param.txt").c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::string dir_;
    kv_lens_param_t saved_ = kavri::epc::lens_param();
};

TEST_F(LensFile, ElevenTokensReplaceTheRecord) {
    write("160 120 200 201\n-0.1 0.01 0 0 0.001\n320 240\n");
    kavri::epc::update_lens_param(dir_.c_str());
    const kv_lens_param_t &l = kavri::epc::lens_param();
    EXPECT_EQ(l.cx, 160.0);
    EXPECT_EQ(l.fy, 201.0);
    EXPECT_EQ(l.dcoeff[4], 0.001);
    EXPECT_EQ(l.img_h, 240);
}

TEST_F(LensFile, TenTokensKeepWhatWasReadAndWarn) {
    write("150 110 190 191 -0.2 0.02 0 0 0.002 320");
    LogCapture log(KV_LOG_WRN);
    kavri::epc::update_lens_param(dir_.c_str());
    EXPECT_TRUE(log.has("len param file lens_param.txt load failed"));
    log.text();
    EXPECT_EQ(kavri::epc::lens_param().cx, 150.0);
    EXPECT_EQ(kavri::epc::lens_param().img_w, 320);
}

TEST_F(LensFile, LongTokenIsNoOverflow) {
    write(std::string(5000, '1') + " 1 2 3 4 5 6 7 8 9 10");
    LogCapture log(KV_LOG_WRN);
    kavri::epc::update_lens_param(dir_.c_str());
    EXPECT_TRUE(log.has("load failed"));  // the long token counts as several
}

TEST(EpcDriver, FilterSwitchStoresArguments) {
    Driver d;
    // Without calibration the switch is set but reports that nothing is mounted.
    EXPECT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_CALIB, nullptr, 0), 0);
    EXPECT_EQ(d.st().calib_en, 1);
    const uint8_t level = 3;
    EXPECT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_SMOOTH, &level, 1), 1);
    EXPECT_EQ(d.st().smooth_level, 3);
    const int32_t off = -25;
    EXPECT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_OFFSET, &off, 4), 1);
    EXPECT_EQ(d.st().user_offset_mm, -25);
    EXPECT_EQ(epc_filter_disable(d.drv(), KAVRI_FILTER_OFFSET), 1);
    EXPECT_EQ(d.st().offset_en, 0);
    EXPECT_EQ(d.st().user_offset_mm, -25);
    const uint16_t ratio = 20;
    EXPECT_EQ(epc_filter_enable(d.drv(), KAVRI_FILTER_AUTO_INTG, &ratio, 2), 1);
    EXPECT_EQ(d.st().sat_ratio, 20);
    EXPECT_EQ(epc_filter_disable(d.drv(), KAVRI_FILTER_AUTO_INTG), 1);
    EXPECT_EQ(d.st().sat_ratio, 0);
    EXPECT_EQ(epc_filter_enable(d.drv(), 3, nullptr, 0), 1);
    EXPECT_EQ(epc_filter_enable(d.drv(), 42, nullptr, 0), 1);
}

TEST(EpcDriver, FrequencySetsRangeAndBoxPhase) {
    Driver d;
    d.set_freq(12000000);
    EXPECT_EQ(d.st().range_mm, 12491u);
    EXPECT_EQ(d.st().box_phase, (295u << 15) / 12491u);
    EXPECT_NEAR(d.st().tcoef_sensor_ph, 1.7f * 32768 / 12491, 1e-4);
    d.set_freq(20000000);
    EXPECT_EQ(d.st().range_mm, 7494u);
}

TEST(EpcDriver, RegisterAccessIsChecked) {
    Driver d;
    uint32_t v = 0;
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(_epc_reg_rw(d.drv(), 'w', 256, 1, &v), -1);
    EXPECT_EQ(_epc_reg_rw(d.drv(), 'x', 10, 1, &v), -1);
    EXPECT_EQ(_epc_reg_rw(d.drv(), 'r', 10, 1, &v), -1);  // no camera behind the record
    EXPECT_TRUE(log.has("reg address 256 is out of range."));
    EXPECT_TRUE(log.has("reg write fail!"));
}

TEST(EpcDriver, TwoDevicesShareOneState) {
    kavri_drv_t drv{};
    LogCapture quiet(KV_LOG_OFF);
    ASSERT_EQ(epc_init(&drv, nullptr), 1);
    void *first = drv.priv;
    ASSERT_EQ(epc_init(&drv, nullptr), 1);
    EXPECT_EQ(drv.priv, first);
    epc_uninit(&drv);
    EXPECT_EQ(drv.priv, first);  // the other device still uses it
    epc_uninit(&drv);
    EXPECT_EQ(drv.priv, nullptr);
}

}  // namespace
