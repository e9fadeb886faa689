// Streaming: a ring of sixteen bulk IN transfers kept in flight on the frame
// endpoint, each handed to the capture callback and resubmitted on completion.
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/le.h"
#include "core/log_internal.h"
#include "ll/usb_ll.h"

namespace kavri::ll {
namespace {

constexpr uint8_t kCmdStream = 0xC2;
constexpr uint16_t kValStreamStart = 4;
constexpr uint16_t kValStreamStop = 5;
constexpr uint8_t kStopPayload = 0xC2;
constexpr uint32_t kStreamCmdTimeoutMs = 1000;

bool device_ready(const kavri_ll_t *ll, const char *tag) {
    const usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr || st->handle == nullptr) {
        KV_ERR("[%s]  USB handler Is NULL!\r\n", tag);
        return false;
    }
    return true;
}

void clear_stream_halt(usb_ll_dev_priv_t &st, const char *tag) {
    if (libusb_clear_halt(st.handle.get(), kStreamEndpoint) != 0)
        KV_ERR("[%s]  Clear halt failed on EP: %0x!\r\n", tag, kStreamEndpoint);
}

// Maps a stream transfer's outcome to its capture event code, with its log line.
int32_t event_code_of(usb_ll_dev_priv_t &st, const libusb_transfer &t, int idx) {
    constexpr const char *tag = "on_usb_trans_event";
    switch (t.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return KAVRI_OK;
        case LIBUSB_TRANSFER_CANCELLED:
            KV_TRC("[%s] trans[%d] cancelled (last_tx=%d)\n", tag, idx, t.actual_length);
            return KAVRI_ERR_CAP_CANCELLED;
        case LIBUSB_TRANSFER_TIMED_OUT:
            KV_DBG("[%s] trans[%d] timeout (last_tx=%d)\n", tag, idx, t.actual_length);
            return KAVRI_ERR_CAP_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            KV_WRN("[%s] trans[%d] stall (last_tx=%d)\n", tag, idx, t.actual_length);
            clear_stream_halt(st, tag);
            return KAVRI_ERR_CAP_STALL;
        default:
            KV_WRN("[%s] trans[%d] error (%d) (last_tx=%d)\n", tag, idx, static_cast<int>(t.status),
                   t.actual_length);
            // Before the callback hears of it: it asks whether the camera went.
            if (t.status == LIBUSB_TRANSFER_NO_DEVICE) st.gone.store(true);
            return KAVRI_ERR_CAP_UNKNOWN;
    }
}

// The ring's in-flight bookkeeping; io_mutex held.
void mark_idle_locked(usb_ll_dev_priv_t &st, int idx) {
    if (!st.ring_in_flight[idx]) return;
    st.ring_in_flight[idx] = false;
    if (--st.ring_in_flight_count == 0) st.io_idle.notify_all();
}

// Cancels the in-flight stream transfers; a capture call logs all sixteen.
int cancel_ring(usb_ll_dev_priv_t &st, const char *tag, bool log_each = true) {
    std::vector<libusb_transfer *> to_cancel;
    {
        std::lock_guard lock(st.io_mutex);
        for (int i = 0; i < kRingSize; ++i) {
            if (log_each)
                KV_TRC("[%s] trans[%d] cancel: status=%d\n", tag, i, st.ring_last_status[i]);
            if (st.ring_in_flight[i]) to_cancel.push_back(st.transfers[i].get());
        }
    }
    // Unlocked: a cancellation may complete its transfer at once.
    for (libusb_transfer *t : to_cancel) libusb_cancel_transfer(t);
    return static_cast<int>(to_cancel.size());
}

void set_stop(usb_ll_dev_priv_t &st, uint8_t value) {
    // Under the ring lock, so no completion can resubmit after stop is set.
    std::lock_guard lock(st.io_mutex);
    st.stop.store(value);
}

// Bound on waiting for cancelled stream transfers to come back: a
// cancellation completes within milliseconds, the transfers' own time-out
// is 6 s.
constexpr auto kCancelDrainLimit = std::chrono::milliseconds(1000);

// Waits, bounded, until the event thread has delivered every cancelled
// stream transfer. Without a running event thread nothing would deliver them.
void wait_ring_drained(usb_ll_dev_priv_t &st) {
    if (!st.evt_running.load() || st.on_event_thread()) return;
    std::unique_lock lock(st.io_mutex);
    st.io_idle.wait_for(lock, kCancelDrainLimit, [&] { return st.ring_in_flight_count == 0; });
}

}  // namespace

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *transfer) {
    constexpr const char *tag = "on_usb_trans_event";
    const int idx = static_cast<int>(libusb_transfer_get_stream_id(transfer));
    auto *ll = static_cast<kavri_ll_t *>(transfer->user_data);
    usb_ll_dev_priv_t &st = *usb_state(ll);
    KV_TRC("[%s] trans[%d]: txlen=%d, status = %d\n", tag, idx, transfer->actual_length,
           static_cast<int>(transfer->status));

    const int32_t code = event_code_of(st, *transfer, idx);
    if (kavri_ll_cap_cb_t cb = st.cap_cb.load(); cb != nullptr)
        cb(ll, code, transfer->buffer, static_cast<uint32_t>(transfer->actual_length),
           st.cap_cb_arg.load());

    bool ring_died = false;
    {
        std::lock_guard lock(st.io_mutex);
        st.ring_last_status[idx] = static_cast<int>(transfer->status);
        bool resubmit_failed = false;
        if (transfer->length > 0 && st.stop.load() == 0) {
            KV_TRC("[%s] trans[%d] issue: size=%d \n", tag, idx, transfer->length);
            transfer->timeout = kBulkTimeoutMs;
            const int r = libusb_submit_transfer(transfer);
            if (r == 0) return;
            KV_ERR("[%s] Unable to submit URB. libusb error code: %d\n", tag, r);
            if (r == LIBUSB_ERROR_NO_DEVICE) st.gone.store(true);
            resubmit_failed = true;
        }
        mark_idle_locked(st, idx);
        // A capture whose last transfer could not be queued again (the camera
        // left the bus) would otherwise go silent: the capture layer must hear
        // that the stream is gone.
        // A completion that already carried the unknown-error code said so.
        ring_died =
            resubmit_failed && st.ring_in_flight_count == 0 && code != KAVRI_ERR_CAP_UNKNOWN;
    }
    if (ring_died) {
        if (kavri_ll_cap_cb_t cb = st.cap_cb.load(); cb != nullptr)
            cb(ll, KAVRI_ERR_CAP_UNKNOWN, transfer->buffer, 0, st.cap_cb_arg.load());
    }
}

int usb_ll_ring_cancel(usb_ll_dev_priv_t &st, const char *tag) {
    set_stop(st, 1);
    return cancel_ring(st, tag, false);
}

uint8_t usb_ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg) {
    constexpr const char *tag = "usb_ll_cap_start";
    if (!device_ready(ll, tag)) return 0;
    usb_ll_dev_priv_t &st = *usb_state(ll);

    set_stop(st, 0);
    clear_stream_halt(st, tag);
    st.cap_cb.store(cb);
    st.cap_cb_arg.store(cb_arg);

    for (int i = 0; i < kRingSize; ++i) {
        libusb_transfer *t = st.transfers[i].get();
        std::lock_guard lock(st.io_mutex);
        if (st.ring_in_flight[i]) {
            // Still out from the previous capture: with stop clear again it
            // is resubmitted on completion and rejoins the ring by itself.
            KV_TRC("[%s] trans[%d] still in flight\n", tag, i);
            continue;
        }
        libusb_fill_bulk_transfer(t, st.handle.get(), kStreamEndpoint, st.buffers[i].get(),
                                  static_cast<int>(kRingBufferSize), on_usb_trans_event, ll,
                                  kBulkTimeoutMs);
        libusb_transfer_set_stream_id(t, static_cast<uint32_t>(i));
        if (libusb_submit_transfer(t) == 0) {
            st.ring_in_flight[i] = true;
            ++st.ring_in_flight_count;
            KV_TRC("[%s] trans[%d] issue: txlen=%d\n", tag, i, static_cast<int>(kRingBufferSize));
        } else {
            KV_ERR("[%s] trans[%d] issue failed\n", tag, i);
        }
    }

    KV_TRC("[%s] Enter\n", tag);
    uint8_t start_arg[4];
    le::put_u32(start_arg, arg);
    if (usb_ll_exe_cmd(ll, 1, kCmdStream, kValStreamStart, start_arg, sizeof start_arg,
                       kStreamCmdTimeoutMs))
        return 1;

    KV_WRN("[%s] kavri_ll_cap_start failed\n", tag);
    // The ring is ended here, before returning: with stop left clear the
    // cancelled transfers completing before the caller could abort would be
    // resubmitted and stay out until their 6 s time-out.
    set_stop(st, 1);
    cancel_ring(st, tag);
    wait_ring_drained(st);
    return 0;
}

uint8_t usb_ll_cap_stop(kavri_ll_t *ll) {
    constexpr const char *tag = "usb_ll_cap_stop";
    if (!device_ready(ll, tag)) return 0;
    usb_ll_dev_priv_t &st = *usb_state(ll);
    set_stop(st, 1);
    cancel_ring(st, tag);
    uint8_t payload = kStopPayload;
    return usb_ll_exe_cmd(ll, 1, kCmdStream, kValStreamStop, &payload, sizeof payload,
                          kStreamCmdTimeoutMs);
}

void usb_ll_cap_abort(kavri_ll_t *ll) {
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr) return;
    set_stop(*st, 1);
}

}  // namespace kavri::ll
