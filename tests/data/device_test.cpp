// The device-handle entry points on a camera opened through the camera API.
#include <gtest/gtest.h>

#include "camsim.h"
#include "common/sim_leak_check.h"
#include "data/data_fixture.h"
#include "kavri.h"

namespace kavri_test {
namespace {

class DataDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
        camsim_clear();
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.chip = CAMSIM_CHIP_T0;  // no calibration to pull at open
        cam_ = camsim_plug(&cfg);
        ASSERT_GE(cam_, 0);
        ASSERT_EQ(camsim_data_set_erase_time(cam_, kTestEraseMs), CAMSIM_OK);
        ASSERT_NE(kavri_dev_open(&dev_), nullptr);
        path_ = ::testing::TempDir() + "kavri_data_device_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    void TearDown() override {
        kavri_dev_close(&dev_);
        std::remove(path_.c_str());
        std::remove((path_ + ".up").c_str());
        kavri_testing::expect_nothing_left_behind();
        camsim_clear();
    }

    int cam_ = -1;
    kavri_dev_t dev_{};
    std::string path_;
};

TEST_F(DataDeviceTest, DownloadAndUploadThroughTheHandle) {
    const auto image = random_bytes(1500, 31);
    write_file(path_, image);
    EXPECT_EQ(kavri_data_download(&dev_, path_.c_str(), 5, 3, 0x1234), 1);
    EXPECT_EQ(dev_.api_busy, 0);
    EXPECT_EQ(flash_image(cam_, 5), image);

    EXPECT_EQ(kavri_data_upload(&dev_, 5, (path_ + ".up").c_str()), 1);
    EXPECT_EQ(dev_.api_busy, 0);
    EXPECT_EQ(read_file(path_ + ".up"), image);
}

TEST_F(DataDeviceTest, FirmwareUpgradeThroughTheHandle) {
    const auto image = random_bytes(700, 32);
    write_file(path_, image);
    EXPECT_EQ(kavri_firmware_upgrade(&dev_, 7, 11, path_.c_str()), 1);
    camsim_data_info_t info{};
    EXPECT_EQ(flash_image(cam_, 7, &info), image);
    EXPECT_EQ(info.version, 11);
}

TEST_F(DataDeviceTest, ClosedHandleIsRefused) {
    write_file(path_, random_bytes(100, 33));
    kavri_dev_close(&dev_);
    EXPECT_EQ(kavri_data_download(&dev_, path_.c_str(), 5, 1, 0), -1);
    EXPECT_EQ(kavri_data_upload(&dev_, 5, path_.c_str()), -1);
    camsim_data_stats_t s{};
    ASSERT_EQ(camsim_data_get_stats(cam_, &s), CAMSIM_OK);
    EXPECT_EQ(s.starts, 0u);
    EXPECT_EQ(s.info_requests, 0u);
}

}  // namespace
}  // namespace kavri_test
