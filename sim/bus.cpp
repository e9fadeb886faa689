#include "bus.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "env_config.h"
#include "src/ll/usb_ids.h"

namespace camsim {
namespace {

constexpr uint8_t kFirstAddress = 2;  // 1 is the root hub
constexpr uint16_t kRootHubVid = 0x1d6b, kRootHubPid = 0x0002;
constexpr uint16_t kMouseVid = 0x046d, kMousePid = 0xc077;
constexpr uint8_t kMouseBus = 1, kMousePort = 7;
constexpr int kMaxFramesPerPour = 64;

int round_down_word(int n) {
    return n - n % 4;
}

}  // namespace

Bus &bus() {
    // Never destroyed: threads of the program may still call in at exit.
    static Bus *b = new Bus;
    return *b;
}

__attribute__((no_sanitize("thread"))) int read_completed_flag(const int *completed) {
    return *static_cast<const volatile int *>(completed);
}

void Bus::misuse(const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    ++counters.misuse;
    last_misuse = text;
    std::fprintf(stderr, "camsim: MISUSE: %s\n", text);
}

void Bus::ensure_started() {
    if (started) return;
    started = true;
    // Bystanders: a root hub and a mouse, so listings hold more than cameras.
    auto hub = std::make_shared<PhysDevice>();
    hub->vid = kRootHubVid;
    hub->pid = kRootHubPid;
    hub->bus = 1;
    hub->port = 0;
    hub->address = 1;
    hub->attached = true;
    devices.push_back(hub);
    auto mouse = std::make_shared<PhysDevice>();
    mouse->vid = kMouseVid;
    mouse->pid = kMousePid;
    mouse->bus = kMouseBus;
    mouse->port = kMousePort;
    mouse->speed = LIBUSB_SPEED_LOW;
    devices.push_back(mouse);
    attach(*mouse, true);
    const int n = env_camera_count();
    for (int i = 0; i < n; ++i) {
        camsim_camera_config_t cfg;
        default_config(cfg);
        plug(cfg);
    }
}

int Bus::plug(const camsim_camera_config_t &cfg_in) {
    camsim_camera_config_t cfg = cfg_in;
    if (cfg.bus == 0) cfg.bus = 1;
    if (cfg.width == 0 || cfg.height == 0) return CAMSIM_EINVAL;
    if (cfg.port == 0) {
        for (uint8_t port = 1; port < 255 && cfg.port == 0; ++port) {
            bool used = std::any_of(devices.begin(), devices.end(),
                                    [&](auto &d) { return d->bus == cfg.bus && d->port == port; });
            if (!used) cfg.port = port;
        }
    } else {
        for (auto &d : devices)
            if (d->bus == cfg.bus && d->port == cfg.port) return CAMSIM_EBUSY;
    }
    if (cfg.port == 0) return CAMSIM_EBUSY;
    const int id = static_cast<int>(cameras.size());
    auto p = std::make_shared<PhysDevice>();
    p->vid = KAVRI_USB_VENDOR_ID;
    p->pid = KAVRI_USB_PRODUCT_ID;
    p->bus = cfg.bus;
    p->port = cfg.port;
    p->speed = cfg.speed ? cfg.speed : static_cast<uint8_t>(LIBUSB_SPEED_HIGH);
    try {
        p->cam = std::make_shared<Camera>(id, cfg);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "camsim: camera refused: %s\n", e.what());
        return CAMSIM_EINVAL;
    }
    cameras.push_back(p);
    devices.push_back(p);
    attach(*p, true);
    return id;
}

void Bus::attach(PhysDevice &p, bool keep_state) {
    uint8_t &next = next_address[p.bus];
    if (next < kFirstAddress) next = kFirstAddress;
    p.address = next;
    next = static_cast<uint8_t>(next >= 127 ? kFirstAddress : next + 1);
    ++p.generation;
    p.attach_seq = ++attach_count;
    p.attached = true;
    p.attach_at.reset();
    p.in_halted = false;
    if (p.cam && !keep_state) p.cam->power_cycle();
    queue_hotplug(p, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    cv.notify_all();
}

void Bus::queue_hotplug(PhysDevice &p, libusb_hotplug_event event) {
    std::shared_ptr<PhysDevice> shared;
    for (auto &d : devices)
        if (d.get() == &p) shared = d;
    if (!shared) return;  // not on the bus list yet: plug() queues once it is
    for (libusb_context *ctx : contexts) {
        if (ctx->hotplug.empty()) continue;
        // The removal names the object of the generation that left, which
        // device_for still finds: the generation changes only at the next attach.
        ctx->hotplug_ready.push_back({device_for(*this, ctx, shared), event});
    }
}

void Bus::detach(PhysDevice &p) {
    if (!p.attached) return;
    p.attached = false;
    queue_hotplug(p, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    p.leave.reset();
    if (p.cam) {
        p.cam->link_down();
        p.cam->take_bus_leave();
        p.cam->usb_faults.unplug_after = -1;
    }
    auto fail_all = [&](std::deque<TransferRec *> &q) {
        while (!q.empty()) {
            TransferRec *rec = q.front();
            q.pop_front();
            complete(rec, LIBUSB_TRANSFER_NO_DEVICE, rec->t->actual_length);
        }
    };
    fail_all(p.in_queue);
    fail_all(p.held_ctrl);
    for (auto &o : p.iface_owner) o = nullptr;
    p.in_halted = false;
    cv.notify_all();
}

bool Bus::position_taken(const PhysDevice &p, uint8_t bus_no, uint8_t port) const {
    return std::any_of(devices.begin(), devices.end(), [&](const auto &d) {
        return d.get() != &p && d->bus == bus_no && d->port == port &&
               (d->attached || d->attach_at);
    });
}

bool Bus::stale(const libusb_device *dev) const {
    return !dev->phys || !dev->phys->attached || dev->phys->generation != dev->generation;
}

libusb_context *Bus::resolve(libusb_context *ctx) {
    if (!ctx) return default_ctx;
    return contexts.count(ctx) ? ctx : nullptr;
}

void Bus::complete(TransferRec *rec, libusb_transfer_status status, int actual) {
    libusb_transfer *t = rec->t;
    if (status == LIBUSB_TRANSFER_COMPLETED && actual < t->length &&
        (t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK))
        status = LIBUSB_TRANSFER_ERROR;
    t->status = status;
    t->actual_length = actual;
    rec->starved = false;
    rec->timeout_armed = false;
    if (t->endpoint == kEpBulkIn && rec->phys && rec->phys->cam) {
        ++counters.bulk_in_transfers;
        auto &unplug = rec->phys->cam->usb_faults.unplug_after;
        if (unplug > 0) --unplug;
        // The host has these bytes from now: the library's callback follows
        // on the thread that handles events, without a wait.
        rec->phys->cam->note_delivered(
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count()));
    }
    if (t->endpoint == kEpBulkOut) ++counters.bulk_out_transfers;
    rec->state = TransferRec::State::Ready;
    if (!rec->ctx || !contexts.count(rec->ctx)) {
        // Its context is gone: nobody can deliver it any more.
        rec->state = TransferRec::State::Idle;
        --counters.inflight_transfers;
        if (rec->handle) {
            --rec->handle->inflight;
            release_handle_if_done(rec->handle);
        }
        return;
    }
    rec->ctx->ready.push_back(rec);
    cv.notify_all();
}

void Bus::release_handle_if_done(libusb_device_handle *h) {
    if (h->closed && h->inflight == 0) {
        handles.erase(h);
        delete h;
    }
}

void Bus::pour(PhysDevice &p, Clock::time_point now) {
    Camera &cam = *p.cam;
    while (!p.in_queue.empty() && !p.in_halted) {
        TransferRec *rec = p.in_queue.front();
        libusb_transfer *t = rec->t;
        if (cam.usb_faults.stall_in > 0) {
            --cam.usb_faults.stall_in;
            p.in_halted = true;
            p.in_queue.pop_front();
            complete(rec, LIBUSB_TRANSFER_STALL, t->actual_length);
            break;
        }
        if (rec->starved) break;
        if (!rec->timeout_armed && cam.usb_faults.timeout_in > 0) {
            --cam.usb_faults.timeout_in;
            rec->timeout_armed = true;
            rec->timeout_limit = round_down_word(static_cast<int>(std::min<uint32_t>(
                cam.usb_faults.timeout_in_bytes, static_cast<uint32_t>(t->length))));
            rec->starved = false;
        }
        const int limit = rec->timeout_armed ? rec->timeout_limit : t->length;
        for (int frames = 0; t->actual_length < limit;) {
            if (cam.fifo_available() == 0) {
                if (!cam.streaming() || frames >= kMaxFramesPerPour) break;
                const uint64_t before = cam.stats.frames;
                cam.produce(now);
                if (cam.stats.frames == before) break;  // nothing due yet
                ++frames;
                continue;
            }
            t->actual_length += static_cast<int>(cam.take(
                t->buffer + t->actual_length, static_cast<size_t>(limit - t->actual_length)));
        }
        if (rec->timeout_armed && t->actual_length >= limit) {
            if (cam.usb_faults.timeout_in_wait && rec->deadline) {
                rec->starved = true;  // sits there until its own time-out
                break;
            }
            p.in_queue.pop_front();
            complete(rec, LIBUSB_TRANSFER_TIMED_OUT, t->actual_length);
            continue;
        }
        if (t->actual_length == t->length) {
            p.in_queue.pop_front();
            complete(rec, LIBUSB_TRANSFER_COMPLETED, t->actual_length);
            continue;
        }
        // The FIFO ran dry at the end of a frame: the camera ends the
        // transfer with a short packet.
        if (t->actual_length > 0 && cam.fifo_available() == 0 && !rec->timeout_armed) {
            p.in_queue.pop_front();
            complete(rec, LIBUSB_TRANSFER_COMPLETED, t->actual_length);
            continue;
        }
        break;
    }
}

void Bus::advance(Clock::time_point now) {
    ensure_started();
    for (auto &pp : devices) {
        PhysDevice &p = *pp;
        if (!p.cam) continue;
        if (auto l = p.cam->take_bus_leave()) p.leave = l;
        if (p.attached && p.leave && now >= p.leave->leave_at) {
            const BusLeave l = *p.leave;
            detach(p);
            p.attach_at = l.leave_at + l.away;
            p.attach_keep_state = l.keep_state;
        }
        if (!p.attached && p.attach_at && now >= *p.attach_at) attach(p, p.attach_keep_state);
        if (!p.attached) continue;
        auto expire = [&](std::deque<TransferRec *> &q) {
            for (auto it = q.begin(); it != q.end();) {
                TransferRec *rec = *it;
                if (rec->deadline && now >= *rec->deadline) {
                    it = q.erase(it);
                    complete(rec, LIBUSB_TRANSFER_TIMED_OUT, rec->t->actual_length);
                } else {
                    ++it;
                }
            }
        };
        expire(p.held_ctrl);
        expire(p.in_queue);
        pour(p, now);
        if (p.cam->usb_faults.unplug_after == 0) {
            p.cam->usb_faults.unplug_after = -1;
            detach(p);
        }
    }
}

std::optional<Clock::time_point> Bus::next_wakeup() const {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (auto &pp : devices) {
        const PhysDevice &p = *pp;
        if (!p.cam) continue;
        if (p.leave && p.attached) consider(p.leave->leave_at);
        if (!p.attached && p.attach_at) consider(*p.attach_at);
        if (!p.attached) continue;
        for (auto *rec : p.held_ctrl)
            if (rec->deadline) consider(*rec->deadline);
        for (auto *rec : p.in_queue)
            if (rec->deadline) consider(*rec->deadline);
        if (!p.in_queue.empty() && !p.in_halted)
            if (auto due = p.cam->next_frame_due()) consider(*due);
    }
    return next;
}

void Bus::free_transfer_now(TransferRec *rec) {
    libusb_transfer *t = rec->t;
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    transfers.erase(t);
    std::free(t);
    delete rec;
    --counters.live_transfers;
}

void Bus::reset_all() {
    for (auto &p : cameras) detach(*p);
    std::erase_if(devices, [](auto &d) { return d->cam != nullptr; });
    cameras.clear();
    for (auto &n : next_address) n = 0;
    next_address[kMouseBus] = kFirstAddress + 1;  // the mouse keeps its address
    counters.misuse = 0;
    counters.control_transfers = counters.bulk_in_transfers = counters.bulk_out_transfers = 0;
    counters.callbacks = 0;
    last_misuse.clear();
}

}  // namespace camsim
