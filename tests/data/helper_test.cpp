// The exported steps of the data protocol, and the device-handle entry
// points' checks.
#include "data/data_fixture.h"

namespace kavri_test {
namespace {

TEST_F(DataTest, DataInfoReportsTheCameraImage) {
    const auto image = random_bytes(1234, 21);
    ASSERT_EQ(camsim_data_put(cam_, 3, 0x0102, image.data(), 1234), CAMSIM_OK);
    uint8_t rec[KAVRI_DATA_INFO_SIZE] = {3};
    ASSERT_EQ(al_get_data_info(ll_, KAVRI_DATA_ACT_INFO, rec, sizeof rec), 1);
    camsim_data_info_t info{};
    flash_image(cam_, 3, &info);
    EXPECT_EQ(rec[0], 3);
    EXPECT_EQ(rec[2] | rec[3] << 8, 0x0102);
    EXPECT_EQ(rec[4] | rec[5] << 8 | rec[6] << 16, 1234);
    EXPECT_EQ(static_cast<uint32_t>(rec[8] | rec[9] << 8 | rec[10] << 16 | rec[11] << 24),
              info.address);

    uint8_t none[KAVRI_DATA_INFO_SIZE] = {4};
    ASSERT_EQ(al_get_data_info(ll_, KAVRI_DATA_ACT_INFO, none, sizeof none), 1);
    EXPECT_EQ(none[4] & none[5] & none[6] & none[7], 0xFF);
}

TEST_F(DataTest, PayloadHelperReadsItsTwelveByteRecordAndReturnsZero) {
    const auto image = random_bytes(1000, 22);
    ASSERT_EQ(camsim_data_put(cam_, 2, 1, image.data(), 1000), CAMSIM_OK);
    uint8_t rec[KAVRI_DATA_INFO_SIZE] = {2};
    ASSERT_EQ(al_get_data_info(ll_, KAVRI_DATA_ACT_INFO, rec, sizeof rec), 1);
    constexpr uint8_t kGuard = 0xA5;
    std::vector<uint8_t> buf(KAVRI_DATA_UPLOAD_CHUNK + 16, kGuard);
    // Asking for 12 bytes: the 12-byte reply is the image's first bytes.
    EXPECT_EQ(al_get_data_payload(ll_, buf.data(), KAVRI_DATA_PAYLOAD_REQ_SIZE), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + KAVRI_DATA_PAYLOAD_REQ_SIZE, image.begin()));
    // Asking for more than a 12-byte read holds: refused, and nothing beyond the record is written.
    EXPECT_EQ(al_get_data_payload(ll_, buf.data(), KAVRI_DATA_UPLOAD_CHUNK), 0);
    EXPECT_EQ(log().count("[al_get_data_payload] Cmd:(0xcc,0x11) failed"), 1u);
    EXPECT_TRUE(std::all_of(buf.begin() + KAVRI_DATA_PAYLOAD_REQ_SIZE, buf.end(),
                            [](uint8_t b) { return b == kGuard; }));
    EXPECT_EQ(al_get_data_payload(ll_, nullptr, 10), 0);
}

TEST_F(DataTest, ActionInfoReadsOnlyKnownActions) {
    uint8_t out[KAVRI_DATA_ACK_SIZE] = {};
    const uint64_t before = camera_stats(cam_).commands;
    EXPECT_EQ(al_data_read_action_info(ll_, 6, out), 1);  // no traffic
    EXPECT_EQ(camera_stats(cam_).commands, before);
    EXPECT_EQ(al_data_read_action_info(ll_, KAVRI_DATA_ACT_ACK, out), 1);
    EXPECT_EQ(al_data_read_action_info(ll_, KAVRI_DATA_ACT_STATE, out), 1);
    EXPECT_EQ(al_data_read_action_info(ll_, KAVRI_DATA_ACT_ACK, nullptr), -1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_ACK_FAIL, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(al_data_read_action_info(ll_, KAVRI_DATA_ACT_ACK, out), -1);
    EXPECT_EQ(log().count("Cmd:(0xcc,0x4) failed"), 2u);
}

TEST_F(DataTest, SendActionInfoKnowsThreeActions) {
    uint8_t start[KAVRI_DATA_START_SIZE] = {5, 0, 2, 0, 10, 0, 0, 0};
    EXPECT_EQ(al_data_send_action_info(ll_, KAVRI_DATA_ACT_START, start), 1);
    EXPECT_EQ(log().count("type = 5, version = 2, size = 10"), 1u);
    uint8_t ack[KAVRI_DATA_ACK_SIZE] = {};
    ASSERT_EQ(al_data_read_action_info(ll_, KAVRI_DATA_ACT_ACK, ack), 1);
    EXPECT_EQ(ack[4], KAVRI_DATA_ACK_START);
    uint8_t kind4[KAVRI_DATA_ACK_SIZE] = {};
    EXPECT_EQ(al_data_send_action_info(ll_, KAVRI_DATA_ACT_ACK, kind4), 1);
    EXPECT_EQ(al_data_send_action_info(ll_, 2, kind4), -1);
    EXPECT_EQ(al_data_send_action_info(ll_, KAVRI_DATA_ACT_START, nullptr), -1);
    // An erase that does not match the start is refused by the camera.
    uint8_t erase[KAVRI_DATA_ERASE_SIZE] = {6, 10};
    EXPECT_EQ(al_data_send_action_info(ll_, KAVRI_DATA_ACT_ERASE, erase), -1);
}

TEST_F(DataTest, FileCheckLoadsWholeFilesOnly) {
    uint32_t size = 99;
    const std::string path = image_file(random_bytes(321, 24));
    EXPECT_EQ(al_data_build_file_buffer(path.c_str(), &size), 1);
    EXPECT_EQ(size, 321u);
    EXPECT_EQ(log().count("Data image file loaded."), 1u);

    const std::string empty = temp_path("empty.bin");
    write_file(empty, {});
    size = 99;
    EXPECT_EQ(al_data_build_file_buffer(empty.c_str(), &size), -1);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(log().count("Data image file loading failed."), 1u);

    EXPECT_EQ(al_data_build_file_buffer("/nonexistent/file", &size), -1);
    EXPECT_EQ(al_data_build_file_buffer(nullptr, &size), -1);
    EXPECT_EQ(al_data_build_file_buffer(path.c_str(), nullptr), 1);
}

TEST_F(DataTest, EntryPointsRefuseBadHandles) {
    const std::string path = image_file(random_bytes(100, 25));
    kavri_dev_t closed{};
    for (kavri_dev_t *dev : {static_cast<kavri_dev_t *>(nullptr), &closed}) {
        EXPECT_EQ(kavri_data_download(dev, path.c_str(), 5, 1, 0), -1);
        EXPECT_EQ(kavri_firmware_upgrade(dev, 5, 1, path.c_str()), -1);
        EXPECT_EQ(kavri_data_upload(dev, 5, path.c_str()), -1);
    }
    EXPECT_EQ(log().count("[kavri_data_download] Wrong params"), 2u);
    EXPECT_EQ(log().count("[kavri_firmware_upgrade] Wrong params"), 2u);
    EXPECT_EQ(log().count("[kavri_data_upload] Wrong params"), 2u);
    EXPECT_EQ(data_stats(cam_).starts, 0u);
}

TEST_F(DataTest, EnginesOnANullRecordFail) {
    const std::string path = image_file(random_bytes(100, 26));
    EXPECT_EQ(kavri_bin_data_write(nullptr, 5, 1, 0, path.c_str()), -1);
    EXPECT_EQ(kavri_bin_data_read(nullptr, 5, temp_path("out.bin").c_str()), -1);
}

}  // namespace
}  // namespace kavri_test
