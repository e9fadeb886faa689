// Downloads into the simulated camera's flash: what arrives, in how many
// blocks, and what happens after the last block for each kind of data type.
#include "data/data_fixture.h"

namespace kavri_test {
namespace {

constexpr uint16_t kVersion = 0x0207;
constexpr uint8_t kPlainType = 5;  // neither firmware nor settling data

TEST_F(DataTest, ImageOf200kBArrivesByteForByte) {
    const auto image = random_bytes(200000, 1);
    const std::string path = image_file(image);

    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, path.c_str()), 1);

    camsim_data_info_t info{};
    EXPECT_EQ(flash_image(cam_, kPlainType, &info), image);
    EXPECT_EQ(info.version, kVersion);
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_EQ(s.blocks, 4u);  // 3 x 65530 + 3410
    EXPECT_EQ(s.bad_blocks, 0u);
    EXPECT_EQ(s.last_block_len, 200000u - 3 * 65530u);
    EXPECT_GE(s.erase_busy_acks, 1u);  // the erase was waited for
    EXPECT_EQ(log().count("Data transfer finished."), 1u);
}

struct BlockCase {
    uint32_t size;
    uint32_t blocks;
    uint32_t last_len;
};

class BlockSplitTest : public DataTest, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(BlockSplitTest, SizeDecidesTheBlocks) {
    const BlockCase c = GetParam();
    const auto image = random_bytes(c.size, c.size);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, image_file(image).c_str()), 1);
    EXPECT_EQ(flash_image(cam_, kPlainType), image);
    const camsim_data_stats_t s = data_stats(cam_);
    EXPECT_EQ(s.blocks, c.blocks);
    EXPECT_EQ(s.last_block_len, c.last_len);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSplitTest,
                         ::testing::Values(BlockCase{1, 1, 1}, BlockCase{65529, 1, 65529},
                                           BlockCase{65530, 1, 65530}, BlockCase{65531, 2, 1},
                                           BlockCase{131060, 2, 65530}));

TEST_F(DataTest, EmptyFileFailsBeforeAnyCommand) {
    const std::string path = image_file({});
    const uint64_t before = camera_stats(cam_).commands;
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, path.c_str()), -1);
    EXPECT_EQ(camera_stats(cam_).commands, before);
    EXPECT_EQ(log().count("data upgrade failed!"), 1u);
}

TEST_F(DataTest, MissingFileFailsBeforeAnyCommand) {
    const uint64_t before = camera_stats(cam_).commands;
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, "/nonexistent/image.bin"), -1);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, nullptr), -1);
    EXPECT_EQ(camera_stats(cam_).commands, before);
    EXPECT_EQ(log().count("File open failed"), 2u);
}

TEST_F(DataTest, PlainTypeReturnsWithoutWarningResetOrPause) {
    const std::string path = image_file(random_bytes(1000, 2));
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, path.c_str()), 1);
    EXPECT_EQ(camera_stats(cam_).resets, 0u);
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_EQ(log().count("[WRN]"), 0u);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_FILE), KV_LOG_TRC);  // still logging
}

struct FinalCase {
    uint8_t type;
    bool reset;
    uint32_t pause_ms;
};

class FinalStepTest : public DataTest, public ::testing::WithParamInterface<FinalCase> {};

TEST_P(FinalStepTest, ResetPauseAndSilence) {
    const FinalCase c = GetParam();
    const auto image = random_bytes(3000, c.type);
    EXPECT_EQ(kavri_bin_data_write(ll_, c.type, kVersion, 0, image_file(image).c_str()), 1);
    EXPECT_EQ(flash_image(cam_, c.type), image);

    const camsim_camera_stats_t st = camera_stats(cam_);
    EXPECT_EQ(st.resets, c.reset ? 1u : 0u);
    if (c.reset) {
        EXPECT_EQ(st.last_reset_target, 0u);
    }
    EXPECT_EQ(slept_ms(), c.pause_ms);
    for (uint32_t ms : sleeps_) EXPECT_LE(ms, 1000u);
    EXPECT_EQ(log().count("Wait board to reset..."), c.reset ? 1u : 0u);
    EXPECT_EQ(log().count("!!! DO NOT RESET or POWER OFF the board until return !!!!"), 1u);
    EXPECT_EQ(log().count("[WRN]"), c.reset ? 4u : 3u);

    // From here on the library says nothing until the levels are set again.
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_CONSOLE), KV_LOG_OFF);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_FILE), KV_LOG_OFF);
    const std::string before = log().text();
    kv_log(KV_LOG_ERR, "ERR", "[%s] after the download\n", "test");
    EXPECT_EQ(kavri_bin_data_write(ll_, c.type, kVersion, 0, "/nonexistent/image.bin"), -1);
    EXPECT_EQ(log().text(), before);

    // The pause is reported as progress, in milliseconds.
    ASSERT_FALSE(progress_.empty());
    EXPECT_EQ(progress_.back().phase, KAVRI_DATA_PHASE_RESET);
    EXPECT_EQ(progress_.back().done, c.pause_ms);
    EXPECT_EQ(progress_.back().total, c.pause_ms);
}

INSTANTIATE_TEST_SUITE_P(Types, FinalStepTest,
                         ::testing::Values(FinalCase{0, true, 10000}, FinalCase{1, true, 10000},
                                           FinalCase{2, false, 7000}, FinalCase{3, false, 7000}));

TEST_F(DataTest, ProgressCoversEraseAndEveryBlock) {
    const auto image = random_bytes(140000, 3);  // 3 blocks
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, kVersion, 0, image_file(image).c_str()), 1);
    std::vector<uint32_t> transfer;
    bool erase_seen = false;
    for (const Progress &p : progress_) {
        if (p.phase == KAVRI_DATA_PHASE_ERASE) erase_seen = true;
        if (p.phase != KAVRI_DATA_PHASE_TRANSFER) continue;
        EXPECT_EQ(p.total, 140000u);
        transfer.push_back(p.done);
    }
    EXPECT_TRUE(erase_seen);
    EXPECT_EQ(transfer, (std::vector<uint32_t>{0, 65530, 131060, 140000}));
}

TEST_F(DataTest, FirmwarePathOnTheTransportRecord) {
    const auto image = random_bytes(5000, 4);
    EXPECT_EQ(kavri_ll_firmware_upgrade(ll_, kPlainType, 9, image_file(image).c_str()), 1);
    camsim_data_info_t info{};
    EXPECT_EQ(flash_image(cam_, kPlainType, &info), image);
    EXPECT_EQ(info.version, 9);
}

TEST_F(DataTest, DownloadLogsTheCameraImageItReplaces) {
    const auto old_image = random_bytes(700, 5);
    ASSERT_EQ(camsim_data_put(cam_, kPlainType, 3, old_image.data(), 700), CAMSIM_OK);
    const auto image = random_bytes(800, 6);
    EXPECT_EQ(kavri_bin_data_write(ll_, kPlainType, 4, 0, image_file(image).c_str()), 1);
    EXPECT_EQ(log().count("Version:3,type:5, addr:0x"), 1u);
    EXPECT_EQ(log().count("data size:700"), 1u);
    EXPECT_EQ(flash_image(cam_, kPlainType), image);
}

}  // namespace
}  // namespace kavri_test
