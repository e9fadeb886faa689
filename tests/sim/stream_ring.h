// A ring of bulk IN transfers kept in flight on 0x81 (as a capture keeps
// them), feeding a StreamParser from their completions.
#pragma once

#include <chrono>
#include <functional>
#include <map>

#include "sim/usb_harness.h"

namespace simtest {

struct Ring {
    Session &s;
    std::vector<libusb_transfer *> ts;
    std::vector<std::vector<uint8_t>> bufs;
    StreamParser parser;
    std::map<int, int> statuses;  // completions per transfer status
    std::vector<int> lengths;     // actual length of every completion
    bool stop = false;
    bool clear_halt_on_stall = true;
    int outstanding = 0;

    Ring(Session &session, int n = 16, unsigned timeout_ms = 6000,
         int length = kStreamTransferBytes)
        : s(session) {
        bufs.resize(static_cast<size_t>(n), std::vector<uint8_t>(static_cast<size_t>(length)));
        for (int i = 0; i < n; ++i) {
            libusb_transfer *t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(t, s.h, kEpIn, bufs[static_cast<size_t>(i)].data(), length,
                                      on_done, this, timeout_ms);
            libusb_transfer_set_stream_id(t, static_cast<uint32_t>(i));
            ts.push_back(t);
        }
    }
    ~Ring() {
        drain();
        for (auto *t : ts) libusb_free_transfer(t);
    }
    void start() {
        stop = false;
        for (auto *t : ts)
            if (libusb_submit_transfer(t) == 0) ++outstanding;
    }
    static void LIBUSB_CALL on_done(libusb_transfer *t) {
        auto *r = static_cast<Ring *>(t->user_data);
        r->statuses[t->status]++;
        r->lengths.push_back(t->actual_length);
        r->parser.feed(t->buffer, static_cast<size_t>(t->actual_length));
        if (t->status == LIBUSB_TRANSFER_STALL && r->clear_halt_on_stall) {
            EXPECT_EQ(libusb_clear_halt(t->dev_handle, kEpIn), 0);
        }
        if (!r->stop && t->status != LIBUSB_TRANSFER_NO_DEVICE && libusb_submit_transfer(t) == 0)
            return;
        --r->outstanding;
    }
    // Handles events until pred() holds; false after max_ms.
    bool run_until(const std::function<bool()> &pred, int max_ms = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end) return false;
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(s.ctx, &tv, nullptr);
        }
        return true;
    }
    bool frames(size_t n, int max_ms = 10000) {
        return run_until([&] { return parser.frames.size() >= n; }, max_ms);
    }
    void drain() {
        stop = true;
        for (auto *t : ts) libusb_cancel_transfer(t);
        run_until([&] { return outstanding == 0; }, 20000);
    }
};

}  // namespace simtest
