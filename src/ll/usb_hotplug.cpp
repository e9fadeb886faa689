// The camera watcher thread (usb_hotplug.h): follows the buses through
// libusb's hotplug or a poll of the bus list, reads each arriving camera's
// identity, and calls the subscribers with no lock held.
#include "ll/usb_hotplug.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log_internal.h"
#include "ll/usb_ids.h"
#include "ll/usb_ll.h"

namespace kavri::ll {
namespace {

// Longest libusb event wait of the hotplug path: a bound on how late a stop
// is seen should the interruption be lost.
constexpr int kHotplugWaitMs = 250;
constexpr uint32_t kIdentityParams[] = {KAVRI_PARAM_IDENT, KAVRI_PARAM_PRODUCT};
constexpr size_t kIdentityCount = sizeof kIdentityParams / sizeof kIdentityParams[0];

struct Location {
    uint8_t bus = 0, port = 0, addr = 0, speed = 0;
    // The address tells a camera that left and came back at the same port.
    bool same(const Location &o) const { return bus == o.bus && port == o.port && addr == o.addr; }
};

Location location_of(libusb_device *dev) {
    return {libusb_get_bus_number(dev), libusb_get_port_number(dev), libusb_get_device_address(dev),
            static_cast<uint8_t>(libusb_get_device_speed(dev))};
}

struct Subscriber {
    DeviceSubscription id = 0;
    DeviceChangeFn fn;
    bool replayed = false;  // has had the cameras present; guarded by the hub lock
    bool removed = false;   // guarded by the hub lock
};

// One run of the watcher thread.
struct Watcher {
    std::atomic<bool> stop{false};
    int wake = 0;                   // libusb's completion flag of the event wait
    libusb_context *ctx = nullptr;  // guarded by the hub lock: cleared before libusb_exit
    bool polling = false;
    bool ready = false;  // the cameras present are known; guarded by the hub lock
};

struct Hub {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Subscriber>> subs;
    DeviceSubscription next_id = 1;
    DeviceSubscription running = 0;  // the subscriber being called now
    std::shared_ptr<Watcher> watcher;
    std::thread thread;
    std::atomic<std::thread::id> thread_id{};
    // Runs that ended from inside their own callback, joined by the next
    // removal or shutdown off the watcher thread (so their contexts are gone
    // before the process is).
    std::vector<std::thread> ended;
};

// The ended runs (and a stopped current one) to join, taken under h.mu off
// the watcher thread; joined by the caller once the lock is released.
std::vector<std::thread> take_ended_locked(Hub &h) {
    std::vector<std::thread> out = std::move(h.ended);
    h.ended.clear();
    if (h.watcher && h.watcher->stop && h.thread.joinable()) {
        out.push_back(std::move(h.thread));
        h.watcher.reset();
    }
    return out;
}

void join_all(std::vector<std::thread> &threads) {
    for (std::thread &t : threads)
        if (t.joinable()) t.join();
}

Hub &hub() {
    // Never destroyed: the watcher may still run while the process exits.
    static Hub *h = new Hub;
    return *h;
}

// The cameras present are known: what comes from now is news.
void mark_ready(Watcher &w) {
    Hub &h = hub();
    std::lock_guard lock(h.mu);
    w.ready = true;
    h.cv.notify_all();
}

// Ends the watcher's current wait. Called with the hub lock held.
void poke_locked(Hub &h, Watcher &w) {
    std::atomic_ref<int>(w.wake).store(1);
    if (w.ctx != nullptr) libusb_interrupt_event_handler(w.ctx);
    h.cv.notify_all();
}

bool polling_forced() {
    const char *v = std::getenv(kForcePollingEnv);
    return v != nullptr && *v != '\0' && std::strcmp(v, "0") != 0;
}

void copy_text(char *dst, size_t dst_size, const uint8_t *src) {
    const size_t n = strnlen(reinterpret_cast<const char *>(src),
                             std::min<size_t>(KAVRI_PARAM_WIRE_VAL_SIZE, dst_size - 1));
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// The event of an arrival at loc, with the camera's identity when it answers.
kavri_device_event_t arrival_at(const Location &loc, bool polled) {
    kavri_device_event_t ev{};
    ev.kind = KAVRI_DEVICE_ARRIVED;
    ev.flags = polled ? KAVRI_DEVICE_FLAG_POLLED : 0u;
    ev.dev.if_type = KAVRI_IF_USB;
    ev.dev.located = 1;
    kavri_usb_info_t info{};
    info.usb_bus = loc.bus;
    info.usb_port = loc.port;
    info.usb_addr = loc.addr;
    info.usb_speed = loc.speed;
    static_assert(sizeof info == sizeof ev.dev.if_info);
    std::memcpy(ev.dev.if_info, &info, sizeof info);

    kavri_ll_t ll{};
    ll.if_type = KAVRI_IF_USB;
    ll.located = 1;
    std::memcpy(ll.if_info, &info, sizeof info);
    if (usb_ll_dev_open(&ll) == nullptr) {
        KV_DBG("[device watch] camera at %u:%u not readable\n", loc.bus, loc.port);
        return ev;
    }
    kavri_ll_param_item_t items[kIdentityCount] = {};
    for (size_t i = 0; i < kIdentityCount; ++i)
        items[i].param_id = static_cast<uint8_t>(kIdentityParams[i]);
    if (usb_ll_param_get(&ll, items, kIdentityCount)) {
        copy_text(ev.dev.ident, sizeof ev.dev.ident, items[0].param_val);
        copy_text(ev.dev.product, sizeof ev.dev.product, items[1].param_val);
        ev.flags |= KAVRI_DEVICE_FLAG_IDENTIFIED;
    }
    usb_ll_dev_close(&ll);
    return ev;
}

// The cameras on the buses now.
std::vector<Location> scan(libusb_context *ctx) {
    std::vector<Location> out;
    libusb_device **raw = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &raw);
    if (n < 0) return out;
    DeviceListPtr list(raw);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list.get()[i], &desc) != 0) continue;
        if (desc.idVendor == KAVRI_USB_VENDOR_ID && desc.idProduct == KAVRI_USB_PRODUCT_ID)
            out.push_back(location_of(list.get()[i]));
    }
    return out;
}

struct RawEvent {
    bool arrived;
    Location loc;
};

int LIBUSB_CALL on_hotplug(libusb_context *, libusb_device *dev, libusb_hotplug_event event,
                           void *user) {
    // Inside libusb's event handling: only note it; the identity is read later.
    static_cast<std::vector<RawEvent> *>(user)->push_back(
        {event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, location_of(dev)});
    return 0;
}

// The watcher's view of the buses and its calls to the subscribers.
class Run {
  public:
    explicit Run(std::shared_ptr<Watcher> w) : w_(std::move(w)) {}

    // One change: new subscribers first get the cameras before it.
    void apply(const RawEvent &raw) {
        replay_new();
        if (raw.arrived) {
            if (find(raw.loc) != known_.end()) return;
            known_.push_back({raw.loc, arrival_at(raw.loc, w_->polling)});
            deliver(known_.back().arrival);
        } else {
            auto it = find(raw.loc);
            if (it == known_.end()) return;
            kavri_device_event_t ev = it->arrival;
            ev.kind = KAVRI_DEVICE_REMOVED;
            known_.erase(it);
            deliver(ev);
        }
    }
    // The cameras found at the start: known, told to no one yet.
    void seed(const Location &loc) {
        if (find(loc) == known_.end()) known_.push_back({loc, arrival_at(loc, w_->polling)});
    }
    // Poll: the differences between the list and what is known.
    void diff(const std::vector<Location> &now) {
        std::vector<Location> gone;
        for (const auto &k : known_)
            if (std::none_of(now.begin(), now.end(), [&](auto &l) { return l.same(k.loc); }))
                gone.push_back(k.loc);
        for (const auto &l : gone) apply({false, l});
        for (const auto &l : now) apply({true, l});
    }
    void replay_new() {
        Hub &h = hub();
        for (;;) {
            std::shared_ptr<Subscriber> s;
            {
                std::lock_guard lock(h.mu);
                for (auto &c : h.subs)
                    if (!c->replayed) {
                        s = c;
                        break;
                    }
                if (!s) return;
                s->replayed = true;
            }
            for (const auto &k : known_) {
                kavri_device_event_t ev = k.arrival;
                ev.flags |= KAVRI_DEVICE_FLAG_PRESENT;
                call(s, ev);
            }
        }
    }

  private:
    struct Known {
        Location loc;
        kavri_device_event_t arrival;
    };

    std::vector<Known>::iterator find(const Location &loc) {
        return std::find_if(known_.begin(), known_.end(), [&](auto &k) { return k.loc.same(loc); });
    }

    void deliver(const kavri_device_event_t &ev) {
        Hub &h = hub();
        std::vector<std::shared_ptr<Subscriber>> targets;
        {
            std::lock_guard lock(h.mu);
            for (auto &s : h.subs)
                if (s->replayed) targets.push_back(s);
        }
        for (auto &s : targets) call(s, ev);
    }

    void call(const std::shared_ptr<Subscriber> &s, const kavri_device_event_t &ev) {
        Hub &h = hub();
        {
            std::lock_guard lock(h.mu);
            if (s->removed || w_->stop) return;
            h.running = s->id;
        }
        s->fn(ev);  // no lock held: it may subscribe, unsubscribe, list and open
        std::lock_guard lock(h.mu);
        h.running = 0;
        h.cv.notify_all();
    }

    std::shared_ptr<Watcher> w_;
    std::vector<Known> known_;
};

void watch_hotplug(Run &run, Watcher &w, libusb_context *ctx, std::vector<RawEvent> &pending) {
    for (const auto &e : pending) run.seed(e.loc);
    pending.clear();
    mark_ready(w);
    while (!w.stop) {
        std::atomic_ref<int>(w.wake).store(0);
        run.replay_new();
        timeval tv{0, kHotplugWaitMs * 1000};
        libusb_handle_events_timeout_completed(ctx, &tv, &w.wake);
        std::vector<RawEvent> batch;
        batch.swap(pending);
        for (const auto &e : batch) run.apply(e);
    }
}

void watch_polling(Run &run, Watcher &w, libusb_context *ctx) {
    for (const auto &l : scan(ctx)) run.seed(l);
    mark_ready(w);
    Hub &h = hub();
    while (!w.stop) {
        run.replay_new();
        {
            std::unique_lock lock(h.mu);
            h.cv.wait_for(lock, kDevicePollInterval, [&] {
                return w.stop.load() || std::any_of(h.subs.begin(), h.subs.end(),
                                                    [](auto &s) { return !s->replayed; });
            });
        }
        if (w.stop) break;
        run.diff(scan(ctx));
    }
}

void watcher_main(std::shared_ptr<Watcher> w, ContextPtr ctx) {
    Hub &h = hub();
    Run run(w);
    std::vector<RawEvent> pending;
    libusb_hotplug_callback_handle cb = 0;
    bool hotplug = !w->polling;
    if (hotplug) {
        // The arrivals of the cameras present come during the registration.
        const int r = libusb_hotplug_register_callback(
            ctx.get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
            LIBUSB_HOTPLUG_ENUMERATE, KAVRI_USB_VENDOR_ID, KAVRI_USB_PRODUCT_ID,
            LIBUSB_HOTPLUG_MATCH_ANY, on_hotplug, &pending, &cb);
        if (r != LIBUSB_SUCCESS) {
            KV_WRN("[device watch] hotplug registration failed (%s): polling\n",
                   libusb_error_name(r));
            pending.clear();
            hotplug = false;
            w->polling = true;
        }
    }
    KV_INF("[device watch] started, %s\n", hotplug ? "libusb hotplug" : "polling the bus list");
    if (hotplug) {
        watch_hotplug(run, *w, ctx.get(), pending);
        libusb_hotplug_deregister_callback(ctx.get(), cb);
    } else {
        watch_polling(run, *w, ctx.get());
    }
    {
        std::lock_guard lock(h.mu);
        w->ctx = nullptr;  // nobody interrupts it any more
        // The id may be reused by a thread started later, which is not this one.
        if (h.thread_id.load() == std::this_thread::get_id()) h.thread_id.store({});
    }
    KV_INF("[device watch] stopped\n");
}

}  // namespace

bool on_device_watch_thread() {
    return hub().thread_id.load() == std::this_thread::get_id();
}

DeviceSubscription device_change_subscribe(DeviceChangeFn fn) {
    Hub &h = hub();
    std::unique_lock lock(h.mu);
    if (h.watcher && h.watcher->stop && on_device_watch_thread()) {
        // From inside the callback that removed the last subscriber: that run
        // goes on.
        h.watcher->stop = false;
    }
    if (!h.watcher || h.watcher->stop) {
        libusb_context *raw = nullptr;
        if (libusb_init(&raw) != 0) {
            KV_ERR("[device watch] no libusb context\n");
            return 0;
        }
        libusb_set_option(raw, LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
        ContextPtr ctx(raw);
        auto w = std::make_shared<Watcher>();
        w->ctx = raw;
        w->polling = polling_forced() || libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0;
        // A run that is ending (its last subscriber left from inside a
        // callback) finishes on its own: joining it here could wait for a
        // callback that waits for this caller.
        if (h.thread.joinable()) h.ended.push_back(std::move(h.thread));
        h.watcher = w;
        h.thread = std::thread(watcher_main, w, std::move(ctx));
        h.thread_id.store(h.thread.get_id());
        // A camera plugged once this returns is an arrival, not one present:
        // wait for the run to know the buses.
        h.cv.wait(lock, [&] { return w->ready; });
    }
    auto s = std::make_shared<Subscriber>();
    s->id = h.next_id++;
    s->fn = std::move(fn);
    h.subs.push_back(s);
    poke_locked(h, *h.watcher);
    return s->id;
}

void device_change_unsubscribe(DeviceSubscription id) {
    if (id == 0) return;
    Hub &h = hub();
    std::unique_lock lock(h.mu);
    auto it = std::find_if(h.subs.begin(), h.subs.end(), [&](auto &s) { return s->id == id; });
    if (it == h.subs.end()) {
        if (on_device_watch_thread()) return;
        std::vector<std::thread> done = take_ended_locked(h);
        lock.unlock();
        join_all(done);
        return;
    }
    (*it)->removed = true;
    h.subs.erase(it);
    const bool inside = on_device_watch_thread();
    if (!inside) h.cv.wait(lock, [&] { return h.running != id; });
    if (!h.subs.empty() || !h.watcher) return;
    h.watcher->stop = true;
    poke_locked(h, *h.watcher);
    if (inside) return;  // the run ends once this callback returns
    std::vector<std::thread> done = take_ended_locked(h);
    lock.unlock();
    join_all(done);
}

void device_watch_shutdown() {
    Hub &h = hub();
    std::unique_lock lock(h.mu);
    for (auto &s : h.subs) s->removed = true;
    h.subs.clear();
    if (h.watcher) {
        h.watcher->stop = true;
        poke_locked(h, *h.watcher);
    }
    if (on_device_watch_thread()) {
        // kavri_uninit from a callback: the run ends after it, and the next
        // removal or shutdown from another thread joins it.
        if (h.thread.joinable()) h.ended.push_back(std::move(h.thread));
        h.watcher.reset();
        return;
    }
    std::vector<std::thread> done = take_ended_locked(h);
    lock.unlock();
    join_all(done);
}

}  // namespace kavri::ll
