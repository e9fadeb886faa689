// Capture control: frame buffer size, callbacks, start and stop.
#include <mutex>
#include <shared_mutex>

#include "api/camera.h"
#include "api/dev_priv.h"
#include "core/clock.h"
#include "core/globals.h"
#include "core/le.h"
#include "drv/drv_quality.h"
#include "kavri/ll.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "kavri/stream.h"
#include "stream/stream.h"
#include "api/rec_api.h"
#include "api/reconnect.h"

namespace {

using kavri::api::ApiCall;
using kavri::api::log_bad_handle;

constexpr uint32_t kMinStartFrames = 2;
constexpr uint8_t kFpsValueLen = 4;

// The frame rate the camera runs at; a failed read keeps the previous one.
void read_frame_rate(kavri_dev_priv_t *p) {
    kavri_ll_param_item_t item{};
    item.param_id = KAVRI_PARAM_FPS;
    item.param_val_len = kFpsValueLen;
    KV_TRC("[%s] get %d param\n", "_kavri_param_batch_get", 1);
    if (kavri::ll::ll_param_get(&p->ll, &item, 1)) {
        kavri::g_cur_fps.store(static_cast<int>(kavri::le::get_u32(item.param_val)));
        kavri::api::note_params(p, &item, 1, false);
    }
}

}  // namespace

namespace kavri::api {

void cap_stop_internal(kavri_dev_priv_t *p) {
    KV_TRC("[%s] Enter\n", "_kavri_cap_stop");
    p->stop.store(1);
    // Waiters leave before the stop command queues behind other commands.
    wake_all(p);
    uint8_t stopped = 0;
    {
        CommandLock commands(p->cmd_mutex);
        stopped = kavri::ll::ll_cap_stop(&p->ll);
        // A camera that is away has nothing to stop, and must not be
        // started again when it comes back.
        if (!link_up(p)) stopped = 1;
        if (stopped) p->resume_capture.store(0);
        p->is_capturing.store(stopped ? 0 : 1);
    }
    if (stopped) p->stat_stop_ns.store(kavri::core::monotonic_ns());
    note_event(p, KAVRI_REC_EV_CAP_STOP, stopped, 0, nullptr, 0);
    wake_all(p);
    KV_TRC("[%s] Exit\n", "_kavri_cap_stop");
}

bool frames_waiting(kavri_dev_priv_t *p) {
    return kavri::stream::stream_fetch_frames(p->stream, nullptr, 0, 1, nullptr, 1) != 0;
}

}  // namespace kavri::api

namespace kavri::api {

int cap_set_frame_buffer(kavri_dev_t *dev, void * /* buf: not used */, uint32_t size) {
    if (dev == nullptr) return 0;
    ApiCall call(dev);
    if (!call.ok() || call.priv()->is_capturing.load()) {
        KV_ERR("[%s]  Set frame buffer is not allowed when device is not open or is capturing\n",
               "kavri_cap_set_frame_buffer");
        return 0;
    }
    kavri_dev_priv_t *p = call.priv();
    const uint32_t frames = size / KAVRI_CAP_FRAME_BYTES;
    kavri::stream::stream_set_cfg(p->stream, kv_stream_cfg_t{frames});
    KV_DBG("[%s] frame buffer: %d frames\n", "kavri_cap_set_frame_buffer",
           static_cast<int>(frames));
    p->cap_arg = 0;
    return 1;
}

void cap_set_callback_on_frame_ready(kavri_dev_t *dev, kavri_cap_frame_cb_t cb) {
    KV_DBG("[%s] set on_cap_frdy to %p\n", "kavri_cap_set_callback_on_frame_ready",
           reinterpret_cast<void *>(cb));
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle("kavri_cap_set_callback_on_frame_ready");
        return;
    }
    call.priv()->on_frame_ready.store(cb);
}

void cap_set_callback_on_error(kavri_dev_t *dev, kavri_cap_error_cb_t cb) {
    KV_DBG("[%s] set on_cap_err to %p\n", "kavri_cap_set_callback_on_error",
           reinterpret_cast<void *>(cb));
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle("kavri_cap_set_callback_on_error");
        return;
    }
    call.priv()->on_error.store(cb);
}

int cap_is_ongoing(kavri_dev_t *dev) {
    std::shared_lock table(kavri::api::handle_table());
    kavri_dev_priv_t *p = kavri::api::priv_of(dev);
    return p != nullptr ? p->is_capturing.load() : 0;
}

int cap_start(kavri_dev_t *dev) {
    ApiCall call(dev);
    if (!call.ok() || call.priv()->ll.state == nullptr) {
        log_bad_handle("kavri_cap_start");
        return 0;
    }
    kavri_dev_priv_t *p = call.priv();
    kavri::api::CommandLock commands(p->cmd_mutex);
    if (!kavri::api::link_up(p)) {
        KV_ERR("[%s] the camera is away\n", "kavri_cap_start");
        return 0;
    }
    if (p->is_capturing.load()) kavri::api::cap_stop_internal(p);

    read_frame_rate(p);
    if (kavri::stream::stream_get_cfg(p->stream).max_frames < kMinStartFrames) {
        KV_ERR("[%s]  capture buffer not set or size is not correct \n", "_kavri_cap_start");
        return 0;
    }
    KV_TRC("[%s] Enter ... \n", "_kavri_cap_start");
    p->timeout_cnt.store(0);
    p->stall_cnt.store(0);
    p->force_stop.store(0);
    p->error.store(0);
    p->error_arg.store(0);
    {
        // Transfers of the previous capture may still be completing.
        std::lock_guard feed(p->feed_mutex);
        kavri::stream::stream_reset(p->stream);
        reset_capture_stats(p);
        if (kavri::api::RecorderRef r(p); r) {
            r->on_parser_reset();
            r->on_event(KAVRI_REC_EV_CAP_START, 0, 0, nullptr, 0, 0);
        }
        std::lock_guard lock(p->mutex);
        p->stream_state = kv_stream_state_t{};
    }
    p->stop.store(0);
    // A new capture's first frame owes nothing to the last one's.
    kavri::drv::restart_history(p->drv);

    KV_DBG("[%s] issue start cmd\n", "_kavri_cap_start");
    const uint8_t started =
        kavri::ll::ll_cap_start(&p->ll, p->cap_arg, kavri::api::on_capture_event, dev);
    if (started) {
        p->is_capturing.store(1);
    } else {
        // The transport has already ended its ring; the capture's own state
        // stops too, and the abort keeps a transport that did not from
        // resubmitting.
        p->stop.store(1);
        kavri::ll::ll_cap_abort(&p->ll);
        kavri::api::wake_all(p);
    }
    return started;
}

int cap_stop(kavri_dev_t *dev) {
    KV_DBG("[%s] Enter\n", "kavri_cap_stop");
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle("kavri_cap_stop");
        return 0;
    }
    if (call.priv()->is_capturing.load()) kavri::api::cap_stop_internal(call.priv());
    return 1;
}

}  // namespace kavri::api

extern "C" {

KAVRI_API int kavri_cap_set_frame_buffer(kavri_dev_t *dev, void *buf, uint32_t size) {
    return kavri::api::cap_set_frame_buffer(dev, buf, size);
}

KAVRI_API int kavri_cap_get_frame_buffer(kavri_dev_t *dev, void **buf, uint32_t *size) {
    if (buf != nullptr) *buf = nullptr;
    if (size != nullptr) {
        ApiCall call(dev);
        *size = call.ok() ? kavri::stream::stream_get_cfg(call.priv()->stream).max_frames *
                                KAVRI_CAP_FRAME_BYTES
                          : 0;
    }
    return 1;
}

KAVRI_API void kavri_cap_set_callback_on_frame_ready(kavri_dev_t *dev, kavri_cap_frame_cb_t cb) {
    kavri::api::cap_set_callback_on_frame_ready(dev, cb);
}

KAVRI_API void kavri_cap_set_callback_on_error(kavri_dev_t *dev, kavri_cap_error_cb_t cb) {
    kavri::api::cap_set_callback_on_error(dev, cb);
}

KAVRI_API int kavri_cap_is_ongoing(kavri_dev_t *dev) {
    return kavri::api::cap_is_ongoing(dev);
}

KAVRI_API int kavri_cap_start(kavri_dev_t *dev) {
    return kavri::api::cap_start(dev);
}

KAVRI_API int kavri_cap_stop(kavri_dev_t *dev) {
    return kavri::api::cap_stop(dev);
}

}  // extern "C"
