// The command protocol: status poll, parameters, registers, resets and the
// command faults.
#include <thread>

#include "sim/usb_harness.h"

namespace simtest {
namespace {

class Commands : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        auto cfg = quick_config();
        ASSERT_EQ(camsim_plug(&cfg), 0);
        s = std::make_unique<Session>();
        ASSERT_NE(s->h, nullptr);
    }
    void TearDown() override {
        s.reset();
        SimTest::TearDown();
    }
    std::unique_ptr<Session> s;
};

TEST_F(Commands, StatusPollReportsTheLastCommandTypeAndValue) {
    ASSERT_EQ(s->stream_stop(), "");
    Session::Status st = s->poll();
    EXPECT_EQ(st.rc, 63);
    EXPECT_EQ(st.type, 0xC2);
    EXPECT_EQ(st.value, 5);
    EXPECT_NE(st.status, 254);
    EXPECT_NE(st.status, 255);
    camsim_camera_stats_t stats;
    ASSERT_EQ(camsim_get_camera_stats(0, &stats), 0);
    EXPECT_EQ(stats.last_cmd_type, 0xC2);
    EXPECT_EQ(stats.stream_stops, 1u);
}

TEST_F(Commands, ShortStatusReadGetsFewerBytes) {
    uint8_t r[63];
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 10), 10);
}

TEST_F(Commands, IdentificationParameters) {
    std::vector<uint8_t> v;
    ASSERT_EQ(s->param_get(3, v), "");
    std::string product(v.begin(), v.end());
    EXPECT_EQ(product, "KV320-E2-SIM");
    ASSERT_EQ(s->param_get(6, v), "");
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(le16(&v[2]), 0x0150);
    ASSERT_EQ(s->param_get(5, v), "");
    EXPECT_GE(v.size(), 4u);
    ASSERT_EQ(s->param_get(7, v), "");
    ASSERT_GE(v.size(), 6u);
    ASSERT_EQ(s->param_get(1, v), "");
    EXPECT_EQ(le32(v.data()), 12000000u);
    ASSERT_EQ(s->param_get(12, v), "");
    EXPECT_EQ(le32(v.data()), 30u);
}

TEST_F(Commands, ProductCarriesTheChipCode) {
    s.reset();
    camsim_clear();
    auto cfg = quick_config();
    cfg.chip = CAMSIM_CHIP_T0;
    ASSERT_EQ(camsim_plug(&cfg), 0);
    s = std::make_unique<Session>();
    std::vector<uint8_t> v;
    ASSERT_EQ(s->param_get(3, v), "");
    EXPECT_EQ(std::string(v.begin(), v.end()), "KV320-T0-SIM");
}

TEST_F(Commands, ParameterSetIsVisibleToGetAndToTheCamera) {
    ASSERT_EQ(s->param_set(13, {0x58, 0x02}), "");  // 600
    std::vector<uint8_t> v;
    ASSERT_EQ(s->param_get(13, v), "");
    EXPECT_EQ(le16(v.data()), 600);
    uint8_t raw[18], len = 0;
    ASSERT_EQ(camsim_param_get(0, 13, raw, &len), 0);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(le16(raw), 600);
}

TEST_F(Commands, SeveralParametersInOneTransfer) {
    std::vector<uint8_t> items(60, 0);
    items[0] = 13, items[1] = 2, items[2] = 0x2c, items[3] = 0x01;  // 300
    items[20] = 16, items[21] = 2, items[22] = 0x64;                // 100
    items[40] = 12, items[41] = 4, items[42] = 15;                  // 15 fps
    ASSERT_EQ(s->write_cmd(kDeviceCmd, 3, items), "");
    std::vector<uint8_t> req(60, 0);
    req[0] = 12, req[20] = 13, req[40] = 16;
    ASSERT_EQ(s->read_cmd(kDeviceCmd, 4, req), "");
    EXPECT_EQ(req[0], 12);
    EXPECT_EQ(le32(&req[2]), 15u);
    EXPECT_EQ(le16(&req[22]), 300);
    EXPECT_EQ(req[21], 2);
    EXPECT_EQ(le16(&req[42]), 100);
}

struct BadParam {
    const char *name;
    std::vector<uint8_t> item;
    const char *text;
};

TEST_F(Commands, RefusedParameterWritesAnswer255WithAReasonAndChangeNothing) {
    const BadParam cases[] = {
        {"unknown id", {99, 1, 0}, "unknown parameter id 99"},
        {"read-only", {3, 4, 'a', 'b', 'c', 'd'}, "parameter 3 is read-only"},
        {"too short", {1, 2, 1, 2}, "parameter 1 needs 4 bytes, got 2"},
        {"zero frequency", {1, 4, 0, 0, 0, 0}, "modulation frequency 0 Hz not supported"},
        {"zero fps", {12, 4, 0, 0, 0, 0}, "frame rate 0 not supported"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> item = c.item;
        item.resize(20, 0);
        // A good item first: the refused batch must not apply it either.
        std::vector<uint8_t> batch(20, 0);
        batch[0] = 13, batch[1] = 2, batch[2] = 0x11;
        batch.insert(batch.end(), item.begin(), item.end());
        EXPECT_EQ(s->write_cmd(kDeviceCmd, 3, batch), c.text);
        std::vector<uint8_t> v;
        ASSERT_EQ(s->param_get(13, v), "");
        EXPECT_EQ(le16(v.data()), 400);
    }
    std::vector<uint8_t> v;
    EXPECT_EQ(s->param_get(42, v), "unknown parameter id 42");
    EXPECT_EQ(s->write_cmd(kDeviceCmd, 3, {13, 2, 1}),
              "parameter block of 3 bytes is not whole items");
}

TEST_F(Commands, SensorRegistersWriteAndReadAcrossChunks) {
    std::vector<uint32_t> vals(20);
    for (uint32_t i = 0; i < 20; ++i) vals[i] = 0xA000 + i;
    ASSERT_EQ(s->reg_write(1, 230, vals), "");
    std::vector<uint32_t> got, part;
    ASSERT_EQ(s->reg_read(1, 230, 16, part), "");
    got = part;
    ASSERT_EQ(s->reg_read(1, 246, 4, part), "");
    got.insert(got.end(), part.begin(), part.end());
    EXPECT_EQ(got, vals);
    uint32_t direct = 0;
    ASSERT_EQ(camsim_reg_get(0, 1, 249, &direct), 0);
    EXPECT_EQ(direct, 0xA013u);
    ASSERT_EQ(s->reg_read(1, 255, 1, part), "");
}

TEST_F(Commands, RegisterRangesAndTargets) {
    std::vector<uint32_t> out;
    EXPECT_EQ(s->reg_read(1, 250, 7, out), "register 250+7 out of range (target 1 has 256)");
    EXPECT_EQ(s->reg_write(1, 256, {1}), "register 256+1 out of range (target 1 has 256)");
    EXPECT_EQ(s->reg_write(9, 0, {1}), "unknown register target 9");
    EXPECT_EQ(s->reg_write(0, 0, {1}), "register target 0 is read-only");
    EXPECT_EQ(s->reg_read(0, 0, 2, out), "");
    EXPECT_EQ(s->reg_write(2, 31, {7}), "");
    EXPECT_EQ(s->reg_read(2, 31, 1, out), "");
    EXPECT_EQ(out.at(0), 7u);
}

TEST_F(Commands, ReadWithoutRequestFails) {
    std::vector<uint8_t> item(20, 0);
    EXPECT_EQ(s->control(true, kDeviceCmd, 4, item.data(), 20), 20);
    EXPECT_EQ(s->check(kDeviceCmd, 4), "parameter read without request");
}

TEST_F(Commands, UnknownCommandsFailWithAMessage) {
    EXPECT_EQ(s->write_cmd(0xC1, 7, {1, 2}), "unknown command 0xc1/7 (out)");
    EXPECT_EQ(s->write_cmd(kRegisterCmd, 9, {1}), "unknown command 0xc2/9 (out)");
}

TEST_F(Commands, BusyStatusPollsAreRepeated) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STATUS_BUSY, 3, 0, nullptr), 0);
    ASSERT_EQ(s->stream_stop(), "");
    camsim_camera_stats_t stats;
    ASSERT_EQ(camsim_get_camera_stats(0, &stats), 0);
    EXPECT_EQ(stats.busy_replies, 3u);
    EXPECT_EQ(stats.status_polls, 4u);
}

TEST_F(Commands, StatusPollNamingAnotherCommand) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STATUS_MISMATCH, 1, 0, nullptr), 0);
    EXPECT_EQ(s->stream_stop(), "status of another command");
    Session::Status st = s->poll();
    EXPECT_EQ(st.type, 0xC2);
}

TEST_F(Commands, ShortStatusReply) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STATUS_SHORT, 2, 0, nullptr), 0);
    uint8_t r[63];
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 63), 10);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STATUS_SHORT, 0, 0, nullptr), 0);
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 63), 10);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 63), 63);
}

TEST_F(Commands, InjectedFailureCarriesItsMessageOnce) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, "flash busy"), 0);
    EXPECT_EQ(s->param_set(13, {1, 1}), "flash busy");
    std::vector<uint8_t> v;
    ASSERT_EQ(s->param_get(13, v), "");
    EXPECT_EQ(le16(v.data()), 400);  // the failed command did nothing
}

TEST_F(Commands, HungControlTransferEndsByItsTimeOutOrByCancel) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), 0);
    uint8_t r[63];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 63, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));

    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), 0);
    libusb_transfer *t = libusb_alloc_transfer(0);
    auto *buf = static_cast<uint8_t *>(calloc(1, 8 + 63));
    libusb_fill_control_setup(buf, kInType, kStatusPoll, 0, 0, 63);
    Session::Done done;
    libusb_fill_control_transfer(t, s->h, buf, Session::on_done, &done, 0);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    timeval tv{0, 50000};
    libusb_handle_events_timeout_completed(s->ctx, &tv, &done.flag);
    EXPECT_EQ(done.flag, 0);
    EXPECT_EQ(libusb_cancel_transfer(t), 0);
    while (!done.flag) libusb_handle_events_completed(s->ctx, &done.flag);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_CANCELLED);
    libusb_free_transfer(t);
    EXPECT_EQ(s->stream_stop(), "");  // the camera answers again
}

TEST_F(Commands, StreamStartKeepsItsArgument) {
    ASSERT_EQ(s->stream_start(0x12345678), "");
    camsim_camera_stats_t stats;
    ASSERT_EQ(camsim_get_camera_stats(0, &stats), 0);
    EXPECT_EQ(stats.last_start_arg, 0x12345678u);
    camsim_camera_info_t info;
    ASSERT_EQ(camsim_camera_info(0, &info), 0);
    EXPECT_EQ(info.streaming, 1);
    ASSERT_EQ(s->stream_stop(), "");
    ASSERT_EQ(camsim_camera_info(0, &info), 0);
    EXPECT_EQ(info.streaming, 0);
}

TEST_F(Commands, ResetTargets) {
    ASSERT_EQ(s->reg_write(1, 34, {0x7777}), "");
    uint8_t t1[4] = {1, 0, 0, 0};
    ASSERT_EQ(s->write_cmd(kDeviceCmd, 0, {t1, t1 + 4}), "");  // sensor reset
    uint32_t v = 0;
    ASSERT_EQ(camsim_reg_get(0, 1, 34, &v), 0);
    EXPECT_NE(v, 0x7777u);
    ASSERT_EQ(s->write_cmd(kDeviceCmd, 0, {2, 0, 0, 0}), "");  // stream reset
    EXPECT_EQ(s->write_cmd(kDeviceCmd, 0, {7, 0, 0, 0}), "reset target 7 not supported");
    EXPECT_EQ(s->write_cmd(kDeviceCmd, 0, {7}), "reset needs a 32-bit target");
}

TEST_F(Commands, RebootAcknowledgesThenLeavesAndReturnsWithDefaults) {
    s.reset();
    camsim_clear();
    auto cfg = quick_config();
    cfg.reboot_delay_ms = 50;
    ASSERT_EQ(camsim_plug(&cfg), 0);
    s = std::make_unique<Session>();
    ASSERT_EQ(s->param_set(13, {0x11, 0x01}), "");
    ASSERT_EQ(s->write_cmd(kDeviceCmd, 0, {0, 0, 0, 0}), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint8_t r[63];
    EXPECT_EQ(s->control(true, kStatusPoll, 0, r, 63), LIBUSB_ERROR_NO_DEVICE);
    s = std::make_unique<Session>();
    ASSERT_NE(s->h, nullptr);
    std::vector<uint8_t> v;
    ASSERT_EQ(s->param_get(13, v), "");
    EXPECT_EQ(le16(v.data()), 400);
}

TEST_F(Commands, SynchronousControlTransferWorksToo) {
    uint8_t r[63];
    EXPECT_EQ(libusb_control_transfer(s->h, kInType, kStatusPoll, 0, 0, r, 63, 1000), 63);
}

}  // namespace
}  // namespace simtest
