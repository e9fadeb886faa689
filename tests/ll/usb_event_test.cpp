// The event thread and the status poll under failures the simulator injects
// into event handling and status replies.
#include <thread>

#include "ll/sim_fixture.h"

namespace {

using kavri_test::LogCapture;
using kavri_test::LogFile;
using kavri_test::sim_counters;
using kavri_test::SimTest;

constexpr uint8_t kSensorTarget = 1;

class UsbEvents : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = plug();
        ll_ = open_first();
        ASSERT_NE(ll_, nullptr);
    }
    int cam_ = -1;
    kavri_ll_t *ll_ = nullptr;
};

TEST_F(UsbEvents, MismatchedStatusReplyFailsTheCommand) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STATUS_MISMATCH, 1, 0, nullptr), CAMSIM_OK);
    uint32_t v = 1;
    LogCapture log(KV_LOG_WRN);
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 0);
    EXPECT_TRUE(
        log.has("[WRN] [usb_ll_check_last_cmd]  last cmd (t=195,v=0) is not as "
                "expect(t=194,v=0)\r\n"))
        << log.text();
}

TEST_F(UsbEvents, ShortStatusReplyFailsEvenWhenItSaysDone) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STATUS_SHORT, 1, 10, nullptr), CAMSIM_OK);
    uint32_t v = 1;
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 0);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] exe usb cmd failed: ")) << log.text();
    // A full reply afterwards is fine again.
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
}

TEST_F(UsbEvents, BusyOrOverflowFromEventHandlingKeepsTheLoopGoing) {
    LogFile log(KV_LOG_TRC);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_EVENT_ERROR, 2, -LIBUSB_ERROR_BUSY, nullptr),
              CAMSIM_OK);
    ASSERT_TRUE(log.wait_for("[_ll_event_loop] libusb reports error: LIBUSB_ERROR_BUSY\n", 2))
        << log.text();
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_EVENT_ERROR, 1, -LIBUSB_ERROR_OVERFLOW, nullptr),
              CAMSIM_OK);
    ASSERT_TRUE(log.wait_for("[_ll_event_loop] libusb reports error: LIBUSB_ERROR_OVERFLOW\n"))
        << log.text();
    EXPECT_EQ(log.count("Exit ll event loop"), 0u);
    uint32_t v = 1;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
}

TEST_F(UsbEvents, EventErrorEndsTheLoopAndLaterCommandsTimeOut) {
    LogFile log(KV_LOG_TRC);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_EVENT_ERROR, 1, 0, nullptr), CAMSIM_OK);
    ASSERT_TRUE(log.wait_for("[_ll_event_loop] Exit ll event loop...\n")) << log.text();
    EXPECT_EQ(log.count("[_ll_event_loop] libusb reports error: LIBUSB_ERROR_IO\n"), 1u);

    uint32_t v = 1;
    EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 0);
    EXPECT_EQ(log.count("[usb_ll_exe_cmd] control transfer timeout !\n"), 1u) << log.text();
    // The given-up command is still libusb's; close collects it.
    kavri_ll_dev_close(ll_);
    EXPECT_EQ(ll_->state, nullptr);
    EXPECT_EQ(sim_counters().live_transfers, 0);
}

TEST_F(UsbEvents, InterruptedOrTimedOutEventHandlingEndsTheLoop) {
    struct Case {
        int error;
        const char *warning;
    };
    const Case cases[] = {
        {LIBUSB_ERROR_INTERRUPTED,
         "[_ll_event_loop] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n"},
        {LIBUSB_ERROR_TIMEOUT, "[_ll_event_loop] libusb_handle_events timeout \n"},
    };
    for (const Case &c : cases) {
        LogFile log(KV_LOG_TRC);
        ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_EVENT_ERROR, 1, -c.error, nullptr), CAMSIM_OK);
        ASSERT_TRUE(log.wait_for("[_ll_event_loop] Exit ll event loop...\n")) << log.text();
        EXPECT_EQ(log.count(c.warning), 1u) << log.text();
        // Close and open again: a fresh event thread serves the device.
        kavri_ll_dev_close(ll_);
        ASSERT_EQ(kavri_ll_dev_open(ll_), ll_);
        uint32_t v = 1;
        EXPECT_EQ(kavri_ll_reg_write(ll_, kSensorTarget, 0, &v, 1), 1);
    }
}

}  // namespace
