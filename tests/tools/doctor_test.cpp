// kavri-cli doctor in-process on the simulator, where faults can be injected:
// a permission error names the udev rule, a full-speed port is reported.
#include <camsim.h>
#include <gtest/gtest.h>

#include <string>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "tools/cli_runner.h"

namespace kavri::cli_test {
namespace {

constexpr int kManyOpens = 100;

class Doctor : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("CAMSIM_CALIB", "none", 1);
        camsim_reset();
        g_.workdir = work_.path();
    }
    void TearDown() override { camsim_reset(); }

    std::string run(int &status) {
        ::testing::internal::CaptureStdout();
        status = cli::run_doctor(g_);
        return ::testing::internal::GetCapturedStdout();
    }

    TempDir work_;
    cli::GlobalOptions g_;
};

TEST_F(Doctor, PermissionErrorNamesTheUdevRule) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_OPEN_FAIL, kManyOpens, 0, nullptr), 0);
    int status = -1;
    const std::string out = run(status);
    EXPECT_EQ(status, cli::kExitDoctorFound);
    EXPECT_NE(out.find("FAIL  camera at 1:1: permission denied"), std::string::npos) << out;
    EXPECT_NE(out.find("60-kavri.rules"), std::string::npos) << out;
    EXPECT_NE(out.find("udevadm"), std::string::npos) << out;
}

TEST_F(Doctor, FullSpeedPortIsReported) {
    camsim_clear();
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.speed = 2;  // full speed: a USB 1.1 port or hub
    ASSERT_GE(camsim_plug(&cfg), 0);
    int status = -1;
    const std::string out = run(status);
    EXPECT_EQ(status, cli::kExitDoctorFound);
    EXPECT_NE(out.find("FAIL  camera at 1:1 runs at full speed"), std::string::npos) << out;
    EXPECT_NE(out.find("ok    camera at 1:1: can be opened"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("ok    the library computes with ") + kavri_get_isa()),
              std::string::npos)
        << out;
}

TEST_F(Doctor, OldFirmwareCannotSendItsCalibration) {
    const uint8_t versions[8] = {0x02, 0x01, 132, 0, 0x03, 0, 0, 0};  // SW 132
    ASSERT_EQ(camsim_param_set(0, KAVRI_PARAM_VERSION, versions, sizeof versions), 0);
    int status = -1;
    const std::string out = run(status);
    EXPECT_EQ(status, cli::kExitDoctorFound);
    EXPECT_NE(out.find("FAIL  firmware version 132 cannot send its calibration"), std::string::npos)
        << out;
}

}  // namespace
}  // namespace kavri::cli_test
