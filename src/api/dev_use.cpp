// Calls in progress on a device, and the close that waits for them.
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "api/dev_priv.h"
#include "kavri/ll.h"
#include "kavri/log.h"
#include "kavri/stream.h"

namespace kavri::api {
namespace {

thread_local const kavri_dev_priv_t *t_callback_dev = nullptr;

constexpr auto kBusyPollInterval = std::chrono::milliseconds(100);
constexpr int kBusyPollMax = 30;

// Frees what open created; no call may be using the record any more.
void finish_close(kavri_dev_priv_t *p) {
    kavri_dev_t *dev = p->dev;
    kavri_drv_t *drv = p->drv;
    if (drv != nullptr && drv->ops != nullptr && drv->ops->uninit != nullptr) drv->ops->uninit(drv);
    kv_stream_destroy(p->stream);
    delete p;
    if (dev == nullptr) return;
    dev->ll = nullptr;
    if (dev->alloc_by_lib) std::free(dev);
}

void release(kavri_dev_priv_t *p) {
    bool finish = false;
    {
        std::lock_guard lock(p->life_mutex);
        --p->users;
        if (p->users == 0 && p->closing) {
            finish = p->finish_by_last_user;
            p->life_cv.notify_all();
        }
    }
    // With the hand-over no one else touches the record any more.
    if (finish) finish_close(p);
}

bool api_busy(const kavri_dev_t *dev) {
    return std::atomic_ref<const uint8_t>(dev->api_busy).load() != 0;
}

}  // namespace

void set_api_busy(kavri_dev_t *dev, bool busy) {
    std::atomic_ref<uint8_t>(dev->api_busy).store(busy ? 1 : 0);
}

void log_bad_handle(const char *func) {
    KV_ERR("[%s]  Device handler Is NULL!\r\n", func);
}

ApiCall::ApiCall(kavri_dev_t *dev) : dev_(dev) {
    kavri_dev_priv_t *p = priv_of(dev);
    if (p == nullptr) return;
    {
        std::lock_guard lock(p->life_mutex);
        if (p->closing || !p->is_open.load()) return;
        ++p->users;
    }
    priv_ = p;
    set_api_busy(dev, true);
}

ApiCall::~ApiCall() {
    if (priv_ == nullptr) return;
    set_api_busy(dev_, false);
    release(priv_);
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

extern "C" KAVRI_API void kavri_dev_close(kavri_dev_t *dev) {
    constexpr const char *tag = "kavri_dev_close";
    KV_DBG("[%s] close kavri device @ %p\n", tag, static_cast<void *>(dev));
    kavri_dev_priv_t *p = priv_of(dev);
    if (p == nullptr) return;
    {
        std::lock_guard lock(p->life_mutex);
        if (p->closing) return;  // another close is already at it
        p->closing = true;
    }

    if (p->is_capturing.load()) {
        cap_stop_internal(p);
        if (p->is_capturing.load()) KV_ERR("[%s] stop capture failed!\n", tag);
    }
    // Joins the event thread: no capture event arrives after this.
    kavri_ll_dev_close(ll_of(p));
    p->is_open.store(0);
    p->stop.store(1);
    wake_all(p);

    std::unique_lock lock(p->life_mutex);
    if (in_callback_of(p)) {
        // The waiting call this callback runs in holds the record: the last
        // call to leave finishes the close.
        p->finish_by_last_user = true;
        return;
    }
    // Calls that keep only the public busy flag get the customary 3 s;
    // calls holding the record are waited for, since freeing it under them
    // would crash them.
    int polls = 0;
    while ((p->users > 0 || api_busy(dev)) && polls < kBusyPollMax) {
        p->life_cv.wait_for(lock, kBusyPollInterval);
        ++polls;
    }
    if (p->users > 0 || api_busy(dev)) {
        KV_WRN("[%s]  api wait timeout\n", tag);
        p->life_cv.wait(lock, [p] { return p->users == 0; });
    }
    lock.unlock();
    finish_close(p);
}
