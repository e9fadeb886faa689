// Finding, opening and closing cameras on the USB buses.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "kavri/ll.h"
#include "core/log_internal.h"
#include "ll/usb_ids.h"
#include "ll/usb_ll.h"
#include "ll/usb_sync.h"

namespace kavri::ll {
namespace {

constexpr int kInterfaces[] = {0, 1};
// How long close waits for cancelled transfers to come back from libusb.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(2000);
constexpr auto kCloseDrainStep = std::chrono::milliseconds(100);

// Exit statuses of the process when a device's core records cannot be had.
constexpr int kExitNoBuffer = -1;
constexpr int kExitNoState = -2;

struct Location {
    uint8_t bus, port, addr, speed;
};

Location location_of(libusb_device *dev) {
    return {libusb_get_bus_number(dev), libusb_get_port_number(dev), libusb_get_device_address(dev),
            static_cast<uint8_t>(libusb_get_device_speed(dev))};
}

kavri_usb_info_t usb_info_of(const kavri_ll_t &ll) {
    kavri_usb_info_t info;
    static_assert(sizeof info == sizeof ll.if_info);
    std::memcpy(&info, ll.if_info, sizeof info);
    return info;
}

void store_location(kavri_ll_t &ll, const Location &loc) {
    kavri_usb_info_t info = usb_info_of(ll);
    info.usb_bus = loc.bus;
    info.usb_port = loc.port;
    info.usb_addr = loc.addr;
    info.usb_speed = loc.speed;
    std::memcpy(ll.if_info, &info, sizeof info);
}

bool is_camera(const libusb_device_descriptor &desc) {
    return desc.idVendor == KAVRI_USB_VENDOR_ID && desc.idProduct == KAVRI_USB_PRODUCT_ID;
}

ContextPtr new_context() {
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return nullptr;
    libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
    return ContextPtr(ctx);
}

// The state record with its sixteen transfers and receive buffers; running
// out of memory here ends the process, as nothing could work without them.
usb_ll_dev_priv_t *_usb_ll_dev_priv_alloc() {
    auto *st = new (std::nothrow) usb_ll_dev_priv_t();
    if (st == nullptr) {
        KV_ERR("[%s] malloc failed\n", "_usb_ll_dev_priv_alloc");
        std::exit(kExitNoState);
    }
    for (int i = 0; i < kRingSize; ++i) {
        st->transfers[i].reset(libusb_alloc_transfer(0));
        st->buffers[i].reset(new (std::nothrow) uint8_t[kRingBufferSize]);
        if (st->transfers[i] == nullptr || st->buffers[i] == nullptr) {
            KV_ERR("[%s] malloc failed!\n", "_usb_ll_dev_priv_alloc");
            std::exit(kExitNoBuffer);
        }
    }
    return st;
}

// A failed open frees the state record only when it made it: a reset keeps
// the record across its reopen, since other threads may be looking at it.
kavri_ll_t *fail_open(kavri_ll_t *ll, bool fresh) {
    if (fresh) {
        delete usb_state(ll);
        ll->state = nullptr;
    }
    return nullptr;
}

kavri_ll_t *fail_open_with_handle(kavri_ll_t *ll, bool fresh) {
    usb_ll_close_handle(ll);
    return fail_open(ll, fresh);
}

// Walks the bus for the record's camera; returns the opened handle.
HandlePtr find_and_open(kavri_ll_t *ll, libusb_context *ctx) {
    constexpr const char *tag = "_usb_ll_dev_open";
    libusb_device **raw_list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx, &raw_list);
    if (count < 0) {
        KV_ERR("[%s]   enum libusb device failed: %d \n", tag, static_cast<int>(count));
        return nullptr;
    }
    DeviceListPtr list(raw_list);
    KV_TRC("[%s]   %d usb device found \n", tag, static_cast<int>(count));

    const kavri_usb_info_t wanted = usb_info_of(*ll);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device *dev = list.get()[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(dev, &desc) != 0) {
            KV_ERR("[%s]   Failed to get device desc of device %d\n", tag, static_cast<int>(i));
            continue;
        }
        const Location loc = location_of(dev);
        libusb_device_handle *raw_handle = nullptr;
        if (ll->located) {
            KV_TRC("[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", tag, static_cast<int>(i),
                   desc.idVendor, desc.idProduct, loc.speed, loc.port, loc.bus, loc.addr);
            // The address is not compared: a camera that re-enumerated at the
            // same bus and port is still the same camera.
            if (!is_camera(desc) || loc.bus != wanted.usb_bus || loc.port != wanted.usb_port)
                continue;
            KV_DBG("[%s] open kavri device @ %03d:%03d:%03d\n", tag, wanted.usb_port,
                   wanted.usb_bus, wanted.usb_addr);
            const int r = libusb_open(dev, &raw_handle);
            if (r == 0) {
                // The address and speed may have changed with a re-enumeration.
                store_location(*ll, loc);
                return HandlePtr(raw_handle);
            }
            KV_WRN("[%s] failed to open this device: %s\n", tag, libusb_error_name(r));
        } else {
            if (!is_camera(desc)) continue;
            KV_DBG("[%s] found kavri device (speed=%d) @ %03d:%03d:%03d\n", tag, loc.speed,
                   loc.port, loc.bus, loc.addr);
            if (loc.speed <= LIBUSB_SPEED_FULL)
                KV_WRN("[%s] found kavri device not in HS mode (speed=%d) @ %03d:%03d:%03d\n", tag,
                       loc.speed, loc.port, loc.bus, loc.addr);
            const int r = libusb_open(dev, &raw_handle);
            if (r == 0) {
                ll->located = 1;
                ll->if_type = KAVRI_IF_USB;
                store_location(*ll, loc);
                return HandlePtr(raw_handle);
            }
            KV_WRN("[%s]   failed to open this device: %s, try next ...\n", tag,
                   libusb_error_name(r));
        }
    }
    return nullptr;
}

bool claim_interface(libusb_device_handle *handle) {
    int r = LIBUSB_ERROR_OTHER;
    for (int iface : kInterfaces) {
        r = libusb_claim_interface(handle, iface);
        if (r == 0) return true;
    }
    KV_ERR("[%s] libusb_claim_interface failed: %s\n", "usb_ll_dev_open", libusb_error_name(r));
    return false;
}

// Waits, bounded, until libusb has given back every stream transfer and
// every abandoned command. While the event thread runs it delivers the
// completions; once it is gone, this thread handles the events itself.
void drain_outstanding(usb_ll_dev_priv_t &st, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(st.io_mutex);
    while (st.outstanding_locked() > 0 && std::chrono::steady_clock::now() < deadline) {
        if (st.evt_running.load()) {
            st.io_idle.wait_until(
                lock, std::min(deadline, std::chrono::steady_clock::now() + kCloseDrainStep));
            continue;
        }
        lock.unlock();
        timeval tv{0, static_cast<suseconds_t>(std::chrono::microseconds(kCloseDrainStep).count())};
        libusb_handle_events_timeout_completed(st.ctx.get(), &tv, nullptr);
        lock.lock();
    }
}

void stop_event_thread(usb_ll_dev_priv_t &st) {
    if (!st.evt_thread.joinable()) return;
    if (st.evt_exit_ref().load() == 0) {
        KV_DBG("[%s] stop evt thread...\n", "usb_ll_dev_close");
        st.evt_exit_ref().store(1);
    }
    st.evt_thread.join();
}

}  // namespace

uint32_t usb_ll_dev_list(kavri_ll_t *list, uint32_t max) {
    constexpr const char *tag = "usb_ll_dev_list";
    if (list == nullptr || max == 0) return 0;
    ContextPtr ctx = new_context();
    if (ctx == nullptr) return 0;
    std::memset(static_cast<void *>(list), 0, sizeof(kavri_ll_t) * max);

    libusb_device **raw_list = nullptr;
    const ssize_t count = libusb_get_device_list(ctx.get(), &raw_list);
    if (count < 0) {
        KV_ERR("[%s]   enum usb device failed: %d \n", tag, static_cast<int>(count));
        return 0;
    }
    DeviceListPtr devices(raw_list);
    KV_DBG("[%s] probe kavri device (max=%d) in %d usb device\n", tag, static_cast<int>(max),
           static_cast<int>(count));

    uint32_t found = 0;
    for (ssize_t i = 0; i < count && found < max; ++i) {
        libusb_device *dev = devices.get()[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(dev, &desc) != 0) {
            KV_ERR("[%s]   Failed to get device desc of device %d\n", tag, static_cast<int>(i));
            continue;
        }
        const Location loc = location_of(dev);
        KV_TRC("[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", tag, static_cast<int>(i), desc.idVendor,
               desc.idProduct, loc.port, loc.bus, loc.addr);
        if (!is_camera(desc)) continue;

        kavri_ll_t &rec = list[found++];
        rec = kavri_ll_t{};
        rec.located = 1;
        rec.if_type = KAVRI_IF_USB;
        store_location(rec, loc);
        rec.ops = usb_record_ops();
        KV_DBG("[%s]   KAVRI device (speed=%d) found @ %03d:%03d:%03d, %p\n", tag, loc.speed,
               loc.port, loc.bus, loc.addr, static_cast<void *>(&rec));
    }
    return found;
}

kavri_ll_t *usb_ll_dev_open(kavri_ll_t *ll) {
    constexpr const char *tag = "usb_ll_dev_open";
    if (ll == nullptr || ll->if_type != KAVRI_IF_USB) return nullptr;
    const bool fresh = ll->state == nullptr;
    if (fresh) ll->state = _usb_ll_dev_priv_alloc();
    usb_ll_dev_priv_t &st = *usb_state(ll);
    if (st.handle != nullptr) {
        // A second open would leak the first handle and its event thread.
        KV_WRN("[%s] device already opened\n", tag);
        return nullptr;
    }

    if (st.ctx == nullptr) {
        KV_DBG("[%s]  create usb context\n", tag);
        libusb_context *ctx = nullptr;
        const int r = libusb_init(&ctx);
        if (r != 0) {
            KV_ERR("[%s]  create usb context failed: %s\n", tag, libusb_error_name(r));
            return fail_open(ll, fresh);
        }
        st.ctx.reset(ctx);
        libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
    }

    st.handle = find_and_open(ll, st.ctx.get());
    if (st.handle == nullptr) return fail_open(ll, fresh);

    if (ll->if_type != KAVRI_IF_USB) ll->if_type = KAVRI_IF_USB;  // as the table, above
    const int cfg = libusb_set_configuration(st.handle.get(), kConfiguration);
    if (cfg != 0) {
        KV_ERR("[%s] libusb_set_configuration failed: %s\n", tag, libusb_error_name(cfg));
        return fail_open_with_handle(ll, fresh);
    }
    (void)libusb_set_auto_detach_kernel_driver(st.handle.get(), 1);
    if (!claim_interface(st.handle.get())) return fail_open_with_handle(ll, fresh);

    st.evt_running.store(0);
    st.evt_exit_ref().store(0);
    try {
        st.evt_thread = std::thread(_usb_ll_evt_thread, ll);
    } catch (const std::system_error &) {
        KV_ERR("[%s]  create evt thread failed\n", tag);
        return fail_open_with_handle(ll, fresh);
    }
    // A reopen (reset, reconnect) finds the table in place: other threads
    // read it meanwhile, so it is written only when it changes.
    if (ll->ops != usb_record_ops()) ll->ops = usb_record_ops();
    st.gone.store(false);
    return ll;
}

bool usb_ll_dev_reopen_at(kavri_ll_t *ll, const kavri_usb_info_t &at) {
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr || ll->if_type != KAVRI_IF_USB || st->on_event_thread()) return false;
    // The old handle names a device that left: its ring and event thread go
    // first, so the ring's transfers can be filled for the new handle.
    usb_ll_close_handle(ll);
    if (st->interrupted.load()) return false;  // the device is being closed
    kavri_usb_info_t info = usb_info_of(*ll);
    info.usb_bus = at.usb_bus;
    info.usb_port = at.usb_port;
    info.usb_addr = at.usb_addr;
    info.usb_speed = at.usb_speed;
    std::memcpy(ll->if_info, &info, sizeof info);
    if (ll->located == 0) ll->located = 1;
    return usb_ll_dev_open(ll) != nullptr;
}

kavri_ll_t *usb_ll_dev_open_by_fd(kavri_ll_t *ll) {
    if (ll == nullptr || ll->if_type != KAVRI_IF_USB) return nullptr;
    if (ll->state == nullptr) ll->state = _usb_ll_dev_priv_alloc();
    return usb_ll_dev_open(ll);
}

void usb_ll_close_handle(kavri_ll_t *ll) {
    constexpr const char *tag = "usb_ll_dev_close";
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr || st->handle == nullptr) return;

    // The stream transfers are freed below: none may still be in flight.
    usb_ll_ring_cancel(*st, tag);
    const auto deadline = std::chrono::steady_clock::now() + kCloseDrainLimit;
    drain_outstanding(*st, deadline);
    stop_event_thread(*st);
    drain_outstanding(*st, deadline);

    int leftover = 0;
    {
        std::lock_guard lock(st->io_mutex);
        leftover = st->outstanding_locked();
    }
    if (leftover > 0) KV_WRN("[%s] %d transfers still pending at close\n", tag, leftover);

    for (int iface : kInterfaces) libusb_release_interface(st->handle.get(), iface);
    // A transfer keeps pointing at its handle, and libusb reads that handle
    // when the transfer is freed, long after this close for the ring (freed
    // with the state record, or reused after a reset's reopen). The ones
    // libusb gave back forget the handle here; libusb_close makes the ones it
    // still holds forget it.
    {
        std::lock_guard lock(st->io_mutex);
        for (size_t i = 0; i < kRingSize; ++i)
            if (!st->ring_in_flight[i] && st->transfers[i]) st->transfers[i]->dev_handle = nullptr;
        for (SyncTransfer *job : st->orphans) {
            std::lock_guard job_lock(job->mutex);
            if (job->completed && job->transfer) job->transfer->dev_handle = nullptr;
        }
    }
    st->handle.reset();
    {
        std::lock_guard lock(st->io_mutex);
        for (SyncTransfer *job : st->orphans) delete job;
        st->orphans.clear();
    }
    // The context stays until the state record goes: a submitted transfer
    // holds a reference on its device until it is freed, and the ring's
    // are freed with the record (or reused after a reset's reopen), which
    // must happen before libusb_exit.
}

void usb_ll_dev_close(kavri_ll_t *ll) {
    constexpr const char *tag = "usb_ll_dev_close";
    if (ll == nullptr || ll->if_type != KAVRI_IF_USB) return;
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr || st->ctx == nullptr || st->handle == nullptr) {
        KV_WRN("[%s] device no need to closed!\n", tag);
        // A record whose reset could not reopen the camera still goes.
        if (st != nullptr && st->handle == nullptr) {
            delete st;
            ll->state = nullptr;
        }
        return;
    }
    if (st->on_event_thread()) {
        // Close joins the event thread and waits for completions it delivers.
        KV_ERR("[%s] cannot close the device from its own event thread\n", tag);
        return;
    }
    usb_ll_close_handle(ll);
    delete st;
    ll->state = nullptr;
}

}  // namespace kavri::ll
