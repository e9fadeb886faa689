// Uploads from the simulated camera: the file holds exactly the camera's
// bytes, and a failure leaves no file behind.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "data/data_fixture.h"

namespace kavri_test {
namespace {

constexpr uint8_t kCalibType = 2;

TEST_F(DataTest, DownloadedImageUploadsByteForByte) {
    const auto image = random_bytes(5000, 11);
    ASSERT_EQ(kavri_bin_data_write(ll_, 6, 1, 0, image_file(image).c_str()), 1);
    const std::string out = temp_path("upload.bin");
    EXPECT_EQ(kavri_bin_data_read(ll_, 6, out.c_str()), 1);
    EXPECT_EQ(read_file(out), image);
    EXPECT_EQ(data_stats(cam_).payload_requests, 12u);  // 11 x 450 + 50
}

TEST_F(DataTest, NineHundredBytesTakeTwoPayloadRequests) {
    const auto image = random_bytes(900, 12);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 900), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), 1);
    EXPECT_EQ(read_file(out), image);
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_EQ(s.payload_requests, 2u);
    EXPECT_EQ(s.payload_bytes, 900u);
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.back().phase, KAVRI_DATA_PHASE_TRANSFER);
    EXPECT_EQ(progress_.back().done, 900u);
}

TEST_F(DataTest, ChunkShorterThanThePayloadRequestRecord) {
    const auto image = random_bytes(455, 13);  // 450 + 5: the last read is 12 bytes long
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 455), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), 1);
    EXPECT_EQ(read_file(out), image);
}

TEST_F(DataTest, NoValidDataCreatesNoFile) {
    const std::string out = temp_path("upload.bin");
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), -1);
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(log().count("No valid data to read, please check"), 1u);
}

TEST_F(DataTest, EmptyImageGivesAnEmptyFile) {
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, nullptr, 0), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), 1);
    EXPECT_TRUE(file_exists(out));
    EXPECT_TRUE(read_file(out).empty());
    EXPECT_EQ(data_stats(cam_).payload_requests, 0u);
}

TEST_F(DataTest, FailedPayloadRequestLeavesNoFile) {
    const auto image = random_bytes(2000, 14);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 2000), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_PAYLOAD_FAIL, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), -1);
    EXPECT_FALSE(file_exists(out));
    EXPECT_FALSE(file_exists(out + ".part"));
    EXPECT_EQ(log().count("[al_get_data_payload] Cmd:(0xcc,0x11) failed"), 1u);
}

TEST_F(DataTest, FailedUploadKeepsAnEarlierFile) {
    const auto image = random_bytes(2000, 15);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 2000), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    const std::vector<uint8_t> earlier{1, 2, 3};
    write_file(out, earlier);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_DATA_PAYLOAD_FAIL, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), -1);
    EXPECT_EQ(read_file(out), earlier);
}

TEST_F(DataTest, FailedDataInfoFailsTheUpload) {
    const auto image = random_bytes(500, 16);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 500), CAMSIM_OK);
    const std::string out = temp_path("upload.bin");
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, out.c_str()), -1);
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(data_stats(cam_).payload_requests, 0u);
}

TEST_F(DataTest, UnwritableTargetFails) {
    const auto image = random_bytes(500, 17);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 500), CAMSIM_OK);
    EXPECT_EQ(kavri_bin_data_read(ll_, kCalibType, "/nonexistent/dir/upload.bin"), -1);
    EXPECT_EQ(log().count("File open failed"), 1u);
}

TEST_F(DataTest, NullPathWritesCalibBinInTheWorkingDirectory) {
    const auto image = random_bytes(600, 18);
    ASSERT_EQ(camsim_data_put(cam_, kCalibType, 1, image.data(), 600), CAMSIM_OK);
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string dir = temp_path("cwd");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const int32_t rc = kavri_bin_data_read(ll_, kCalibType, nullptr);
    const auto got = read_file("calib.bin");
    std::remove("calib.bin");
    ASSERT_EQ(chdir(cwd), 0);
    rmdir(dir.c_str());
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(got, image);
}

}  // namespace
}  // namespace kavri_test
