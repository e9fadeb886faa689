// Calls in progress on a device, and the close that waits for them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "api/rec_api.h"
#include "core/globals.h"
#include "api/camera.h"
#include "api/dev_priv.h"
#include "api/reconnect.h"
#include "kavri/ll.h"
#include "core/log_internal.h"
#include "kavri/stream.h"
#include "ll/ll.h"
#include "ll/ll_control.h"
#include "stream/stream.h"

namespace kavri::api {
namespace {

thread_local const kavri_dev_priv_t *t_callback_dev = nullptr;

// The records the calling thread's live ApiCalls hold, one entry per call.
thread_local std::vector<const kavri_dev_priv_t *> t_calls;

constexpr auto kBusyPollInterval = std::chrono::milliseconds(100);
constexpr int kBusyPollMax = 30;

// The handle stops naming the record: new calls find it closed, and it may
// be opened again into a new record while calls still hold this one.
void unpublish(kavri_dev_priv_t *p) {
    std::unique_lock table(handle_table());
    std::lock_guard life(p->life_mutex);
    kavri_dev_t *dev = p->dev;
    if (dev == nullptr) return;
    if (priv_of(dev) == p) {
        set_priv(dev, nullptr);
        set_api_busy(dev, false);
        if (dev->alloc_by_lib) p->lib_dev = dev;
    }
    p->dev = nullptr;
}

// Frees what open created; no call may be using the record any more.
void finish_close(kavri_dev_priv_t *p) {
    kavri_drv_t *drv = p->drv;
    if (drv != nullptr && drv->ops != nullptr && drv->ops->uninit != nullptr) drv->ops->uninit(drv);
    kavri::stream::stream_destroy(p->stream);
    unpublish(p);
    // A library-allocated handle goes too, unless it was opened again.
    kavri_dev_t *dev = nullptr;
    {
        std::unique_lock table(handle_table());
        if (p->lib_dev != nullptr && priv_of(p->lib_dev) == nullptr) dev = p->lib_dev;
    }
    delete p;
    std::free(dev);
}

// The last call leaving a record whose close was handed over frees it, once
// no second close is still looking at it.
void release(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    bool finish = false;
    {
        std::unique_lock lock(p->life_mutex);
        --p->users;
        if (p->users == 0) {
            if (p->dev == dev) set_api_busy(dev, false);
            if (p->closing) {
                p->life_cv.notify_all();
                if (p->finish_by_last_user) {
                    p->life_cv.wait(lock, [p] { return p->close_waiters == 0; });
                    finish = true;
                }
            }
        }
    }
    if (finish) finish_close(p);
}

void forget_call(const kavri_dev_priv_t *p) {
    auto it = std::find(t_calls.rbegin(), t_calls.rend(), p);
    if (it != t_calls.rend()) t_calls.erase(std::next(it).base());
}

}  // namespace

std::shared_mutex &handle_table() {
    static std::shared_mutex table;
    return table;
}

int own_calls(const kavri_dev_priv_t *p) {
    return static_cast<int>(std::count(t_calls.begin(), t_calls.end(), p));
}

void set_api_busy(kavri_dev_t *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->api_busy).store(busy ? 1 : 0);
}

void log_bad_handle(const char *func) {
    KV_ERR("[%s]  Device handler Is NULL!\r\n", func);
}

ApiCall::ApiCall(kavri_dev_t *dev) : dev_(dev) {
    std::shared_lock table(handle_table());
    kavri_dev_priv_t *p = priv_of(dev);
    if (p == nullptr) return;
    {
        std::lock_guard lock(p->life_mutex);
        if (p->closing || !p->is_open.load()) return;
        if (!p->ready && p->opener != std::this_thread::get_id()) return;
        ++p->users;
    }
    priv_ = p;
    t_calls.push_back(p);
    set_api_busy(dev, true);
}

ApiCall::~ApiCall() {
    if (priv_ == nullptr) return;
    forget_call(priv_);
    release(dev_, priv_);
}

CallbackScope::CallbackScope(const kavri_dev_priv_t *p) : saved_(t_callback_dev) {
    t_callback_dev = p;
}

CallbackScope::~CallbackScope() {
    t_callback_dev = saved_;
}

bool in_callback_of(const kavri_dev_priv_t *p) {
    return p != nullptr && t_callback_dev == p;
}

void wake_all(kavri_dev_priv_t *p) {
    std::lock_guard lock(p->mutex);
    ++p->wake_seq;
    p->cond.notify_all();
}

}  // namespace kavri::api

using namespace kavri::api;

namespace {

// A second close of a record already closing waits until the first has
// closed the transport, so that both return to a closed handle. One from
// inside a call on the record (a callback) cannot wait for its own call.
void wait_for_first_close(kavri_dev_priv_t *p, std::unique_lock<std::mutex> &life) {
    if (own_calls(p) > 0) return;
    ++p->close_waiters;
    p->life_cv.wait(life, [p] { return p->close_done; });
    --p->close_waiters;
    p->life_cv.notify_all();
}

// Waits for every call of other threads to leave: bounded as the handle's
// busy flag always was, then without bound, since freeing the record under
// a call would crash it (the transport was interrupted, so only application
// code inside a callback can still hold one).
void wait_for_calls(kavri_dev_priv_t *p, int own) {
    std::unique_lock lock(p->life_mutex);
    int polls = 0;
    while (p->users > own && polls < kBusyPollMax) {
        p->life_cv.wait_for(lock, kBusyPollInterval);
        ++polls;
    }
    if (p->users > own) {
        KV_WRN("[%s]  api wait timeout\n", "kavri_dev_close");
        p->life_cv.wait(lock, [p, own] { return p->users <= own; });
    }
}

}  // namespace

void kavri::api::dev_close(kavri_dev_t *dev) {
    constexpr const char *tag = "kavri_dev_close";
    KV_DBG("[%s] close kavri device @ %p\n", tag, static_cast<void *>(dev));
    kavri_dev_priv_t *p = nullptr;
    {
        std::shared_lock table(handle_table());
        p = priv_of(dev);
        if (p == nullptr) return;
        std::unique_lock life(p->life_mutex);
        if (p->closing) {
            table.unlock();  // the first close needs the table to finish
            wait_for_first_close(p, life);
            return;
        }
        p->closing = true;
        p->is_open.store(0);
    }

    // Calls in progress return: waiters wake and see the stop, commands in
    // flight are cancelled and new ones fail.
    p->stop.store(1);
    wake_all(p);
    kavri::ll::ll_interrupt(ll_of(p), true);
    const int own = own_calls(p);
    wait_for_calls(p, own);
    kavri::ll::ll_interrupt(ll_of(p), false);
    // No call but our own is inside: the reconnect worker lets go of the
    // record before the handle can be freed (no lock held: this may end the
    // worker and the watcher subscription).
    reconnect_forget(p);

    // Nobody else is inside: the stream stop command may go out.
    if (p->is_capturing.load()) {
        cap_stop_internal(p);
        if (p->is_capturing.load()) KV_ERR("[%s] stop capture failed!\n", tag);
    }
    // A replay's working path goes with it.
    if (kavri::rec::replay_of(ll_of(p)) != nullptr && p->dev != nullptr)
        p->dev->path = kavri::g_path_prefix;
    // Joins the event thread: no capture event arrives after this.
    kavri::ll::ll_dev_close(ll_of(p));
    // Nothing more can reach a recorder: it finishes its file.
    rec_stop_at_close(p);
    wake_all(p);
    // From here the handle reads as closed, also to a second close that
    // returns now, and may be opened again.
    unpublish(p);

    {
        std::unique_lock life(p->life_mutex);
        p->close_done = true;
        p->life_cv.notify_all();
        if (p->users > 0) {
            // Called from inside a call on this record (a callback): that call
            // is the last user and frees the record when it returns.
            p->finish_by_last_user = true;
            return;
        }
        p->life_cv.wait(life, [p] { return p->close_waiters == 0; });
    }
    finish_close(p);
}

extern "C" KAVRI_API void kavri_dev_close(kavri_dev_t *dev) {
    kavri::api::dev_close(dev);
}
