// The command protocol against the simulated camera: framing, chunking,
// status replies, time-outs and resets.
#include <array>
#include <chrono>
#include <numeric>
#include <thread>

#include "ll/sim_fixture.h"

namespace {

using kavri_test::camera_info;
using kavri_test::camera_stats;
using kavri_test::LogCapture;
using kavri_test::SimTest;
using kavri_test::usb_info;

constexpr uint8_t kSensorTarget = 1;

class UsbCommands : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = plug();
        ll_ = open_first();
        ASSERT_NE(ll_, nullptr);
    }

    // Commands and status polls the camera has seen since the last call.
    std::pair<uint64_t, uint64_t> traffic() {
        const camsim_camera_stats_t s = camera_stats(cam_);
        const auto result = std::make_pair(s.commands - commands_, s.status_polls - polls_);
        commands_ = s.commands;
        polls_ = s.status_polls;
        return result;
    }

    static kavri_ll_param_item_t item(uint8_t id, std::initializer_list<uint8_t> value = {}) {
        kavri_ll_param_item_t it{};
        it.param_id = id;
        it.param_val_len = static_cast<uint8_t>(value.size());
        std::copy(value.begin(), value.end(), it.param_val);
        return it;
    }

    int cam_ = -1;
    kavri_ll_t *ll_ = nullptr;
    uint64_t commands_ = 0, polls_ = 0;
};

TEST_F(UsbCommands, RegisterWriteIsOneTransferWhateverTheCount) {
    std::array<uint32_t, 40> values;
    std::iota(values.begin(), values.end(), 0xA0000000u);
    traffic();
    ASSERT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0x20, values.data(), values.size()), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{1}, uint64_t{1}));
    for (uint32_t i = 0; i < values.size(); ++i) {
        uint32_t v = 0;
        ASSERT_EQ(camsim_reg_get(cam_, kSensorTarget, 0x20 + i, &v), CAMSIM_OK);
        EXPECT_EQ(v, values[i]) << i;
    }
}

TEST_F(UsbCommands, RegisterReadOfSeventeenTakesTwoChunks) {
    for (uint32_t i = 0; i < 17; ++i)
        ASSERT_EQ(camsim_reg_set(cam_, kSensorTarget, 0x40 + i, 0x1000 + i * 3), CAMSIM_OK);
    std::array<uint32_t, 18> values{};
    values[17] = 0xDEADBEEF;
    traffic();
    ASSERT_EQ(kavri_ll_reg_read(ll_, kSensorTarget, 0x40, values.data(), 17), 1);
    // Per chunk: request, status poll, reply, status poll.
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{4}, uint64_t{4}));
    EXPECT_EQ(camera_stats(cam_).reg_reads, 17u);
    for (uint32_t i = 0; i < 17; ++i) EXPECT_EQ(values[i], 0x1000 + i * 3) << i;
    EXPECT_EQ(values[17], 0xDEADBEEFu);
}

TEST_F(UsbCommands, EmptyReadsSendNothing) {
    uint32_t value = 5;
    kavri_ll_param_item_t it = item(2);
    traffic();
    EXPECT_EQ(kavri_ll_reg_read(ll_, kSensorTarget, 0, &value, 0), 1);
    EXPECT_EQ(kavri_ll_param_get(ll_, &it, 0), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{0}, uint64_t{0}));
    EXPECT_EQ(value, 5u);
}

TEST_F(UsbCommands, ParameterGetOfSevenTakesThreeChunks) {
    const uint8_t ids[] = {1, 2, 3, 5, 6, 7, 12};
    std::vector<kavri_ll_param_item_t> items;
    for (uint8_t id : ids) {
        kavri_ll_param_item_t it = item(id);
        std::memset(it.param_val, 0xEE, sizeof it.param_val);  // cleared before asking
        it.param_val_len = 0xEE;
        items.push_back(it);
    }
    traffic();
    ASSERT_EQ(kavri_ll_param_get(ll_, items.data(), items.size()), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{6}, uint64_t{6}));
    EXPECT_EQ(camera_stats(cam_).param_gets, 7u);
    for (const auto &it : items) {
        uint8_t value[18] = {};
        uint8_t len = 0;
        ASSERT_EQ(camsim_param_get(cam_, it.param_id, value, &len), CAMSIM_OK);
        EXPECT_EQ(it.param_val_len, len) << int(it.param_id);
        EXPECT_EQ(std::memcmp(it.param_val, value, len), 0) << int(it.param_id);
    }
}

TEST_F(UsbCommands, ParameterSetIsOneTransfer) {
    std::vector<kavri_ll_param_item_t> items = {
        item(12, {15, 0, 0, 0}), item(13, {0x20, 0x03}), item(16, {0x10, 0}),    item(0, {0}),
        item(13, {0x21, 0x03}),  item(16, {0x11, 0}),    item(12, {10, 0, 0, 0})};
    traffic();
    ASSERT_EQ(kavri_ll_param_set(ll_, items.data(), items.size()), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{1}, uint64_t{1}));
    uint8_t value[18] = {};
    uint8_t len = 0;
    ASSERT_EQ(camsim_param_get(cam_, 13, value, &len), CAMSIM_OK);
    EXPECT_EQ(value[0] | value[1] << 8, 0x0321);
    ASSERT_EQ(camsim_param_get(cam_, 12, value, &len), CAMSIM_OK);
    EXPECT_EQ(value[0], 10);
}

TEST_F(UsbCommands, GenericReadSendsTheRequestThenFetchesTheReply) {
    uint8_t buf[40] = {};
    buf[0] = 2;  // a parameter get by hand: items for ids 2 and 3
    buf[20] = 3;
    traffic();
    ASSERT_EQ(kavri_ll_exe_cmd(ll_, 0, 0xC0, 4, buf, sizeof buf, 1000), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{2}, uint64_t{2}));
    uint8_t value[18] = {};
    uint8_t len = 0;
    ASSERT_EQ(camsim_param_get(cam_, 3, value, &len), CAMSIM_OK);
    EXPECT_EQ(buf[21], len);
    EXPECT_EQ(std::memcmp(buf + 22, value, len), 0);
}

TEST_F(UsbCommands, BusyRepliesAreAskedAgainAtOnce) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STATUS_BUSY, 5, 0, nullptr), CAMSIM_OK);
    traffic();
    uint32_t v = 3;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{1}, uint64_t{6}));
    EXPECT_EQ(camera_stats(cam_).busy_replies, 5u);
}

TEST_F(UsbCommands, CameraStuckBusyFailsTheCommand) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STATUS_BUSY, 0x7FFFFFFF, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_ERR);
    uint32_t v = 3;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 0);
    EXPECT_TRUE(
        log.has("[usb_ll_check_last_cmd] camera still busy after 3000 ms (t=194,v=0), give up\n"))
        << log.text();
    ASSERT_EQ(camsim_clear_faults(cam_), CAMSIM_OK);
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
}

TEST_F(UsbCommands, RefusedCommandLogsTheCamerasText) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, "sensor refuses"), CAMSIM_OK);
    LogCapture log(KV_LOG_ERR);
    kavri_ll_param_item_t it = item(12, {20, 0, 0, 0});
    EXPECT_EQ(kavri_ll_param_set(ll_, &it, 1), 0);
    EXPECT_TRUE(log.has("[ERR] [usb_ll_check_last_cmd] sensor refuses\n")) << log.text();
}

TEST_F(UsbCommands, ReadOfAnUnknownRegisterSpaceFailsInTheWritePhase) {
    uint32_t values[1];
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_ll_reg_read(ll_, 77, 0, values, 1), 0);
    EXPECT_TRUE(log.has("[usb_ll_reg_read] write phase failed\n")) << log.text();
}

TEST_F(UsbCommands, NeverCompletingCommandIsCancelledAndFails) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_WRN);
    uint8_t data[4] = {1, 0, 0, 0};
    // No transfer time-out at all: the host-side limit alone ends the wait.
    EXPECT_EQ(kavri_ll_exe_cmd(ll_, 1, 0xC2, 0, data, sizeof data, 0), 0);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] contrl trans timeout , cancel it\n")) << log.text();
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: LIBUSB_ERROR_TIMEOUT\n"))
        << log.text();
    // The device works on.
    uint32_t v = 1;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
}

TEST_F(UsbCommands, ResetOfOtherTargetsIsACheckedCommand) {
    traffic();
    EXPECT_EQ(kavri_ll_dev_reset(ll_, 1), 1);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{1}, uint64_t{1}));
    EXPECT_EQ(camera_stats(cam_).last_reset_target, 1u);
    EXPECT_EQ(kavri_ll_dev_reset(ll_, 9), 0);  // the camera refuses an unknown target
}

TEST_F(UsbCommands, InterfaceResetReopensAndReturnsZero) {
    const uint8_t old_addr = usb_info(*ll_).usb_addr;
    LogCapture log(KV_LOG_TRC);
    EXPECT_EQ(kavri_ll_dev_reset(ll_, 3), 0);
    EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if end. \n")) << log.text();
    EXPECT_FALSE(log.has("reopen device failed!")) << log.text();
    ASSERT_NE(ll_->state, nullptr);
    EXPECT_NE(camera_info(cam_).address, old_addr);
    uint32_t v = 4;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
}

TEST_F(UsbCommands, InterfaceResetWithoutReturnReturnsZeroClosed) {
    // The camera leaves the bus for good (a long absence).
    ASSERT_EQ(camsim_unplug(cam_), CAMSIM_OK);
    LogCapture log(KV_LOG_TRC);
    EXPECT_EQ(kavri_ll_dev_reset(ll_, 3), 0);
    EXPECT_TRUE(log.has("[WRN] [usb_ll_dev_reset] reopen device failed!\n")) << log.text();
    EXPECT_TRUE(log.has("[usb_ll_dev_reset] Reset usb if end. \n")) << log.text();
    // The state record stays for threads still holding the record; it has no
    // handle, so commands fail, and close frees it.
    kavri_ll_param_item_t item{};
    item.param_id = 2;
    EXPECT_EQ(kavri_ll_param_get(ll_, &item, 1), 0);
    kavri_ll_dev_close(ll_);
    EXPECT_EQ(ll_->state, nullptr);
}

TEST_F(UsbCommands, DataSendGoesOutInOneBulkTransfer) {
    std::vector<uint8_t> block(65536 + 6);
    std::iota(block.begin(), block.end(), uint8_t{0});
    const uint64_t before = camera_stats(cam_).bulk_out_bytes;
    EXPECT_EQ(kavri_ll_tx_data(ll_, block.data(), block.size()),
              static_cast<int32_t>(block.size()));
    EXPECT_EQ(camera_stats(cam_).bulk_out_bytes - before, block.size());
}

TEST_F(UsbCommands, StalledDataSendReportsThePipeError) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STALL_BULK_OUT, 1, 0, nullptr), CAMSIM_OK);
    uint8_t block[16] = {};
    EXPECT_EQ(kavri_ll_tx_data(ll_, block, sizeof block), LIBUSB_ERROR_PIPE);
}

TEST_F(UsbCommands, CommandsOnAClosedRecordFail) {
    kavri_ll_dev_close(ll_);
    uint32_t v = 0;
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 0);
    EXPECT_LT(kavri_ll_tx_data(ll_, &v, 4), 0);
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 0);
    EXPECT_TRUE(log.has("USB handler Is NULL!\r\n")) << log.text();
}

TEST_F(UsbCommands, OversizedBlocksAreRefusedBeforeTheWire) {
    std::vector<kavri_ll_param_item_t> items(3300);
    traffic();
    EXPECT_EQ(kavri_ll_param_set(ll_, items.data(), items.size()), 0);
    std::vector<uint32_t> regs(16400);
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, regs.data(), regs.size()), 0);
    EXPECT_EQ(traffic(), std::make_pair(uint64_t{0}, uint64_t{0}));
}

}  // namespace
