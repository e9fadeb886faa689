// The ready-data handler: on the fetching application thread, reports a
// pending error to the error callback and moves finished frames out of the
// parser into the application's buffer and to the frame-ready callback.
#include <chrono>
#include <cstring>

#include "api/rec_api.h"
#include "rec/replay.h"
#include "api/dev_priv.h"
#include "core/error_name.h"
#include "core/log_internal.h"
#include "kavri/stream.h"
#include "stream/stream.h"

namespace kavri::api {
namespace {

constexpr const char *kTag = "_cap_handle_rdy_data";
constexpr size_t kScratchBytes = 4u << 20;
constexpr long kUsPerMs = 1000;

// Calls the error callback; returns what it answered.
uint8_t call_error_cb(kavri_dev_t *dev, kavri_dev_priv_t *p, kavri_cap_error_cb_t cb, int32_t err,
                      uint32_t arg) {
    KV_TRC("[%s] error cb invoke: %s\n", kTag, kavri::core::error_name(err));
    CallbackScope scope(p);
    return cb(dev, err, arg);
}

// Returns false when the callback asked to stop delivering.
bool report_error(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    const kavri_cap_error_cb_t cb = p->on_error.load();
    int32_t err = p->error.load();
    if (cb == nullptr || err == 0) return true;
    uint8_t go_on = 1;
    // A camera that went and came back before any fetch: the loss is told
    // before the return.
    if (err == KAVRI_ERR_CAP_DISCONNECTED) p->loss_unreported.store(0);
    if (err == KAVRI_ERR_CAP_RECONNECTED && p->loss_unreported.exchange(0) != 0)
        go_on = call_error_cb(dev, p, cb, KAVRI_ERR_CAP_DISCONNECTED, 0);
    if (go_on) go_on = call_error_cb(dev, p, cb, err, p->error_arg.load());
    if (!go_on) {
        KV_DBG("[%s] error cb return false to stop capture\n", kTag);
        p->stop.store(1);
        p->force_stop.store(1);
        p->error.store(0);
        KV_TRC("[%s] error callback force cap to stop\n", kTag);
        return false;
    }
    // An error raised meanwhile stays pending for the next pass.
    p->error.compare_exchange_strong(err, 0);
    return true;
}

void describe_frame(kavri_dev_priv_t *p, const kv_stream_frame_info_t &raw) {
    kavri_drv_t *drv = p->drv;
    const kavri_drv_op_t *ops = drv != nullptr ? drv->ops : nullptr;
    if (ops == nullptr || ops->frame_get_info == nullptr) {
        p->frame_info = kavri_frame_info_t{};  // a driver without the slot
        return;
    }
    if (!ops->frame_get_info(drv, &p->frame_info, &raw)) {
        KV_ERR("[%s]  driver frame_get_info failed!\n", kTag);
        p->frame_info = kavri_frame_info_t{};
    }
}

void call_frame_ready(kavri_dev_t *dev, kavri_dev_priv_t *p, kavri_cap_frame_cb_t cb, uint8_t *data,
                      const kv_stream_frame_info_t &raw) {
    kavri_frame_t frame{};
    frame.frame_info = p->frame_info;
    frame.frame_data = data;
    const unsigned idx = raw.fridx;
    KV_TRC("[%s] frdy cb invoke: %u,%u\n", kTag, idx, idx);
    const auto t0 = std::chrono::steady_clock::now();
    {
        CallbackScope scope(p);
        cb(dev, &frame);
    }
    const long us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count());
    KV_DBG("[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", kTag, idx, idx,
           static_cast<int>(us / kUsPerMs), static_cast<unsigned>(us % kUsPerMs));
}

constexpr uint32_t kFrameIndexMask = 0xFFFF;

// The time stamp and index of a frame just taken from the parser.
kavri_frame_meta_t account_frame(kavri_dev_priv_t *p, const kv_stream_frame_info_t &raw,
                                 uint64_t t_ns, bool delivered) {
    kavri_frame_meta_t m{};
    m.t_ns = t_ns;
    m.frame_idx = raw.fridx;
    // A frame taken for nobody is one the application did not get: it stays
    // in the next delivered frame's gap, as a frame dropped in the parser does.
    if (!delivered) {
        p->stat_unwanted.fetch_add(1, std::memory_order_relaxed);
        return m;
    }
    const int32_t prev = p->meta_prev_idx.exchange(static_cast<int32_t>(raw.fridx));
    if (prev >= 0) m.lost_before = (raw.fridx - static_cast<uint32_t>(prev) - 1) & kFrameIndexMask;
    m.sequence = p->stat_delivered.fetch_add(1, std::memory_order_relaxed);
    p->stat_gaps.fetch_add(m.lost_before, std::memory_order_relaxed);
    // The frames a reconnect estimated lost (already in the statistics).
    m.lost_before += p->resume_lost.exchange(0);
    std::lock_guard lock(p->meta_mutex);
    p->last_meta = m;
    p->has_meta = true;
    return m;
}

}  // namespace

uint32_t handle_ready_data(kavri_dev_t *dev, kavri_dev_priv_t *p, kavri_fetch_req_t *req,
                           int32_t reqmax, const std::chrono::steady_clock::time_point *until) {
    if (!report_error(dev, p)) return 0;
    if (p->force_stop.load()) {
        KV_TRC("[%s] error callback force cap to stop\n", kTag);
        return 0;
    }
    if (reqmax == 0 || !frames_waiting(p)) return 0;

    uint32_t count = 0;
    // A replay's frames wait for the next fetch instead of being dropped:
    // a replay never loses a frame for being faster than the application.
    kavri::rec::Replay *replay = kavri::rec::replay_of(&p->ll);
    // A close from inside a callback ends delivery.
    while (p->is_open.load()) {
        if (until != nullptr && count > 0 && std::chrono::steady_clock::now() >= *until) break;
        const kavri_cap_frame_cb_t cb = p->on_frame_ready.load();
        const bool to_request = req != nullptr && req->wanted > 0 && req->next != nullptr;
        // (A fetch without a buffer still takes, and so drops, what it asked for.)
        if (replay != nullptr && cb == nullptr && (req == nullptr || req->wanted <= 0)) break;
        uint8_t *dst = nullptr;
        uint32_t room = 0;
        if (to_request) {
            dst = req->next;
            room = req->left;
        } else if (cb != nullptr) {
            if (p->scratch.size() != kScratchBytes) {
                try {
                    p->scratch.resize(kScratchBytes);
                } catch (const std::bad_alloc &) {
                    KV_ERR("[%s] malloc failed\n", kTag);
                    break;
                }
            }
            dst = p->scratch.data();
            room = kScratchBytes;
        }
        kv_stream_frame_info_t raw{};
        // The driver learns of a recorded change before the frames after it.
        if (replay != nullptr) sync_replay_driver(p, replay);
        uint64_t t_ns = 0;
        if (kavri::stream::stream_fetch_frames(p->stream, dst, room, 1, &raw, 0, &t_ns) == 0) break;
        p->frames_fetched.fetch_add(1, std::memory_order_relaxed);
        // A paced replay goes on once a frame has been taken.
        if (replay != nullptr) kavri::rec::replay_frames_taken(replay);
        describe_frame(p, raw);
        const kavri_frame_meta_t meta =
            account_frame(p, raw, t_ns, (req != nullptr && req->wanted > 0) || cb != nullptr);

        if (req != nullptr && req->wanted > 0) {
            if (req->meta != nullptr && req->meta_left > 0) {
                *req->meta++ = meta;
                --req->meta_left;
            }
            if (req->wanted == req->requested && req->info != nullptr) *req->info = p->frame_info;
            if (req->next != nullptr && raw.frlen <= req->left) {
                req->next += raw.frlen;
                req->left -= raw.frlen;
            }
            --req->wanted;
        }
        if (cb != nullptr) call_frame_ready(dev, p, cb, dst, raw);
        ++count;
    }
    KV_TRC("[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", kTag, count, reqmax,
           req != nullptr ? req->wanted : reqmax);
    return count;
}

}  // namespace kavri::api
