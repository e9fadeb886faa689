// libusb transfer semantics: completions only inside event handling, the
// completed flag, time-outs, cancellation, flags, misuse reports, and an
// event thread beside an application thread.
#include <atomic>
#include <thread>

#include "sim/stream_ring.h"

namespace simtest {
namespace {

class Transfers : public SimTest {
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
    libusb_transfer *status_poll(Session::Done *done, unsigned timeout = 1000) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        auto *buf = static_cast<uint8_t *>(calloc(1, 8 + 63));
        libusb_fill_control_setup(buf, kInType, kStatusPoll, 0, 0, 63);
        libusb_fill_control_transfer(t, s->h, buf, Session::on_done, done, timeout);
        t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
        return t;
    }
    std::unique_ptr<Session> s;
};

TEST_F(Transfers, CompletionRunsOnlyInsideEventHandling) {
    Session::Done done;
    libusb_transfer *t = status_poll(&done);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(done.flag, 0);
    camsim_counters_t c;
    camsim_get_counters(&c);
    EXPECT_EQ(c.inflight_transfers, 1);
    timeval tv{1, 0};
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr), 0);
    EXPECT_EQ(done.flag, 1);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(t->actual_length, 63);
    libusb_free_transfer(t);
}

TEST_F(Transfers, CompletedFlagReturnsAtOnceAndTimeOutIsHonoured) {
    int completed = 1;
    timeval tv{5, 0};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, &completed), 0);
    completed = 0;
    tv = {0, 50000};
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, &completed), 0);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(50));
    EXPECT_LT(took, std::chrono::seconds(4));
}

TEST_F(Transfers, InjectedEventErrorKeepsCompletionsForTheNextCall) {
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_EVENT_ERROR, 2, 0, nullptr), 0);
    Session::Done done;
    libusb_transfer *t = status_poll(&done);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    timeval tv{0, 10000};
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr), LIBUSB_ERROR_IO);
    EXPECT_EQ(done.flag, 0);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_EVENT_ERROR, 1, 10, nullptr), 0);
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr),
              LIBUSB_ERROR_INTERRUPTED);
    EXPECT_EQ(libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr), 0);
    EXPECT_EQ(done.flag, 1);
    libusb_free_transfer(t);
}

TEST_F(Transfers, CancelledBulkTransferKeepsItsPartialLength) {
    Ring ring(*s, 1, 0);
    ring.start();
    ASSERT_EQ(libusb_cancel_transfer(ring.ts[0]), 0);
    EXPECT_EQ(libusb_cancel_transfer(ring.ts[0]), LIBUSB_ERROR_NOT_FOUND);
    ring.stop = true;
    ASSERT_TRUE(ring.run_until([&] { return ring.outstanding == 0; }));
    EXPECT_EQ(ring.statuses[LIBUSB_TRANSFER_CANCELLED], 1);
    EXPECT_EQ(ring.lengths.at(0), 0);
}

TEST_F(Transfers, BulkTransferWithoutDataTimesOut) {
    Ring ring(*s, 1, 60);
    ring.start();  // no stream started: nothing arrives
    ring.stop = true;
    ASSERT_TRUE(ring.run_until([&] { return ring.outstanding == 0; }));
    EXPECT_EQ(ring.statuses[LIBUSB_TRANSFER_TIMED_OUT], 1);
}

TEST_F(Transfers, ShortNotOkTurnsAShortTransferIntoAnError) {
    uint8_t buf[63];
    libusb_transfer *t = libusb_alloc_transfer(0);
    auto *b = static_cast<uint8_t *>(calloc(1, 8 + 100));
    libusb_fill_control_setup(b, kInType, kStatusPoll, 0, 0, 100);
    Session::Done done;
    libusb_fill_control_transfer(t, s->h, b, Session::on_done, &done, 1000);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER | LIBUSB_TRANSFER_SHORT_NOT_OK;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    while (!done.flag) libusb_handle_events_completed(s->ctx, &done.flag);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_ERROR);
    EXPECT_EQ(t->actual_length, 63);
    libusb_free_transfer(t);
    (void)buf;
}

TEST_F(Transfers, FreeTransferFlagFreesAfterTheCallback) {
    Session::Done done;
    libusb_transfer *t = status_poll(&done);
    t->flags |= LIBUSB_TRANSFER_FREE_TRANSFER;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    while (!done.flag) libusb_handle_events_completed(s->ctx, &done.flag);
    camsim_counters_t c;
    camsim_get_counters(&c);
    EXPECT_EQ(c.live_transfers, 0);
}

TEST_F(Transfers, StreamIdsAreKept) {
    libusb_transfer *t = libusb_alloc_transfer(0);
    libusb_transfer_set_stream_id(t, 11);
    EXPECT_EQ(libusb_transfer_get_stream_id(t), 11u);
    libusb_free_transfer(t);
}

TEST_F(Transfers, DoubleSubmitIsReportedAndRefused) {
    Session::Done done;
    libusb_transfer *t = status_poll(&done);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    EXPECT_EQ(libusb_submit_transfer(t), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(camsim_misuse_count(), 1u);
    EXPECT_NE(std::string(camsim_last_misuse()).find("submitted twice"), std::string::npos);
    while (!done.flag) libusb_handle_events_completed(s->ctx, &done.flag);
    libusb_free_transfer(t);
    expected_misuse = 1;
}

TEST_F(Transfers, FreeingInFlightIsReportedAndTheCallbackNeverRuns) {
    Ring ring(*s, 1, 0);
    ring.start();
    libusb_free_transfer(ring.ts[0]);
    EXPECT_EQ(camsim_misuse_count(), 1u);
    timeval tv{0, 20000};
    libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr);
    EXPECT_TRUE(ring.statuses.empty());
    ring.ts.clear();
    ring.outstanding = 0;
    libusb_transfer *gone = reinterpret_cast<libusb_transfer *>(0x1000);
    libusb_free_transfer(gone);  // never allocated
    EXPECT_EQ(camsim_misuse_count(), 2u);
    expected_misuse = 2;
}

TEST_F(Transfers, BulkWithoutClaimIsMisuse) {
    ASSERT_EQ(libusb_release_interface(s->h, 0), 0);
    uint8_t buf[512];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(s->h, kEpIn, buf, sizeof buf, &got, 10), LIBUSB_ERROR_NOT_FOUND);
    expected_misuse = 1;
}

TEST_F(Transfers, BulkOutIsAccepted) {
    uint8_t data[1000] = {1, 2, 3};
    int sent = 0;
    EXPECT_EQ(libusb_bulk_transfer(s->h, kEpOut, data, sizeof data, &sent, 1000), 0);
    EXPECT_EQ(sent, 1000);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STALL_BULK_OUT, 1, 0, nullptr), 0);
    EXPECT_EQ(libusb_bulk_transfer(s->h, kEpOut, data, sizeof data, &sent, 1000),
              LIBUSB_ERROR_PIPE);
    camsim_camera_stats_t st;
    ASSERT_EQ(camsim_get_camera_stats(0, &st), 0);
    EXPECT_EQ(st.bulk_out_bytes, 1000u);
}

// The transport's arrangement: one event thread handles every completion
// while the application thread issues commands and waits on flags.
TEST_F(Transfers, EventThreadServesCommandsAndAStreamOfAnotherThread) {
    std::atomic<int> exit_flag{0};
    std::thread evt([&] {
        while (!exit_flag.load()) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(s->ctx, &tv,
                                                   reinterpret_cast<int *>(&exit_flag));
        }
    });
    struct Counter {
        std::atomic<int> bytes{0}, done{0};
        std::atomic<bool> stop{false};
    } counter;
    std::vector<std::vector<uint8_t>> bufs(4, std::vector<uint8_t>(kStreamTransferBytes));
    std::vector<libusb_transfer *> ts;
    auto cb = [](libusb_transfer *t) {
        auto *c = static_cast<Counter *>(t->user_data);
        c->bytes += t->actual_length;
        if (c->stop || libusb_submit_transfer(t) != 0) c->done++;
    };
    for (auto &b : bufs) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(t, s->h, kEpIn, b.data(), kStreamTransferBytes, cb, &counter,
                                  6000);
        ASSERT_EQ(libusb_submit_transfer(t), 0);
        ts.push_back(t);
    }
    auto wait_cmd = [&](uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        Session::Done done;
        libusb_transfer *t = libusb_alloc_transfer(0);
        auto *buf = static_cast<uint8_t *>(calloc(1, 8 + data.size()));
        libusb_fill_control_setup(buf, kOutType, type, value, 0,
                                  static_cast<uint16_t>(data.size()));
        memcpy(buf + 8, data.data(), data.size());
        libusb_fill_control_transfer(t, s->h, buf, Session::on_done, &done, 1000);
        t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
        EXPECT_EQ(libusb_submit_transfer(t), 0);
        while (!__atomic_load_n(&done.flag, __ATOMIC_ACQUIRE))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(t->status, LIBUSB_TRANSFER_COMPLETED);
        libusb_free_transfer(t);
    };
    wait_cmd(kRegisterCmd, 4, {0, 0, 0, 0});
    for (int i = 0; i < 20; ++i)
        wait_cmd(kDeviceCmd, 3, std::vector<uint8_t>{13, 2, 0x90, 1, 0, 0, 0, 0, 0, 0,
                                                     0,  0, 0,    0, 0, 0, 0, 0, 0, 0});
    while (counter.bytes < 4 * 614400) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    counter.stop = true;
    for (auto *t : ts) libusb_cancel_transfer(t);
    while (counter.done < 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    wait_cmd(kRegisterCmd, 5, {0xC2});
    exit_flag = 1;
    evt.join();
    for (auto *t : ts) libusb_free_transfer(t);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Two applications' worth of threads: each streams its own camera through its
// own context while the main thread pulls one camera off the bus.
TEST_F(Transfers, TwoCamerasOnTwoThreadsWhileOneIsUnplugged) {
    s.reset();
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 1);
    std::atomic<bool> b_streaming{false};
    size_t a_frames = 0, b_frames = 0;
    auto run = [&](int cam, size_t want, size_t &got) {
        camsim_camera_info_t info;
        ASSERT_EQ(camsim_camera_info(cam, &info), 0);
        Session ss(info.bus, info.port);
        ASSERT_NE(ss.h, nullptr);
        Ring ring(ss, 8);
        ring.start();
        ASSERT_EQ(ss.stream_start(), "");
        if (want) {
            ASSERT_TRUE(ring.frames(want));
        } else {
            ASSERT_TRUE(ring.frames(1));
            b_streaming = true;
            ASSERT_TRUE(ring.run_until([&] { return ring.outstanding == 0; }, 20000));
        }
        got = ring.parser.frames.size();
    };
    std::thread a([&] { run(0, 6, a_frames); });
    std::thread b([&] { run(1, 0, b_frames); });
    while (!b_streaming) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(camsim_unplug(1), 0);
    a.join();
    b.join();
    EXPECT_GE(a_frames, 6u);
    EXPECT_GE(b_frames, 1u);
}

}  // namespace
}  // namespace simtest
