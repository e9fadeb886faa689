// Downloads that go wrong: each camera fault ends the download with its own
// result and log line, and nothing is retried.
#include "data/data_fixture.h"

namespace kavri_test {
namespace {

constexpr uint16_t kVersion = 7;
constexpr uint8_t kPlainType = 5;
constexpr uint8_t kFirmwareType = 1;

TEST_F(DataTest, RejectedStartIsARefusal) {
    const auto old_image = random_bytes(500, 1);
    ASSERT_EQ(camsim_data_put(cam_, kPlainType, 1, old_image.data(), 500), CAMSIM_OK);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_REJECT_START, 1, 0, nullptr), CAMSIM_OK);

    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0,
                                   image_file(random_bytes(2000, 2)).c_str()),
              KAVRI_DATA_REFUSED);
    EXPECT_EQ(log().count("Wrong ACK(NUM:0,VER:7)"), 1u);
    EXPECT_EQ(log().count("[ERR] [kavri_bin_data_write] camera refused the image: start "
                          "acknowledged wrongly (status, next) (2, 0)"),
              1u)
        << log().text();
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_EQ(s.erases, 0u);
    EXPECT_EQ(s.blocks, 0u);
    EXPECT_EQ(flash_image(cam_, kPlainType), old_image);  // untouched
}

// The camera did not take the image: no reboot, no pause, the log stays on.
TEST_F(DataTest, RefusedFirmwareImageDoesNotResetTheBoard) {
    const struct {
        int fault;
        const char *said;
    } refusals[] = {
        {CAMSIM_FAULT_DATA_REJECT_START, "start acknowledged wrongly (status, next) (2, 0)"},
        {CAMSIM_FAULT_DATA_CORRUPT_BLOCK, "block asked for again (block, next) (0, 0)"},
    };
    for (const auto &r : refusals) {
        ASSERT_EQ(camsim_inject(cam_, r.fault, 1, 0, nullptr), CAMSIM_OK);
        EXPECT_EQ(kavri_bin_data_write(ll_, kFirmwareType, kVersion, 0,
                                       image_file(random_bytes(2000, 3)).c_str()),
                  KAVRI_DATA_REFUSED)
            << r.said;
        EXPECT_EQ(log().count(std::string("camera refused the image: ") + r.said), 1u) << r.said;
        EXPECT_EQ(camera_stats(cam_).resets, 0u) << r.said;
        EXPECT_TRUE(sleeps_.empty()) << r.said;
    }
}

TEST_F(DataTest, FailedAcknowledgementFailsTheDownload) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_ACK_FAIL, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_write(ll_, kFirmwareType, kVersion, 0,
                                   image_file(random_bytes(2000, 4)).c_str()),
              -1);
    EXPECT_EQ(log().count("[al_data_read_action_info] Cmd:(0xcc,0x4) failed"), 1u);
    EXPECT_EQ(log().count("data upgrade failed!"), 1u);
    // A failure skips the final step: no reset, no pause.
    EXPECT_EQ(camera_stats(cam_).resets, 0u);
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_EQ(data_stats(cam_).erases, 0u);
}

TEST_F(DataTest, EraseThatNeverEndsIsGivenUp) {
    kavri_data_set_erase_limit(200);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_ERASE_STUCK, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_write(ll_, kFirmwareType, kVersion, 0,
                                   image_file(random_bytes(2000, 5)).c_str()),
              -1);
    EXPECT_EQ(log().count("flash erase still busy after"), 1u);
    EXPECT_EQ(log().count("data upgrade failed!"), 1u);
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_GE(s.erase_busy_acks, 2u);
    EXPECT_EQ(s.blocks, 0u);
    EXPECT_EQ(camera_stats(cam_).resets, 0u);
}

TEST_F(DataTest, CorruptedBlockIsNotSentTwice) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_CORRUPT_BLOCK, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0,
                                   image_file(random_bytes(100000, 6)).c_str()),
              KAVRI_DATA_REFUSED);
    EXPECT_EQ(log().count("Data transfer failed A.indx0, 0"), 1u);
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_EQ(s.blocks, 1u);
    EXPECT_EQ(s.bad_blocks, 1u);
    EXPECT_EQ(s.images_written, 0u);
    EXPECT_TRUE(flash_image(cam_, kPlainType).empty());  // erased, not written
}

TEST_F(DataTest, StalledBlockSendReturnsTheUsbError) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STALL_BULK_OUT, 1, 0, nullptr), CAMSIM_OK);
    const int32_t rc = kavri_bin_data_write(ll_, kFirmwareType, kVersion, 0,
                                            image_file(random_bytes(2000, 7)).c_str());
    EXPECT_LT(rc, 0);
    EXPECT_EQ(log().count("[kavri_data_pk_transf] tx data failed"), 1u);
    EXPECT_EQ(log().count("Data transfer failed D."), 1u);
    EXPECT_EQ(camera_stats(cam_).resets, 0u);  // no final step after a failed send
    EXPECT_TRUE(sleeps_.empty());
}

// A real camera answers its status poll busy for tens of seconds while it
// erases flash or takes the image: the download waits as long as each
// command allows, not only the 3 s of an ordinary command.
TEST_F(DataTest, CameraBusyOnFlashBeyondThreeSecondsIsWaitedFor) {
    constexpr uint32_t kBusyMs = 3200;
    ASSERT_EQ(camsim_data_set_busy_time(cam_, kBusyMs), CAMSIM_OK);
    const auto image = random_bytes(2000, 9);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, image_file(image).c_str()), 1);
    EXPECT_EQ(log().count("camera still busy"), 0u);
    EXPECT_EQ(flash_image(cam_, kPlainType), image);
    EXPECT_GT(camera_stats(cam_).busy_replies, 0u);
}

TEST_F(DataTest, FailedDataInfoOnlyLogs) {
    // The first command of a download is the data info request.
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, nullptr), CAMSIM_OK);
    const auto image = random_bytes(3000, 8);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, image_file(image).c_str()), 1);
    EXPECT_EQ(log().count("[al_get_data_info] Cmd:(0xcc,0x0) failed"), 1u);
    EXPECT_EQ(flash_image(cam_, kPlainType), image);
}

}  // namespace
}  // namespace kavri_test
