// The capture event handler: runs on the transport's event thread for every
// completed stream transfer, feeds the parser and wakes the fetching thread.
#include "api/dev_priv.h"
#include "api/reconnect.h"
#include "core/clock.h"
#include "kavri/ll.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "kavri/stream.h"
#include "stream/stream.h"
#include "api/rec_api.h"

namespace kavri::api {
namespace {

constexpr const char *kTag = "on_capture_event";
constexpr int32_t kMaxTimeouts = 32;
constexpr int32_t kMaxStalls = 16;

void signal_waiter(kavri_dev_priv_t *p) {
    std::lock_guard lock(p->mutex);
    ++p->wake_seq;
    p->cond.notify_all();
}

// Stops the capture for a fault unless it is already stopping.
void fault_stop(kavri_dev_priv_t *p, int32_t code) {
    p->stop.store(1);
    p->error.store(code);
    p->error_arg.store(0);
    kavri::ll::ll_cap_abort(&p->ll);
}

}  // namespace

int32_t on_capture_event(kavri_ll_t *ll, int32_t code, uint8_t *data, uint32_t len, void *) {
    auto *p = reinterpret_cast<kavri_dev_priv_t *>(ll);
    const uint64_t arrival_ns = core::transfer_arrival_ns();
    bool ready = false;
    {
        std::lock_guard feed(p->feed_mutex);
        switch (code) {
            case KAVRI_OK:
                p->stall_cnt.store(0);
                ready = kavri::stream::stream_feed_input_at(
                            p->stream, data, static_cast<int32_t>(len), arrival_ns) != 0;
                break;
            case KAVRI_ERR_CAP_CANCELLED:
                // The trace of a stop or of a failed start, both of which end
                // the ring themselves; a late one from the previous capture
                // must not stop the next.
                break;
            case KAVRI_ERR_CAP_TIMEOUT:
                p->stat_timeouts.fetch_add(1, std::memory_order_relaxed);
                if (p->timeout_cnt.fetch_add(1) + 1 > kMaxTimeouts && !p->stop.load()) {
                    KV_WRN("[%s] trans timeout -> stop\n", kTag);
                    fault_stop(p, KAVRI_ERR_CAP_TIMEOUT);
                }
                break;
            case KAVRI_ERR_CAP_STALL:
                p->stat_stalls.fetch_add(1, std::memory_order_relaxed);
                if (p->stall_cnt.fetch_add(1) + 1 > kMaxStalls && !p->stop.load()) {
                    KV_WRN("[%s] trans stall -> stop\n", kTag);
                    fault_stop(p, KAVRI_ERR_CAP_STALL);
                }
                break;
            default:
                p->stat_errors.fetch_add(1, std::memory_order_relaxed);
                if (RecorderRef recorder(p); recorder)
                    recorder->on_transfer(code, data, len, 0, false, arrival_ns);
                // With reconnect on, a camera that left is waited for, not
                // a failed capture (link_lost wakes the waiters).
                if (waits_for_camera(p)) {
                    link_lost(p);
                    return 0;
                }
                p->error.store(code);
                p->error_arg.store(0);
                if (!p->stop.load()) {
                    p->stop.store(1);
                    kavri::ll::ll_cap_abort(&p->ll);
                }
                signal_waiter(p);
                return 0;
        }

        kv_stream_state_t state{};
        kavri::stream::stream_get_state(p->stream, &state);
        // A running recorder gets the transfer as it came, with where the
        // parser stands after it.
        if (RecorderRef recorder(p); recorder)
            recorder->on_transfer(code, data, len, state.frames_done,
                                  kavri::stream::stream_at_boundary(p->stream), arrival_ns);
        if (state.frames_discarded > p->stream_state.frames_discarded) {
            KV_DBG("[%s] trans discard %d frames\n", kTag,
                   static_cast<int>(state.frames_discarded - p->stream_state.frames_discarded));
            // A pending fault or reconnect outranks the notice: it must reach
            // the caller.
            if (const int32_t e = p->error.load(); e == 0 || e == KAVRI_ERR_CAP_FRAME_DISCARD) {
                p->error.store(KAVRI_ERR_CAP_FRAME_DISCARD);
                p->error_arg.store(state.frames_discarded);
            }
        }
        std::lock_guard lock(p->mutex);
        p->stream_state = state;
    }
    if (ready || p->error.load() != 0) signal_waiter(p);
    return 0;
}

}  // namespace kavri::api
