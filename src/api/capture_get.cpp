// The fetching calls: get frames (waiting), get one frame (not waiting),
// snapshot and the callback wait loop.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "rec/replay.h"
#include "api/camera.h"
#include "api/dev_priv.h"
#include "api/reconnect.h"
#include "core/globals.h"
#include "core/log_internal.h"

namespace kavri::api {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultFps = 20;
constexpr int64_t kMsPerSecond = 1000;
constexpr int64_t kBaseLimitMs = 2000;
constexpr int64_t kPerFrameLimitMs = 100;
constexpr int32_t kNoLimit = 0x7FFFFFFF;
constexpr int kWrongParams = -1;
constexpr int kNotCapturing = -2;

// Only one fetching call per device at a time.
class FetchSlot {
  public:
    explicit FetchSlot(kavri_dev_priv_t *p) : p_(p) {
        held_ = !in_callback_of(p) && !p->fetching.exchange(true);
        // A stepping replay makes its next frame for this call.
        if (held_)
            if (kavri::rec::Replay *r = kavri::rec::replay_of(&p->ll); r != nullptr)
                kavri::rec::replay_frames_taken(r);
    }
    ~FetchSlot() {
        if (held_) p_->fetching.store(false);
    }
    bool held() const { return held_; }

  private:
    kavri_dev_priv_t *p_;
    bool held_;
};

// Installs the request for the call's duration.
class RequestScope {
  public:
    RequestScope(kavri_dev_priv_t *p, kavri_fetch_req_t *req) : p_(p) { p->fetch_req.store(req); }
    ~RequestScope() { p_->fetch_req.store(nullptr); }

  private:
    kavri_dev_priv_t *p_;
};

// Waits for a wake-up signal, a stop, or frames already waiting; a spurious
// wake-up goes back to sleep. Without a deadline it waits without limit.
// Returns false on time-out.
bool wait_for_event(kavri_dev_t *dev, kavri_dev_priv_t *p, uint64_t &seen,
                    const Clock::time_point *deadline) {
    std::unique_lock lock(p->mutex);
    const auto woken = [&] {
        return p->stop.load() != 0 || p->wake_seq != seen || frames_waiting(p);
    };
    // A close does not wait for a sleeping call's busy flag.
    set_api_busy(dev, false);
    bool ok = true;
    if (deadline != nullptr)
        ok = p->cond.wait_until(lock, *deadline, woken);
    else
        p->cond.wait(lock, woken);
    set_api_busy(dev, true);
    seen = p->wake_seq;
    return ok;
}

uint64_t current_seq(kavri_dev_priv_t *p) {
    std::lock_guard lock(p->mutex);
    return p->wake_seq;
}

int64_t frame_time_ms() {
    const int fps = g_cur_fps.load();
    if (fps <= 0) {
        g_cur_fps.store(kDefaultFps);
        return kMsPerSecond / kDefaultFps;
    }
    return kMsPerSecond / fps;
}

// A fetch while the camera is away (reconnect on): the error callback hears
// of the loss if it has not yet, frames that came before it are delivered,
// and the call fails at once.
int away(kavri_dev_t *dev, kavri_dev_priv_t *p, kavri_fetch_req_t *req, int32_t reqmax,
         const Clock::time_point *until) {
    handle_ready_data(dev, p, req, reqmax, until);
    KV_DBG("[%s] the camera is away\n", "_kavri_cap_get_frames");
    return KAVRI_ERR_CAP_DISCONNECTED;
}

int get_frames(kavri_dev_t *dev, int n, void *buf, uint32_t size, kavri_frame_info_t *info,
               kavri_frame_meta_t *meta = nullptr, uint32_t meta_count = 0) {
    constexpr const char *tag = "_kavri_cap_get_frames";
    const int64_t frame_ms = frame_time_ms();
    ApiCall call(dev);
    if (!call.ok() || n <= 0) {
        KV_DBG("[%s] Wrong params\n", tag);
        return kWrongParams;
    }
    kavri_dev_priv_t *p = call.priv();
    FetchSlot slot(p);
    if (!slot.held()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return kWrongParams;
    }
    const int64_t limit_ms = kBaseLimitMs + n * kPerFrameLimitMs + n * frame_ms;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    KV_TRC("[%s] frame_num = %d, timeout_msec=%d\n", tag, n, static_cast<int>(limit_ms));

    kavri_fetch_req_t req{n,    n,    static_cast<uint8_t *>(buf),     buf != nullptr ? size : 0,
                          info, meta, meta != nullptr ? meta_count : 0};
    RequestScope scope(p, &req);
    if (const int32_t err = p->error.load(); err < 0) {
        handle_ready_data(dev, p, &req, n, &deadline);
        return err;
    }
    if (!link_up(p)) return away(dev, p, &req, n, &deadline);
    uint64_t seen = current_seq(p);
    while (!p->stop.load()) {
        if (!wait_for_event(dev, p, seen, &deadline)) {
            KV_INF("[%s]  timeout ... (%s)\n", tag, std::strerror(ETIMEDOUT));
            break;
        }
        handle_ready_data(dev, p, &req, req.wanted, &deadline);
        if (req.wanted == 0) break;
    }
    if (!link_up(p)) return away(dev, p, &req, req.wanted, &deadline);
    if (!p->is_capturing.load()) {
        KV_TRC("[%s] device is not capturing\n", tag);
        handle_ready_data(dev, p, &req, req.wanted, &deadline);
        return kNotCapturing;
    }
    handle_ready_data(dev, p, &req, req.wanted, &deadline);
    return n - req.wanted;
}

}  // namespace
}  // namespace kavri::api

using namespace kavri::api;

namespace kavri::api {

int cap_get_frames(kavri_dev_t *dev, int n, void *buf, uint32_t size, kavri_frame_info_t *info) {
    return get_frames(dev, n, buf, size, info);
}

}  // namespace kavri::api

extern "C" {

KAVRI_API int kavri_cap_get_frames(kavri_dev_t *dev, int n, void *buf, uint32_t size,
                                   kavri_frame_info_t *info) {
    return kavri::api::cap_get_frames(dev, n, buf, size, info);
}

KAVRI_API int kavri_cap_get_frames_meta(kavri_dev_t *dev, int n, void *buf, uint32_t size,
                                        kavri_frame_info_t *info, kavri_frame_meta_t *meta,
                                        uint32_t meta_count) {
    return kavri::api::get_frames(dev, n, buf, size, info, meta, meta_count);
}

KAVRI_API int kavri_cap_get_frame(kavri_dev_t *dev, void *buf, uint32_t size,
                                  kavri_frame_info_t *info) {
    constexpr const char *tag = "_kavri_cap_get_frames";
    ApiCall call(dev);
    if (!call.ok()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return kWrongParams;
    }
    kavri_dev_priv_t *p = call.priv();
    FetchSlot slot(p);
    if (!slot.held()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return kWrongParams;
    }
    KV_TRC("[%s] frame_num = %d, timeout_msec=%d\n", tag, 1, 0);
    kavri_fetch_req_t req{1,       1, static_cast<uint8_t *>(buf), buf != nullptr ? size : 0, info,
                          nullptr, 0};
    RequestScope scope(p, &req);
    if (const int32_t err = p->error.load(); err < 0) {
        handle_ready_data(dev, p, &req, 1);
        return err;
    }
    if (!link_up(p)) return away(dev, p, &req, 1, nullptr);
    if (!p->is_capturing.load()) {
        KV_TRC("[%s] device is not capturing\n", tag);
        handle_ready_data(dev, p, &req, 1);
        return kNotCapturing;
    }
    handle_ready_data(dev, p, &req, 1);
    return 1 - req.wanted;
}

KAVRI_API int kavri_cap_snapshot(kavri_dev_t *dev, void *buf, uint32_t size,
                                 kavri_frame_info_t *info) {
    ApiCall call(dev);
    kavri_dev_priv_t *p = call.priv();
    if (p == nullptr) {
        KV_ERR("[%s] wrong parameters\n", "kavri_cap_snapshot");
        return 0;
    }
    if (p->is_capturing.load()) return get_frames(dev, 1, buf, size, info) > 0;
    if (!cap_start(dev)) return 0;
    const bool got = get_frames(dev, 1, buf, size, info) > 0;
    cap_stop(dev);
    return got;
}

KAVRI_API int kavri_cap_wait(kavri_dev_t *dev, uint32_t timeout_ms) {
    constexpr const char *tag = "kavri_cap_wait";
    KV_DBG("[%s] timeout_msec=%d\n", tag, static_cast<int>(timeout_ms));
    ApiCall call(dev);
    if (!call.ok()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return 0;
    }
    kavri_dev_priv_t *p = call.priv();
    if (!p->is_capturing.load()) {
        KV_DBG("[%s] device is not capturing\n", tag);
        return 0;
    }
    FetchSlot slot(p);
    if (!slot.held()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return 0;
    }
    int result = 1;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const Clock::time_point *limit = timeout_ms != 0 ? &deadline : nullptr;
    if (p->error.load() >= 0 && !p->stop.load()) {
        uint64_t seen = current_seq(p);
        while (!p->stop.load()) {
            // Frames that keep arriving must not hold the wait past its time.
            if (!wait_for_event(dev, p, seen, limit) ||
                (limit != nullptr && Clock::now() >= deadline)) {
                result = 0;
                KV_INF("[%s]  timeout ...\n", tag);
                break;
            }
            handle_ready_data(dev, p, nullptr, kNoLimit, limit);
        }
    }
    // What a stopped capture left behind is finite; a running one is not.
    handle_ready_data(dev, p, nullptr, kNoLimit, result == 0 ? limit : nullptr);
    // The capture did not end: its camera went away.
    return link_up(p) ? result : 0;
}

}  // extern "C"
