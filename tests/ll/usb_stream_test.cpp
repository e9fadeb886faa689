// Streaming on the simulated camera: the ring of bulk transfers, its event
// codes, resubmission, stop and abort.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "ll/sim_fixture.h"

namespace {

using kavri_test::camera_info;
using kavri_test::camera_stats;
using kavri_test::CaptureLog;
using kavri_test::LogCapture;
using kavri_test::sim_counters;
using kavri_test::SimTest;
using kavri_test::wait_counters;
using Events = std::vector<CaptureLog::Event>;

constexpr int kRing = 16;
constexpr uint32_t kRingBytes = 153600;
constexpr uint32_t kStartArg = 0x01020304;

class UsbStream : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = plug();
        // One frame a second: after the first frame the ring sits idle and full.
        ASSERT_EQ(camsim_set_pacing(cam_, 1, 0), CAMSIM_OK);
        ll_ = open_first();
        ASSERT_NE(ll_, nullptr);
    }

    // Starts the capture and waits until the first frame has arrived and all
    // sixteen transfers are queued again.
    void start_and_settle() {
        ASSERT_EQ(kavri_ll_cap_start(ll_, kStartArg, CaptureLog::callback, &log_), 1);
        const uint32_t frame = camera_info(cam_).frame_bytes;
        ASSERT_TRUE(log_.wait_for([&](const Events &ev) {
            uint64_t bytes = 0;
            for (const auto &e : ev) bytes += e.len;
            return bytes >= frame;
        }));
        ASSERT_TRUE(wait_counters(
            [](const camsim_counters_t &c) { return c.inflight_transfers == kRing; }));
    }

    int cam_ = -1;
    kavri_ll_t *ll_ = nullptr;
    CaptureLog log_;
};

TEST_F(UsbStream, StartQueuesTheRingAndSendsTheArgument) {
    start_and_settle();
    const camsim_camera_stats_t s = camera_stats(cam_);
    EXPECT_EQ(s.stream_starts, 1u);
    EXPECT_EQ(s.last_start_arg, kStartArg);
    for (const auto &e : log_.events()) {
        EXPECT_EQ(e.code, 0);
        EXPECT_LE(e.len, kRingBytes);
    }
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
}

TEST_F(UsbStream, StreamBytesArriveInOrder) {
    ASSERT_EQ(camsim_set_pacing(cam_, 0, 1), CAMSIM_OK);  // free running
    ASSERT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 1);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) { return ev.size() >= 40; }));
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
    uint64_t bytes = 0;
    for (const auto &e : log_.events()) bytes += e.code == 0 ? e.len : 0;
    EXPECT_GT(bytes, 40ull * kRingBytes / 2);
}

TEST_F(UsbStream, StopCancelsAllSixteenAndResubmitsNone) {
    start_and_settle();
    const size_t before = log_.size();
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
    ASSERT_TRUE(log_.wait_for([&](const Events &ev) { return ev.size() >= before + kRing; }));
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == 0; }));
    const Events ev = log_.events();
    ASSERT_EQ(ev.size(), before + kRing);
    for (size_t i = before; i < ev.size(); ++i) EXPECT_EQ(ev[i].code, KAVRI_ERR_CAP_CANCELLED);
    EXPECT_EQ(camera_stats(cam_).stream_stops, 1u);
}

TEST_F(UsbStream, AbortLetsTheRingRunOutWithData) {
    start_and_settle();
    const size_t before = log_.size();
    kavri_ll_cap_abort(ll_);
    ASSERT_EQ(camsim_set_pacing(cam_, 0, 1), CAMSIM_OK);  // frames as fast as they are taken
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == 0; }));
    ASSERT_TRUE(log_.wait_for([&](const Events &ev) { return ev.size() >= before + kRing; }));
    const Events ev = log_.events();
    EXPECT_EQ(ev.size(), before + kRing);
    for (size_t i = before; i < ev.size(); ++i) {
        EXPECT_EQ(ev[i].code, 0);
        EXPECT_GT(ev[i].len, 0u);
    }
    EXPECT_EQ(camera_stats(cam_).stream_stops, 0u);  // abort sends nothing
}

TEST_F(UsbStream, PartFilledTimeoutDeliversItsBytesAndRejoinsTheRing) {
    start_and_settle();
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_TIMEOUT_BULK_IN, 1, 1000, nullptr), CAMSIM_OK);
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) {
        for (const auto &e : ev)
            if (e.code == KAVRI_ERR_CAP_TIMEOUT) return true;
        return false;
    }));
    for (const auto &e : log_.events())
        if (e.code == KAVRI_ERR_CAP_TIMEOUT) {
            EXPECT_EQ(e.len, 1000u);
        }
    const size_t seen = log_.size();
    // The ring keeps all sixteen going: data keeps coming.
    ASSERT_TRUE(log_.wait_for([&](const Events &ev) { return ev.size() >= seen + 2 * kRing; }));
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
}

TEST_F(UsbStream, StallIsClearedAndTheTransferResubmitted) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STALL_BULK_IN, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_WRN);
    ASSERT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 1);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) {
        bool stalled = false;
        size_t data_after = 0;
        for (const auto &e : ev) {
            if (e.code == KAVRI_ERR_CAP_STALL)
                stalled = true;
            else if (stalled && e.code == 0)
                ++data_after;
        }
        return stalled && data_after > 0;
    }));
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == kRing; }));
    EXPECT_EQ(log_.count(KAVRI_ERR_CAP_STALL), 1u);
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
    EXPECT_TRUE(log.has("[on_usb_trans_event] trans[0] stall (last_tx=0)\n")) << log.text();
}

TEST_F(UsbStream, UnplugEndsEveryTransferWithTheUnknownCode) {
    start_and_settle();
    const size_t before = log_.size();
    ASSERT_EQ(camsim_unplug(cam_), CAMSIM_OK);
    ASSERT_TRUE(log_.wait_for([&](const Events &ev) { return ev.size() >= before + kRing; }));
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == 0; }));
    const Events ev = log_.events();
    ASSERT_EQ(ev.size(), before + kRing);
    for (size_t i = before; i < ev.size(); ++i) EXPECT_EQ(ev[i].code, KAVRI_ERR_CAP_UNKNOWN);
}

TEST_F(UsbStream, UnplugWhileFreeRunningIsReportedEvenWhenNoTransferWasPending) {
    // Free-running, every queued transfer may already hold data when the camera
    // leaves: they complete normally and cannot be queued again. The capture
    // layer must still hear that the stream is gone.
    ASSERT_EQ(camsim_set_pacing(cam_, 0, 1), CAMSIM_OK);
    ASSERT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 1);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) { return ev.size() >= 2 * kRing; }));
    ASSERT_EQ(camsim_unplug(cam_), CAMSIM_OK);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) {
        for (const auto &e : ev)
            if (e.code == KAVRI_ERR_CAP_UNKNOWN) return true;
        return false;
    }));
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == 0; }));
}

TEST_F(UsbStream, RefusedStartCancelsAndDrainsTheRingItself) {
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_WRN);
    EXPECT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 0);
    EXPECT_TRUE(log.has("[usb_ll_cap_start] kavri_ll_cap_start failed\n")) << log.text();
    // No abort from the callback is needed: the ring is back when the start returns.
    EXPECT_EQ(sim_counters().inflight_transfers, 0);
    EXPECT_EQ(log_.count(KAVRI_ERR_CAP_CANCELLED), static_cast<size_t>(kRing));
}

TEST_F(UsbStream, CloseWhileStreamingWaitsForTheRing) {
    ASSERT_EQ(camsim_set_pacing(cam_, 0, 1), CAMSIM_OK);
    ASSERT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 1);
    ASSERT_TRUE(log_.wait_for([](const Events &ev) { return ev.size() >= 20; }));
    // No stop: close itself must see every transfer back before freeing it.
    kavri_ll_dev_close(ll_);
    EXPECT_EQ(ll_->state, nullptr);
    EXPECT_EQ(sim_counters().inflight_transfers, 0);
    EXPECT_EQ(camsim_misuse_count(), 0u) << camsim_last_misuse();
}

TEST_F(UsbStream, RestartAfterStopStreamsAgain) {
    start_and_settle();
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.inflight_transfers == 0; }));
    const size_t before = log_.size();
    ASSERT_EQ(kavri_ll_cap_start(ll_, 7, CaptureLog::callback, &log_), 1);
    ASSERT_TRUE(log_.wait_for([&](const Events &ev) {
        for (size_t i = before; i < ev.size(); ++i)
            if (ev[i].code == 0 && ev[i].len > 0) return true;
        return false;
    }));
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
}

// A command whose completion cannot be delivered in time (the event thread
// is held up in the capture callback) is given up after 2000 ms; its
// transfer stays alive until the late completion arrives, then is freed.
TEST_F(UsbStream, GivenUpCommandIsFreedByItsLateCompletion) {
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool armed = false, blocked = false, released = false;
        void open() {
            {
                std::lock_guard lock(m);
                released = true;
            }
            cv.notify_all();
        }
    };
    auto gate = std::make_shared<Gate>();
    // Whatever happens below, the event thread is let go before close.
    struct Release {
        std::shared_ptr<Gate> g;
        ~Release() { g->open(); }
    } release{gate};
    log_.set_hook([gate](kavri_ll_t *, int32_t) {
        std::unique_lock lock(gate->m);
        if (!gate->armed || gate->released) return;
        gate->blocked = true;
        gate->cv.notify_all();
        gate->cv.wait(lock, [&] { return gate->released; });
    });
    start_and_settle();
    {
        std::lock_guard lock(gate->m);
        gate->armed = true;
    }
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    {
        std::unique_lock lock(gate->m);
        ASSERT_TRUE(
            gate->cv.wait_for(lock, std::chrono::seconds(5), [&] { return gate->blocked; }));
    }
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_WRN);
    uint32_t v = 1;
    EXPECT_EQ(kavri_ll_reg_write(ll_, 1, 0, &v, 1), 0);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] control transfer timeout !\n")) << log.text();
    // The ring and the given-up command are still allocated.
    EXPECT_EQ(sim_counters().live_transfers, kRing + 1);
    gate->open();
    ASSERT_TRUE(
        wait_counters([](const camsim_counters_t &c) { return c.live_transfers == kRing; }));
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
}

// A command given up while the event thread is held is still outstanding
// when close runs: close waits for its completion before tearing down.
TEST_F(UsbStream, CloseWaitsForAGivenUpCommand) {
    auto held = std::make_shared<std::atomic<bool>>(false);
    auto hold_ms = std::make_shared<std::atomic<int>>(0);
    log_.set_hook([held, hold_ms](kavri_ll_t *, int32_t) {
        const int ms = hold_ms->exchange(0);
        if (ms == 0) return;
        held->store(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    });
    start_and_settle();
    // The next completion holds the event thread for 2500 ms.
    hold_ms->store(2500);
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!held->load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(held->load());
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr), CAMSIM_OK);
    uint32_t v = 1;
    EXPECT_EQ(kavri_ll_reg_write(ll_, 1, 0, &v, 1), 0);
    kavri_ll_dev_close(ll_);
    EXPECT_EQ(ll_->state, nullptr);
    EXPECT_EQ(sim_counters().live_transfers, 0);
    EXPECT_EQ(camsim_misuse_count(), 0u) << camsim_last_misuse();
}

TEST_F(UsbStream, CallbackCannotCloseOrCommandItsOwnDevice) {
    constexpr int kDone = 10, kCommandRefused = 1, kStillOpen = 2;
    auto outcome = std::make_shared<std::atomic<int>>(0);
    log_.set_hook([outcome](kavri_ll_t *ll, int32_t) {
        int expected = 0;
        if (!outcome->compare_exchange_strong(expected, 1)) return;
        uint32_t v = 0;
        // Both would wait for this very thread: refused at once.
        int result = kDone;
        if (kavri_ll_reg_write(ll, 1, 0, &v, 1) == 0) result |= kCommandRefused;
        kavri_ll_dev_close(ll);
        if (ll->state != nullptr) result |= kStillOpen;
        outcome->store(result);
    });
    LogCapture log(KV_LOG_ERR);
    ASSERT_EQ(kavri_ll_cap_start(ll_, 0, CaptureLog::callback, &log_), 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (outcome->load() < kDone && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    log.text();
    EXPECT_EQ(outcome->load(), kDone | kCommandRefused | kStillOpen);
    EXPECT_TRUE(log.has("[usb_ll_exe_cmd] commands cannot run on the device's event thread\n"))
        << log.text();
    EXPECT_TRUE(log.has("[usb_ll_dev_close] cannot close the device from its own event thread\n"))
        << log.text();
    EXPECT_EQ(kavri_ll_cap_stop(ll_), 1);
}

}  // namespace
