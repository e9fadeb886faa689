// Automatic reconnect: one library thread follows the camera watcher's
// arrivals and removals for every handle that asked for it, marks a handle's
// camera gone when it leaves, and takes it back into the same handle, with
// the application's settings, when a camera of the same identity arrives.
#include "api/reconnect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "api/camera.h"
#include "api/rec_api.h"
#include "core/clock.h"
#include "core/globals.h"
#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/hotplug.h"
#include "kavri/reconnect.h"
#include "ll/ll.h"
#include "ll/ll_control.h"
#include "ll/usb_hotplug.h"
#include "rec/replay.h"
#include "stream/stream.h"

namespace kavri::api {
namespace {

constexpr const char *kTag = "kavri_reconnect";
constexpr int32_t kCalibArgMode = 2;  // as the open loads it
constexpr int kIdentItems = 3;
constexpr uint8_t kFpsValueLen = 4;
constexpr uint64_t kNsPerSecond = 1000000000ull;
// A camera that arrived but could not be opened yet (still settling, or
// briefly held by the watcher's identity read) is tried again this often,
// this many times.
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr int kRetries = 20;

using Clock = std::chrono::steady_clock;

kavri_usb_info_t usb_info(const uint8_t (&if_info)[KAVRI_IF_INFO_SIZE]) {
    kavri_usb_info_t info;
    static_assert(sizeof info == KAVRI_IF_INFO_SIZE);
    std::memcpy(&info, if_info, sizeof info);
    return info;
}

bool same_text(const char *a, size_t a_size, const char *b, size_t b_size) {
    return std::strncmp(a, b, std::min(a_size, b_size)) == 0;
}

// The arrival names the handle's camera (product and identification).
bool names_camera(const kavri_dev_t *dev, const kavri_dev_t &arrived) {
    return same_text(dev->product, sizeof dev->product, arrived.product, sizeof arrived.product) &&
           same_text(dev->ident, sizeof dev->ident, arrived.ident, sizeof arrived.ident);
}

// The camera just opened into p is the handle's own: product, identification
// and identity bytes as the open read them.
bool is_own_camera(const kavri_dev_t *dev, kavri_dev_priv_t *p) {
    kavri_ll_param_item_t items[kIdentItems] = {};
    const uint8_t ids[kIdentItems] = {KAVRI_PARAM_IDENT, KAVRI_PARAM_PRODUCT, KAVRI_PARAM_UID};
    for (int i = 0; i < kIdentItems; ++i) items[i].param_id = ids[i];
    if (!kavri::ll::ll_param_get(&p->ll, items, kIdentItems)) return false;
    const auto text_is = [](const kavri_ll_param_item_t &item, const char *want, size_t size) {
        char got[KAVRI_PARAM_WIRE_VAL_SIZE + 1] = {};
        std::memcpy(got, item.param_val, KAVRI_PARAM_WIRE_VAL_SIZE);
        return same_text(got, sizeof got, want, size);
    };
    const size_t uid_len = std::min<size_t>(items[2].param_val_len, KAVRI_PARAM_WIRE_VAL_SIZE);
    return text_is(items[0], dev->ident, sizeof dev->ident) &&
           text_is(items[1], dev->product, sizeof dev->product) &&
           std::memcmp(items[2].param_val, dev->uid, uid_len) == 0;
}

// The application's settings since open, in their order, through the same
// internal calls the application's went through (so the driver hears of
// each, and a recorder notes them), but not into the journal again.
void replay_settings(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    for (const Journal::Entry &e : p->journal->entries()) {
        bool ok = false;
        switch (e.kind) {
            case Journal::Kind::param: {
                kavri_param_item_t item{};
                item.param_id = e.id;
                item.param_val_len = e.param_len;
                std::memcpy(item.param_val, e.bytes.data(),
                            std::min(e.bytes.size(), sizeof item.param_val));
                ok = param_batch_set(dev, &item, 1) != 0;
                break;
            }
            case Journal::Kind::regs: {
                std::vector<uint32_t> values = e.values;
                ok = reg_batch_write(dev, static_cast<uint8_t>(e.id), static_cast<uint32_t>(e.base),
                                     values.data(), static_cast<uint16_t>(values.size())) != 0;
                break;
            }
            case Journal::Kind::filter: {
                const kavri_drv_op_t *ops = p->drv != nullptr ? p->drv->ops : nullptr;
                if (ops == nullptr) break;
                if (e.on && ops->filter_enable != nullptr)
                    ok =
                        ops->filter_enable(p->drv, e.id, e.bytes.empty() ? nullptr : e.bytes.data(),
                                           static_cast<uint32_t>(e.bytes.size())) != 0;
                else if (!e.on && ops->filter_disable != nullptr)
                    ok = ops->filter_disable(p->drv, e.id) != 0;
                break;
            }
        }
        if (!ok)
            KV_WRN("[%s] setting %u (kind %d) not taken again\n", kTag, e.id,
                   static_cast<int>(e.kind));
    }
}

// Starts the capture again where it stopped: the parser starts afresh (the
// camera's frame count does too), the statistics go on. Returns the frame
// rate the camera runs at (0 unknown), or -1 when it did not start.
int64_t restart_capture(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    int64_t fps = 0;
    kavri_ll_param_item_t item{};
    item.param_id = KAVRI_PARAM_FPS;
    item.param_val_len = kFpsValueLen;
    if (kavri::ll::ll_param_get(&p->ll, &item, 1)) {
        fps = kavri::le::get_u32(item.param_val);
        kavri::g_cur_fps.store(static_cast<int>(fps));
        note_params(p, &item, 1, false);
    }
    p->timeout_cnt.store(0);
    p->stall_cnt.store(0);
    {
        std::lock_guard feed(p->feed_mutex);
        kv_stream_state_t st{};
        kavri::stream::stream_get_state(p->stream, &st);
        p->stat_discarded_base.fetch_add(st.frames_discarded);
        p->stat_dropped_base.fetch_add(st.frames_dropped);
        p->stat_skipped_base.fetch_add(st.bytes_skipped);
        kavri::stream::stream_reset(p->stream);
        p->meta_prev_idx.store(-1);
        if (RecorderRef r(p); r) {
            r->on_parser_reset();
            r->on_event(KAVRI_REC_EV_CAP_START, 0, 0, nullptr, 0, 0);
        }
        std::lock_guard lock(p->mutex);
        p->stream_state = kv_stream_state_t{};
    }
    p->stop.store(0);
    if (kavri::ll::ll_cap_start(&p->ll, p->cap_arg, on_capture_event, dev)) return fps;
    KV_ERR("[%s] the capture did not start again\n", kTag);
    p->stop.store(1);
    kavri::ll::ll_cap_abort(&p->ll);
    p->is_capturing.store(0);
    p->stat_stop_ns.store(kavri::core::monotonic_ns());
    return -1;
}

enum class TakeBack { done, not_ours, failed, gave_up };

// Opens the camera at `at` into p's handle and makes it what the application
// had: driver set-up, calibration, settings, capture. On the worker thread,
// inside an ApiCall on dev.
TakeBack take_back(kavri_dev_t *dev, kavri_dev_priv_t *p, const kavri_usb_info_t &at) {
    // The whole take-back is one command sequence: the application's
    // commands wait for it and then find the camera as it had it.
    CommandLock commands(p->cmd_mutex);
    if (!p->is_open.load() || !p->reconnect_on.load()) return TakeBack::gave_up;
    auto gone = static_cast<uint8_t>(Link::gone);
    if (!p->link.compare_exchange_strong(gone, static_cast<uint8_t>(Link::back)))
        return gone == static_cast<uint8_t>(Link::up) ? TakeBack::done : TakeBack::gave_up;

    uint8_t before[KAVRI_IF_INFO_SIZE];
    std::memcpy(before, p->ll.if_info, sizeof before);
    const auto stay_away = [&](TakeBack why) {
        p->link.store(static_cast<uint8_t>(Link::gone));
        return why;
    };
    if (!kavri::ll::ll_dev_reopen_at(&p->ll, at)) return stay_away(TakeBack::failed);
    if (!is_own_camera(dev, p)) {
        KV_INF("[%s] the camera at %u:%u is another one: left alone\n", kTag, at.usb_bus,
               at.usb_port);
        kavri::ll::ll_drop_handle(&p->ll);
        std::memcpy(p->ll.if_info, before, sizeof before);
        return stay_away(TakeBack::not_ours);
    }
    std::memcpy(dev->if_info, p->ll.if_info, sizeof dev->if_info);
    p->where.store(pack_where(p->ll.if_info));

    // The driver programs the sensor again (a camera that was powered off
    // forgot it) and keeps its state; the extra user that init counts is
    // given back at once, so that close still releases the state.
    const kavri_drv_op_t *ops = p->drv != nullptr ? p->drv->ops : nullptr;
    if (ops != nullptr && ops->init != nullptr) {
        ops->init(p->drv, dev);
        if (ops->uninit != nullptr) ops->uninit(p->drv);
    }
    if (ops != nullptr && ops->calib_load != nullptr &&
        ops->calib_load(p->drv, 0, 0, kCalibArgMode) < 0)
        KV_ERR("[%s] Load calibration data failed\n", kTag);
    replay_settings(dev, p);

    const bool resume = p->resume_capture.exchange(0) != 0 && p->is_capturing.load() != 0;
    // The notice is in place before the restarted stream can wake a waiter.
    p->error_arg.store(0);
    p->error.store(KAVRI_ERR_CAP_RECONNECTED);
    const int64_t fps = resume ? restart_capture(dev, p) : 0;
    const uint64_t now = kavri::core::monotonic_ns();
    const uint64_t since = p->gone_ns.load();
    const uint64_t away = now > since ? now - since : 0;
    const uint64_t lost = fps > 0 ? away * static_cast<uint64_t>(fps) / kNsPerSecond : 0;
    p->stat_reconnects.fetch_add(1);
    p->stat_away_ns.fetch_add(away);
    p->stat_away_frames.fetch_add(lost);
    p->stat_gaps.fetch_add(lost);
    const auto lost32 = static_cast<uint32_t>(std::min<uint64_t>(lost, UINT32_MAX));
    p->resume_lost.store(lost32);
    p->error_arg.store(lost32);
    p->link.store(static_cast<uint8_t>(Link::up));
    KV_INF("[%s] camera back at %u:%u after %llu ms, %llu frames lost\n", kTag, at.usb_bus,
           at.usb_port, static_cast<unsigned long long>(away / 1000000),
           static_cast<unsigned long long>(lost));
    wake_all(p);
    return TakeBack::done;
}

// The reconnect worker and the handles it looks after.
class Service {
  public:
    // Adds a handle; the first starts the worker and the watcher
    // subscription. False when the watcher cannot start.
    bool enroll(kavri_dev_priv_t *p, kavri_dev_t *dev) {
        std::lock_guard admin(admin_);
        {
            std::lock_guard lock(mu_);
            auto it = find_locked(p);
            if (it != entries_.end()) {
                it->dev = dev;
                return true;
            }
            entries_.push_back({p, dev});
            if (sub_ != 0) return true;
            quit_ = false;
        }
        worker_ = std::thread([this] { run(); });
        sub_ = kavri::ll::device_change_subscribe(
            [this](const kavri_device_event_t &ev) { post(ev); });
        if (sub_ != 0) return true;
        KV_ERR("[%s] the device watcher could not start\n", kTag);
        {
            std::lock_guard lock(mu_);
            entries_.erase(find_locked(p));
        }
        stop_worker();
        return false;
    }

    // Removes a handle; the last ends the subscription and the worker.
    void forget(kavri_dev_priv_t *p) {
        std::lock_guard admin(admin_);
        {
            std::lock_guard lock(mu_);
            auto it = find_locked(p);
            if (it == entries_.end()) return;
            entries_.erase(it);
            std::erase_if(retries_, [p](const Retry &r) { return r.p == p; });
            if (!entries_.empty() || sub_ == 0) return;
        }
        // Outside mu_: the removal waits for a call of post in progress.
        kavri::ll::device_change_unsubscribe(sub_);
        sub_ = 0;
        stop_worker();
    }

  private:
    struct Entry {
        kavri_dev_priv_t *p;
        kavri_dev_t *dev;
    };
    struct Retry {
        kavri_dev_priv_t *p;
        kavri_usb_info_t at;
        int left;
        Clock::time_point when;
    };

    std::vector<Entry>::iterator find_locked(const kavri_dev_priv_t *p) {
        return std::find_if(entries_.begin(), entries_.end(),
                            [p](const Entry &e) { return e.p == p; });
    }

    // On the watcher thread: only queued, so the watcher never waits for a
    // take-back.
    void post(const kavri_device_event_t &ev) {
        std::lock_guard lock(mu_);
        if (quit_) return;
        events_.push_back(ev);
        cv_.notify_all();
    }

    void stop_worker() {
        {
            std::lock_guard lock(mu_);
            quit_ = true;
            events_.clear();
            retries_.clear();
            cv_.notify_all();
        }
        if (worker_.joinable()) worker_.join();
    }

    // An ApiCall on the enrolled record p, made under mu_ so that its handle
    // cannot be closed and freed between the look-up and the call: close
    // takes the record out of the service only once no call is inside.
    std::unique_ptr<ApiCall> hold(const kavri_dev_priv_t *p) {
        std::lock_guard lock(mu_);
        auto it = find_locked(p);
        if (it == entries_.end()) return nullptr;
        auto call = std::make_unique<ApiCall>(it->dev);
        if (!call->ok() || call->priv() != p) return nullptr;
        return call;
    }

    std::vector<kavri_dev_priv_t *> enrolled() {
        std::lock_guard lock(mu_);
        std::vector<kavri_dev_priv_t *> out;
        for (const Entry &e : entries_) out.push_back(e.p);
        return out;
    }

    void run() {
        std::unique_lock lock(mu_);
        for (;;) {
            Clock::time_point next = Clock::now() + std::chrono::hours(1);
            for (const Retry &r : retries_) next = std::min(next, r.when);
            cv_.wait_until(lock, next, [&] {
                return quit_ || !events_.empty() ||
                       std::any_of(retries_.begin(), retries_.end(),
                                   [](const Retry &r) { return r.when <= Clock::now(); });
            });
            if (quit_) return;
            if (!events_.empty()) {
                const kavri_device_event_t ev = events_.front();
                events_.pop_front();
                lock.unlock();
                handle(ev);
                lock.lock();
                continue;
            }
            std::vector<Retry> due;
            const auto now = Clock::now();
            for (auto it = retries_.begin(); it != retries_.end();) {
                if (it->when <= now) {
                    due.push_back(*it);
                    it = retries_.erase(it);
                } else {
                    ++it;
                }
            }
            lock.unlock();
            for (const Retry &r : due) attempt(r.p, r.at, r.left);
            lock.lock();
        }
    }

    void handle(const kavri_device_event_t &ev) {
        for (kavri_dev_priv_t *p : enrolled()) {
            auto call = hold(p);
            if (!call || !p->reconnect_on.load() || p->resetting.load() > 0) continue;
            const uint32_t at = pack_where(ev.dev.if_info);
            if (ev.kind == KAVRI_DEVICE_REMOVED) {
                if (at == p->where.load()) link_lost(p);
                continue;
            }
            const bool identified = (ev.flags & KAVRI_DEVICE_FLAG_IDENTIFIED) != 0;
            if (identified && !names_camera(call->dev(), ev.dev)) continue;  // another camera
            if (link_up(p)) {
                // Still there, or the arrival of itself when the watcher started.
                if (!identified || at == p->where.load()) continue;
                // Back at a new address before its loss was seen.
                link_lost(p);
            }
            // A camera the watcher could not read may be ours: the open
            // reads its identity, once.
            call.reset();
            attempt(p, usb_info(ev.dev.if_info), identified ? kRetries : 1);
        }
    }

    void attempt(kavri_dev_priv_t *p, const kavri_usb_info_t &at, int left) {
        auto call = hold(p);
        if (!call || link_up(p)) return;
        const TakeBack r = take_back(call->dev(), p, at);
        if (r != TakeBack::failed || left <= 1) return;
        std::lock_guard lock(mu_);
        if (quit_) return;
        retries_.push_back({p, at, left - 1, Clock::now() + kRetryPause});
        cv_.notify_all();
    }

    // Serialises enroll and forget (the worker's and the subscription's
    // start and stop); outermost, never taken by the worker or the watcher.
    std::mutex admin_;
    // Guards entries_, events_, retries_ and quit_. Comes before the handle
    // table (hold); never held during a take-back or a watcher call.
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Entry> entries_;
    std::deque<kavri_device_event_t> events_;
    std::vector<Retry> retries_;
    bool quit_ = false;
    std::thread worker_;                     // guarded by admin_
    kavri::ll::DeviceSubscription sub_ = 0;  // guarded by admin_
};

Service &service() {
    static Service *s = new Service;  // its thread may outlive static destruction
    return *s;
}

}  // namespace

uint32_t pack_where(const uint8_t (&if_info)[KAVRI_IF_INFO_SIZE]) {
    const kavri_usb_info_t info = usb_info(if_info);
    return (uint32_t{info.usb_bus} << 16) | (uint32_t{info.usb_port} << 8) | info.usb_addr;
}

bool waits_for_camera(const kavri_dev_priv_t *p) {
    return p->reconnect_on.load() != 0 && (kavri::ll::ll_link_lost(&p->ll) || !link_up(p));
}

bool link_lost(kavri_dev_priv_t *p) {
    auto up = static_cast<uint8_t>(Link::up);
    if (!p->link.compare_exchange_strong(up, static_cast<uint8_t>(Link::gone))) return false;
    p->gone_ns.store(kavri::core::monotonic_ns());
    p->resume_capture.store(p->is_capturing.load());
    p->loss_unreported.store(1);
    p->error_arg.store(0);
    p->error.store(KAVRI_ERR_CAP_DISCONNECTED);
    p->stop.store(1);
    kavri::ll::ll_cap_abort(&p->ll);
    KV_WRN("[%s] the camera left the bus: waiting for it\n", kTag);
    wake_all(p);
    return true;
}

void reconnect_forget(kavri_dev_priv_t *p) {
    service().forget(p);
}

}  // namespace kavri::api

extern "C" KAVRI_API int kavri_dev_set_reconnect(kavri_dev_t *dev, int on) {
    kavri::api::ApiCall call(dev);
    if (!call.ok()) {
        kavri::api::log_bad_handle(__func__);
        return 0;
    }
    kavri_dev_priv_t *p = call.priv();
    if (kavri::rec::replay_of(&p->ll) != nullptr) {
        KV_ERR("[%s] a recording has no camera to reconnect\n", __func__);
        return 0;
    }
    if (on != 0) {
        if (!kavri::api::service().enroll(p, dev)) return 0;
        p->reconnect_on.store(1);
    } else {
        p->reconnect_on.store(0);
        kavri::api::service().forget(p);
    }
    return 1;
}

extern "C" KAVRI_API int kavri_dev_is_connected(kavri_dev_t *dev) {
    std::shared_lock table(kavri::api::handle_table());
    const kavri_dev_priv_t *p = kavri::api::priv_of(dev);
    return p != nullptr && p->is_open.load() != 0 && kavri::api::link_up(p) ? 1 : 0;
}
