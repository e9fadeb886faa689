// libusb entry points: contexts, options, versions, error names and event
// handling.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "bus.h"

using camsim::bus;
using camsim::Clock;
using camsim::TransferRec;

namespace {

constexpr auto kDefaultEventWait = std::chrono::seconds(60);
constexpr int kHotplugEvents =
    LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
constexpr int kMatchMax = 0xffff;  // vendor and product ids are 16 bits, classes 8

libusb_hotplug_callback_handle g_next_hotplug_handle = 1;  // guarded by the bus lock

bool hotplug_matches(const camsim::HotplugCallback &cb, const libusb_device *dev,
                     libusb_hotplug_event event) {
    return (cb.events & event) != 0 &&
           (cb.vendor == LIBUSB_HOTPLUG_MATCH_ANY || cb.vendor == dev->vid) &&
           (cb.product == LIBUSB_HOTPLUG_MATCH_ANY || cb.product == dev->pid) &&
           (cb.dev_class == LIBUSB_HOTPLUG_MATCH_ANY ||
            cb.dev_class == camsim::device_class_of(dev));
}

bool erase_hotplug(libusb_context *ctx, libusb_hotplug_callback_handle handle) {
    return std::erase_if(ctx->hotplug, [&](const auto &cb) { return cb.handle == handle; }) > 0;
}

// Runs the callbacks matching one event, with the lock released around each,
// as libusb does: a callback may register or deregister (itself or others),
// and one returning 1 is deregistered. The device stays referenced throughout.
void run_hotplug(libusb_context *ctx, const camsim::HotplugEvent &ev,
                 std::unique_lock<std::mutex> &lock, libusb_hotplug_callback_handle only = 0) {
    std::vector<libusb_hotplug_callback_handle> handles;
    for (const auto &cb : ctx->hotplug)
        if (only == 0 || cb.handle == only) handles.push_back(cb.handle);
    for (libusb_hotplug_callback_handle h : handles) {
        auto it = std::find_if(ctx->hotplug.begin(), ctx->hotplug.end(),
                               [&](const auto &cb) { return cb.handle == h; });
        if (it == ctx->hotplug.end() || !hotplug_matches(*it, ev.dev, ev.event)) continue;
        const camsim::HotplugCallback cb = *it;
        lock.unlock();
        const int done = cb.fn(ctx, ev.dev, ev.event, cb.user);
        lock.lock();
        if (done == 1) erase_hotplug(ctx, h);
    }
}

Clock::time_point deadline_after(const struct timeval *tv) {
    if (!tv) return Clock::now() + kDefaultEventWait;
    auto d = std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    if (d.count() < 0) d = d.zero();
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(d);
}

// Runs the completions queued for ctx on this thread. Called with the lock
// held; releases it around each callback.
void deliver(camsim::Bus &b, libusb_context *ctx, std::unique_lock<std::mutex> &lock) {
    ctx->delivering = true;
    // Arrivals and removals first, in the order they happened.
    while (!ctx->hotplug_ready.empty()) {
        const camsim::HotplugEvent ev = ctx->hotplug_ready.front();
        ctx->hotplug_ready.pop_front();
        run_hotplug(ctx, ev, lock);
        camsim::unref_locked(b, ev.dev);
    }
    std::deque<TransferRec *> batch;
    batch.swap(ctx->ready);
    for (TransferRec *rec : batch) {
        rec->state = TransferRec::State::Delivering;
        --b.counters.inflight_transfers;
        if (rec->handle) {
            --rec->handle->inflight;
            b.release_handle_if_done(rec->handle);
        }
        if (rec->free_requested) {  // freed while in flight: no callback
            b.free_transfer_now(rec);
            continue;
        }
        ++b.counters.callbacks;
        libusb_transfer *t = rec->t;
        libusb_transfer_cb_fn cb = t->callback;
        lock.unlock();
        if (cb) cb(t);
        lock.lock();
        if (rec->state == TransferRec::State::Delivering) rec->state = TransferRec::State::Idle;
        if (rec->state == TransferRec::State::Idle &&
            (rec->free_requested || (t->flags & LIBUSB_TRANSFER_FREE_TRANSFER)))
            b.free_transfer_now(rec);
    }
    ctx->delivering = false;
    b.cv.notify_all();
}

}  // namespace

CAMSIM_EXPORT int libusb_init(libusb_context **ctx) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.ensure_started();
    if (!ctx) {
        if (b.default_ctx) {
            ++b.default_ctx->init_count;
            return LIBUSB_SUCCESS;
        }
        b.default_ctx = new libusb_context;
        b.default_ctx->is_default = true;
        b.contexts.insert(b.default_ctx);
        ++b.counters.contexts;
        return LIBUSB_SUCCESS;
    }
    auto *c = new libusb_context;
    b.contexts.insert(c);
    ++b.counters.contexts;
    *ctx = c;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT void libusb_exit(libusb_context *ctx) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    libusb_context *c = b.resolve(ctx);
    if (!c) {
        b.misuse("libusb_exit on a context that is not initialised (%p)", static_cast<void *>(ctx));
        return;
    }
    if (c->is_default && --c->init_count > 0) return;
    c->hotplug.clear();
    for (const auto &ev : c->hotplug_ready) camsim::unref_locked(b, ev.dev);
    c->hotplug_ready.clear();
    for (auto *h : b.handles)
        if (!h->closed && h->dev && h->dev->ctx == c)
            b.misuse("libusb_exit with device handle %p still open", static_cast<void *>(h));
    for (auto *d : c->devices) {
        b.misuse("libusb_exit with device %03u:%03u still referenced (%d refs)", d->bus, d->address,
                 d->refs);
        d->ctx = nullptr;
    }
    if (!c->ready.empty()) {
        b.misuse("libusb_exit with %zu completions not delivered", c->ready.size());
        for (TransferRec *rec : c->ready) {
            rec->state = TransferRec::State::Idle;
            --b.counters.inflight_transfers;
            if (rec->handle) --rec->handle->inflight;
        }
    }
    for (auto &[t, rec] : b.transfers)
        if (rec->ctx == c) {
            rec->ctx = nullptr;
            rec->ctx_exited = true;
        }
    b.contexts.erase(c);
    if (c == b.default_ctx) b.default_ctx = nullptr;
    delete c;
    --b.counters.contexts;
    b.cv.notify_all();
}

CAMSIM_EXPORT void libusb_set_debug(libusb_context *ctx, int level) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (libusb_context *c = b.resolve(ctx)) c->log_level = level;
}

static_assert(sizeof(enum libusb_option) == sizeof(int), "the option is not promoted");

CAMSIM_EXPORT int libusb_set_option(libusb_context *ctx, enum libusb_option option, ...) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (option == LIBUSB_OPTION_LOG_LEVEL) {
        va_list ap;
        // libusb declares the enum as the last named parameter; its underlying
        // type is int-sized, so no promotion happens, whatever clang fears.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
        va_start(ap, option);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
        int level = va_arg(ap, int);
        va_end(ap);
        if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG)
            return LIBUSB_ERROR_INVALID_PARAM;
        if (libusb_context *c = b.resolve(ctx)) c->log_level = level;
        return LIBUSB_SUCCESS;
    }
    if (option == LIBUSB_OPTION_USE_USBDK) return LIBUSB_ERROR_NOT_SUPPORTED;
    if (option == LIBUSB_OPTION_NO_DEVICE_DISCOVERY) return LIBUSB_SUCCESS;
    return LIBUSB_ERROR_INVALID_PARAM;
}

CAMSIM_EXPORT void libusb_set_log_cb(libusb_context *, libusb_log_cb, int) {}

CAMSIM_EXPORT const struct libusb_version *libusb_get_version(void) {
    static const libusb_version v = {1, 0, 26, 0, "", "camsim"};
    return &v;
}

CAMSIM_EXPORT int libusb_has_capability(uint32_t capability) {
    return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_HAS_HOTPLUG ? 1 : 0;
}

CAMSIM_EXPORT int libusb_setlocale(const char *) {
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT const char *libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW:
            return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED:
            return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM:
            return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER:
            return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR:
            return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT:
            return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED:
            return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL:
            return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE:
            return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW:
            return "LIBUSB_TRANSFER_OVERFLOW";
        default:
            return "**UNKNOWN**";
    }
}

CAMSIM_EXPORT const char *libusb_strerror(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "Success";
        case LIBUSB_ERROR_IO:
            return "Input/Output Error";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "Invalid parameter";
        case LIBUSB_ERROR_ACCESS:
            return "Access denied (insufficient permissions)";
        case LIBUSB_ERROR_NO_DEVICE:
            return "No such device (it may have been disconnected)";
        case LIBUSB_ERROR_NOT_FOUND:
            return "Entity not found";
        case LIBUSB_ERROR_BUSY:
            return "Resource busy";
        case LIBUSB_ERROR_TIMEOUT:
            return "Operation timed out";
        case LIBUSB_ERROR_OVERFLOW:
            return "Overflow";
        case LIBUSB_ERROR_PIPE:
            return "Pipe error";
        case LIBUSB_ERROR_INTERRUPTED:
            return "System call interrupted (perhaps due to signal)";
        case LIBUSB_ERROR_NO_MEM:
            return "Insufficient memory";
        case LIBUSB_ERROR_NOT_SUPPORTED:
            return "Operation not supported or unimplemented on this platform";
        case LIBUSB_ERROR_OTHER:
            return "Other error";
        default:
            return "Unknown error";
    }
}

CAMSIM_EXPORT int libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv,
                                                         int *completed) {
    auto &b = bus();
    const auto deadline = deadline_after(tv);
    std::unique_lock lock(b.mu);
    libusb_context *c = b.resolve(ctx);
    if (!c) {
        b.misuse("event handling on a context that is not initialised (%p)",
                 static_cast<void *>(ctx));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // An injected event-handling failure of a camera this context has open.
    for (auto *h : b.handles) {
        if (h->closed || !h->dev || h->dev->ctx != c || !h->dev->phys->cam) continue;
        auto &f = h->dev->phys->cam->usb_faults;
        if (f.event_error > 0) {
            --f.event_error;
            return f.event_error_code;
        }
    }
    for (;;) {
        if (completed && camsim::read_completed_flag(completed)) return LIBUSB_SUCCESS;
        auto now = Clock::now();
        b.advance(now);
        if (c->delivering) {
            // Another thread handles events: wait for it, as libusb's event waiters do.
            b.cv.wait_until(lock, deadline);
            return LIBUSB_SUCCESS;
        }
        if (!c->ready.empty() || !c->hotplug_ready.empty()) {
            deliver(b, c, lock);
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) return LIBUSB_SUCCESS;
        auto until = deadline;
        if (auto w = b.next_wakeup(); w && *w < until) until = *w;
        b.cv.wait_until(lock, until);
        if (!b.contexts.count(c)) return LIBUSB_ERROR_INVALID_PARAM;
    }
}

CAMSIM_EXPORT int libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

CAMSIM_EXPORT int libusb_handle_events(libusb_context *ctx) {
    return libusb_handle_events_timeout_completed(ctx, nullptr, nullptr);
}

CAMSIM_EXPORT int libusb_handle_events_completed(libusb_context *ctx, int *completed) {
    return libusb_handle_events_timeout_completed(ctx, nullptr, completed);
}

CAMSIM_EXPORT int libusb_handle_events_locked(libusb_context *ctx, struct timeval *tv) {
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

CAMSIM_EXPORT void libusb_interrupt_event_handler(libusb_context *) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.cv.notify_all();
}

CAMSIM_EXPORT int libusb_get_next_timeout(libusb_context *, struct timeval *) {
    return 0;
}
CAMSIM_EXPORT int libusb_pollfds_handle_timeouts(libusb_context *) {
    return 1;
}
CAMSIM_EXPORT int libusb_event_handling_ok(libusb_context *) {
    return 1;
}
CAMSIM_EXPORT int libusb_event_handler_active(libusb_context *) {
    return 0;
}
CAMSIM_EXPORT int libusb_try_lock_events(libusb_context *) {
    return 0;
}
CAMSIM_EXPORT void libusb_lock_events(libusb_context *) {}
CAMSIM_EXPORT void libusb_unlock_events(libusb_context *) {}
CAMSIM_EXPORT void libusb_lock_event_waiters(libusb_context *) {}
CAMSIM_EXPORT void libusb_unlock_event_waiters(libusb_context *) {}

CAMSIM_EXPORT int libusb_wait_for_event(libusb_context *, struct timeval *tv) {
    auto &b = bus();
    std::unique_lock lock(b.mu);
    b.cv.wait_until(lock, deadline_after(tv));
    return 0;
}

CAMSIM_EXPORT const struct libusb_pollfd **libusb_get_pollfds(libusb_context *) {
    return static_cast<const libusb_pollfd **>(std::calloc(1, sizeof(libusb_pollfd *)));
}
CAMSIM_EXPORT void libusb_free_pollfds(const struct libusb_pollfd **pollfds) {
    std::free(const_cast<libusb_pollfd **>(pollfds));
}
CAMSIM_EXPORT void libusb_set_pollfd_notifiers(libusb_context *, libusb_pollfd_added_cb,
                                               libusb_pollfd_removed_cb, void *) {}

CAMSIM_EXPORT int libusb_hotplug_register_callback(
    libusb_context *ctx, int events, int flags, int vendor_id, int product_id, int dev_class,
    libusb_hotplug_callback_fn cb_fn, void *user_data,
    libusb_hotplug_callback_handle *callback_handle) {
    auto &b = bus();
    std::unique_lock lock(b.mu);
    b.advance(Clock::now());
    libusb_context *c = b.resolve(ctx);
    if (!c) {
        b.misuse("libusb_hotplug_register_callback on a context that is not initialised (%p)",
                 static_cast<void *>(ctx));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    auto bad_match = [](int v) {
        return v != LIBUSB_HOTPLUG_MATCH_ANY && (v < 0 || v > kMatchMax);
    };
    if (events == 0 || (events & ~kHotplugEvents) != 0 ||
        (flags & ~LIBUSB_HOTPLUG_ENUMERATE) != 0 || bad_match(vendor_id) || bad_match(product_id) ||
        bad_match(dev_class) || !cb_fn)
        return LIBUSB_ERROR_INVALID_PARAM;
    camsim::HotplugCallback cb;
    cb.handle = g_next_hotplug_handle++;
    cb.events = events;
    cb.vendor = vendor_id;
    cb.product = product_id;
    cb.dev_class = dev_class;
    cb.fn = cb_fn;
    cb.user = user_data;
    c->hotplug.push_back(cb);
    // As libusb: the handle is known before the enumeration's callbacks run.
    if (callback_handle) *callback_handle = cb.handle;
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED)) {
        // Arrivals for the devices present, on the registering thread, in
        // listing order (the one connected last first).
        std::vector<std::shared_ptr<camsim::PhysDevice>> present;
        for (auto &p : b.devices)
            if (p->attached) present.push_back(p);
        std::stable_sort(present.begin(), present.end(), [](const auto &x, const auto &y) {
            return x->attach_seq > y->attach_seq;
        });
        for (auto &p : present) {
            const camsim::HotplugEvent ev{camsim::device_for(b, c, p),
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED};
            run_hotplug(c, ev, lock, cb.handle);
            camsim::unref_locked(b, ev.dev);
            if (!b.contexts.count(c)) break;
        }
    }
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT void libusb_hotplug_deregister_callback(libusb_context *ctx,
                                                      libusb_hotplug_callback_handle handle) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    libusb_context *c = b.resolve(ctx);
    if (!c) {
        b.misuse("libusb_hotplug_deregister_callback on a context that is not initialised (%p)",
                 static_cast<void *>(ctx));
        return;
    }
    // Unknown handles are ignored, as libusb does (one returning 1 is gone already).
    erase_hotplug(c, handle);
    b.cv.notify_all();
}

CAMSIM_EXPORT void *libusb_hotplug_get_user_data(libusb_context *ctx,
                                                 libusb_hotplug_callback_handle handle) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    libusb_context *c = b.resolve(ctx);
    if (!c) return nullptr;
    for (const auto &cb : c->hotplug)
        if (cb.handle == handle) return cb.user;
    return nullptr;
}
