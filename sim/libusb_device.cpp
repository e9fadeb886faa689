// libusb entry points: the device list, descriptors, locations, open and
// close, configuration, interfaces and halts.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bus.h"

using camsim::bus;
using camsim::Clock;
using camsim::PhysDevice;

namespace {

constexpr uint16_t kMaxPacketBulk = 512, kMaxPacketControl = 64;
constexpr intptr_t kSysDeviceBase = 0x5ca0000;  // camsim_sys_device tokens

bool handle_ok(camsim::Bus &b, libusb_device_handle *h, const char *what) {
    if (!h || !b.handles.count(h) || h->closed) {
        b.misuse("%s on a handle that is not open (%p)", what, static_cast<void *>(h));
        return false;
    }
    return true;
}

int open_locked(camsim::Bus &b, libusb_device *dev, libusb_device_handle **out) {
    if (b.stale(dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (!dev->phys->cam) return LIBUSB_ERROR_ACCESS;  // bystanders belong to other drivers
    auto &faults = dev->phys->cam->usb_faults;
    if (faults.open_fail > 0) {
        --faults.open_fail;
        return LIBUSB_ERROR_ACCESS;
    }
    auto *h = new libusb_device_handle;
    h->dev = dev;
    ++dev->refs;
    ++b.counters.device_refs;
    b.handles.insert(h);
    ++b.counters.open_handles;
    *out = h;
    return LIBUSB_SUCCESS;
}

void release_locked(camsim::Bus &b, libusb_device_handle *h, int iface) {
    h->claimed &= ~(1u << iface);
    --b.counters.claimed_interfaces;
    PhysDevice &p = *h->dev->phys;
    if (p.iface_owner[iface] == h) p.iface_owner[iface] = nullptr;
}

}  // namespace

namespace camsim {

libusb_device *device_for(Bus &b, libusb_context *ctx, const std::shared_ptr<PhysDevice> &p) {
    for (auto *d : ctx->devices) {
        if (d->phys == p && d->generation == p->generation) {
            ++d->refs;
            ++b.counters.device_refs;
            return d;
        }
    }
    auto *d = new libusb_device;
    d->ctx = ctx;
    d->phys = p;
    d->generation = p->generation;
    d->bus = p->bus;
    d->port = p->port;
    d->address = p->address;
    d->speed = p->speed;
    d->vid = p->vid;
    d->pid = p->pid;
    ctx->devices.push_back(d);
    ++b.counters.devices;
    ++b.counters.device_refs;
    return d;
}

void unref_locked(Bus &b, libusb_device *d) {
    if (d->refs <= 0) {
        b.misuse("libusb_unref_device on device %p without references", static_cast<void *>(d));
        return;
    }
    --b.counters.device_refs;
    if (--d->refs > 0) return;
    if (d->ctx) std::erase(d->ctx->devices, d);
    --b.counters.devices;
    delete d;
}

int device_class_of(const libusb_device *dev) {
    if (dev->phys && dev->phys->cam) return LIBUSB_CLASS_PER_INTERFACE;
    return dev->port == 0 ? LIBUSB_CLASS_HUB : LIBUSB_CLASS_PER_INTERFACE;
}

}  // namespace camsim

using camsim::device_for;
using camsim::unref_locked;

CAMSIM_EXPORT ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.advance(Clock::now());
    libusb_context *c = b.resolve(ctx);
    if (!c || !list) {
        b.misuse("libusb_get_device_list without an initialised context");
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // As libusb on Linux: each device that arrives goes to the front of the
    // list, so the one connected last comes first.
    std::vector<std::shared_ptr<PhysDevice>> present;
    for (auto &p : b.devices)
        if (p->attached) present.push_back(p);
    std::stable_sort(present.begin(), present.end(),
                     [](const auto &x, const auto &y) { return x->attach_seq > y->attach_seq; });
    std::vector<libusb_device *> found;
    for (auto &p : present) found.push_back(device_for(b, c, p));
    auto **arr = static_cast<libusb_device **>(std::calloc(found.size() + 1, sizeof(void *)));
    if (!arr) {
        for (auto *d : found) unref_locked(b, d);
        return LIBUSB_ERROR_NO_MEM;
    }
    std::copy(found.begin(), found.end(), arr);
    *list = arr;
    return static_cast<ssize_t>(found.size());
}

CAMSIM_EXPORT void libusb_free_device_list(libusb_device **list, int unref_devices) {
    if (!list) return;
    auto &b = bus();
    {
        std::lock_guard lock(b.mu);
        if (unref_devices)
            for (auto **d = list; *d; ++d) unref_locked(b, *d);
    }
    std::free(list);
}

CAMSIM_EXPORT libusb_device *libusb_ref_device(libusb_device *dev) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    ++dev->refs;
    ++b.counters.device_refs;
    return dev;
}

CAMSIM_EXPORT void libusb_unref_device(libusb_device *dev) {
    if (!dev) return;
    auto &b = bus();
    std::lock_guard lock(b.mu);
    unref_locked(b, dev);
}

CAMSIM_EXPORT int libusb_get_device_descriptor(libusb_device *dev,
                                               struct libusb_device_descriptor *desc) {
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = kMaxPacketControl;
    desc->idVendor = dev->vid;
    desc->idProduct = dev->pid;
    desc->bNumConfigurations = 1;
    if (dev->phys && dev->phys->cam) {
        desc->bcdDevice = 0x0150;
        desc->iManufacturer = 1;
        desc->iProduct = 2;
        desc->iSerialNumber = 3;
    } else if (dev->port == 0) {
        desc->bDeviceClass = LIBUSB_CLASS_HUB;
    }
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_get_config_descriptor(libusb_device *dev, uint8_t index,
                                               struct libusb_config_descriptor **config) {
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    if (!dev->phys || !dev->phys->cam) return LIBUSB_ERROR_NOT_FOUND;
    // One block: configuration, interface, altsetting, two endpoints.
    struct Block {
        libusb_config_descriptor cfg;
        libusb_interface iface;
        libusb_interface_descriptor alt;
        libusb_endpoint_descriptor ep[2];
    };
    auto *blk = static_cast<Block *>(std::calloc(1, sizeof(Block)));
    if (!blk) return LIBUSB_ERROR_NO_MEM;
    blk->ep[0] = {LIBUSB_DT_ENDPOINT_SIZE,
                  LIBUSB_DT_ENDPOINT,
                  camsim::kEpBulkIn,
                  LIBUSB_TRANSFER_TYPE_BULK,
                  kMaxPacketBulk,
                  0,
                  0,
                  0,
                  nullptr,
                  0};
    blk->ep[1] = {LIBUSB_DT_ENDPOINT_SIZE,
                  LIBUSB_DT_ENDPOINT,
                  camsim::kEpBulkOut,
                  LIBUSB_TRANSFER_TYPE_BULK,
                  kMaxPacketBulk,
                  0,
                  0,
                  0,
                  nullptr,
                  0};
    blk->alt = {LIBUSB_DT_INTERFACE_SIZE,
                LIBUSB_DT_INTERFACE,
                0,
                0,
                2,
                LIBUSB_CLASS_VENDOR_SPEC,
                0,
                0,
                0,
                blk->ep,
                nullptr,
                0};
    blk->iface = {&blk->alt, 1};
    blk->cfg = {LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG, 32, 1, camsim::kConfigValue, 0, 0x80, 250,
                &blk->iface,           nullptr,          0};
    *config = &blk->cfg;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_get_active_config_descriptor(libusb_device *dev,
                                                      struct libusb_config_descriptor **config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

CAMSIM_EXPORT int libusb_get_config_descriptor_by_value(libusb_device *dev, uint8_t value,
                                                        struct libusb_config_descriptor **config) {
    if (value != camsim::kConfigValue) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, 0, config);
}

CAMSIM_EXPORT void libusb_free_config_descriptor(struct libusb_config_descriptor *config) {
    std::free(config);  // the first member of the block
}

CAMSIM_EXPORT uint8_t libusb_get_bus_number(libusb_device *dev) {
    return dev->bus;
}
CAMSIM_EXPORT uint8_t libusb_get_port_number(libusb_device *dev) {
    return dev->port;
}
CAMSIM_EXPORT uint8_t libusb_get_device_address(libusb_device *dev) {
    return dev->address;
}
CAMSIM_EXPORT int libusb_get_device_speed(libusb_device *dev) {
    return dev->speed;
}
CAMSIM_EXPORT libusb_device *libusb_get_parent(libusb_device *) {
    return nullptr;
}

CAMSIM_EXPORT int libusb_get_port_numbers(libusb_device *dev, uint8_t *ports, int len) {
    if (dev->port == 0) return 0;
    if (len < 1) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = dev->port;
    return 1;
}

CAMSIM_EXPORT int libusb_get_port_path(libusb_context *, libusb_device *dev, uint8_t *path,
                                       uint8_t len) {
    return libusb_get_port_numbers(dev, path, len);
}

CAMSIM_EXPORT int libusb_get_max_packet_size(libusb_device *dev, unsigned char endpoint) {
    if (!dev->phys || !dev->phys->cam) return LIBUSB_ERROR_NOT_FOUND;
    if (endpoint == camsim::kEpBulkIn || endpoint == camsim::kEpBulkOut) return kMaxPacketBulk;
    return LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT int libusb_get_max_iso_packet_size(libusb_device *, unsigned char) {
    return LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT int libusb_open(libusb_device *dev, libusb_device_handle **handle) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.advance(Clock::now());
    if (!dev || !handle) return LIBUSB_ERROR_INVALID_PARAM;
    return open_locked(b, dev, handle);
}

CAMSIM_EXPORT libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *ctx,
                                                                    uint16_t vid, uint16_t pid) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0) return nullptr;
    libusb_device_handle *h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i)
        if (list[i]->vid == vid && list[i]->pid == pid && libusb_open(list[i], &h) != 0)
            h = nullptr;
    libusb_free_device_list(list, 1);
    return h;
}

CAMSIM_EXPORT int libusb_wrap_sys_device(libusb_context *ctx, intptr_t sys_dev,
                                         libusb_device_handle **handle) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.advance(Clock::now());
    libusb_context *c = b.resolve(ctx);
    if (!c || !handle) return LIBUSB_ERROR_INVALID_PARAM;
    const intptr_t id = sys_dev - kSysDeviceBase;
    if (id < 0 || id >= static_cast<intptr_t>(b.cameras.size())) return LIBUSB_ERROR_NOT_FOUND;
    auto &p = b.cameras[static_cast<size_t>(id)];
    if (!p->attached) return LIBUSB_ERROR_NO_DEVICE;
    libusb_device *d = device_for(b, c, p);
    int rc = open_locked(b, d, handle);
    unref_locked(b, d);  // the handle holds its own reference
    return rc;
}

CAMSIM_EXPORT void libusb_close(libusb_device_handle *h) {
    if (!h) return;
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_close")) return;
    for (int i = 0; i < camsim::kInterfaceCount; ++i)
        if (h->claimed & (1u << i)) release_locked(b, h, i);
    if (h->inflight > 0) {
        b.misuse("libusb_close with %d transfers in flight", h->inflight);
        PhysDevice &p = *h->dev->phys;
        auto cancel_mine = [&](std::deque<camsim::TransferRec *> &q) {
            for (auto it = q.begin(); it != q.end();) {
                if ((*it)->handle == h) {
                    auto *rec = *it;
                    it = q.erase(it);
                    rec->t->dev_handle = nullptr;  // as libusb_close does: the handle goes
                    b.complete(rec, LIBUSB_TRANSFER_CANCELLED, rec->t->actual_length);
                } else {
                    ++it;
                }
            }
        };
        cancel_mine(p.in_queue);
        cancel_mine(p.held_ctrl);
    }
    h->closed = true;
    --b.counters.open_handles;
    unref_locked(b, h->dev);
    h->dev = nullptr;
    b.release_handle_if_done(h);
}

CAMSIM_EXPORT libusb_device *libusb_get_device(libusb_device_handle *h) {
    return h->dev;
}

CAMSIM_EXPORT int libusb_get_configuration(libusb_device_handle *h, int *config) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_get_configuration")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    *config = camsim::kConfigValue;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_set_configuration(libusb_device_handle *h, int config) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_set_configuration")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (config != camsim::kConfigValue && config != -1) return LIBUSB_ERROR_NOT_FOUND;
    for (auto *owner : h->dev->phys->iface_owner)
        if (owner) return LIBUSB_ERROR_BUSY;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_claim_interface(libusb_device_handle *h, int iface) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_claim_interface")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    // With automatic detach libusb claims through usbfs's disconnect-and-
    // claim, which answers EINVAL for an interface the camera lacks.
    if (iface < 0 || iface >= camsim::kInterfaceCount)
        return h->auto_detach ? LIBUSB_ERROR_INVALID_PARAM : LIBUSB_ERROR_NOT_FOUND;
    PhysDevice &p = *h->dev->phys;
    auto &f = p.cam->usb_faults;
    if (f.claim_busy > 0 && f.claim_busy_iface == static_cast<uint32_t>(iface)) {
        --f.claim_busy;
        return LIBUSB_ERROR_BUSY;
    }
    if (h->claimed & (1u << iface)) return LIBUSB_SUCCESS;
    if (p.iface_owner[iface]) return LIBUSB_ERROR_BUSY;
    p.iface_owner[iface] = h;
    h->claimed |= 1u << iface;
    ++b.counters.claimed_interfaces;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_release_interface(libusb_device_handle *h, int iface) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_release_interface")) return LIBUSB_ERROR_INVALID_PARAM;
    if (iface < 0 || iface >= 32 || !(h->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
    release_locked(b, h, iface);
    return b.stale(h->dev) ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_set_interface_alt_setting(libusb_device_handle *h, int iface, int alt) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_set_interface_alt_setting")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= camsim::kInterfaceCount || !(h->claimed & (1u << iface)) || alt != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_clear_halt(libusb_device_handle *h, unsigned char endpoint) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_clear_halt")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    PhysDevice &p = *h->dev->phys;
    if (endpoint == camsim::kEpBulkIn) {
        p.in_halted = false;
        b.advance(Clock::now());
        return LIBUSB_SUCCESS;
    }
    if (endpoint == camsim::kEpBulkOut || endpoint == camsim::kEpControl) return LIBUSB_SUCCESS;
    return LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT int libusb_reset_device(libusb_device_handle *h) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_reset_device")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NOT_FOUND;
    // A port reset: the stream stops, the address and the handle stay.
    PhysDevice &p = *h->dev->phys;
    p.cam->link_down();
    p.in_halted = false;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_kernel_driver_active(libusb_device_handle *h, int iface) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_kernel_driver_active")) return LIBUSB_ERROR_INVALID_PARAM;
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface >= camsim::kInterfaceCount) return LIBUSB_ERROR_NOT_FOUND;
    return 0;
}

CAMSIM_EXPORT int libusb_detach_kernel_driver(libusb_device_handle *h, int iface) {
    int rc = libusb_kernel_driver_active(h, iface);
    return rc < 0 ? rc : LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT int libusb_attach_kernel_driver(libusb_device_handle *h, int iface) {
    int rc = libusb_kernel_driver_active(h, iface);
    return rc < 0 ? rc : LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT int libusb_set_auto_detach_kernel_driver(libusb_device_handle *h, int enable) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (!handle_ok(b, h, "libusb_set_auto_detach_kernel_driver")) return LIBUSB_ERROR_INVALID_PARAM;
    h->auto_detach = enable != 0;
    return LIBUSB_SUCCESS;
}

CAMSIM_EXPORT int libusb_alloc_streams(libusb_device_handle *, uint32_t, unsigned char *, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;  // a high-speed device has no bulk streams
}
CAMSIM_EXPORT int libusb_free_streams(libusb_device_handle *, unsigned char *, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
CAMSIM_EXPORT unsigned char *libusb_dev_mem_alloc(libusb_device_handle *, size_t) {
    return nullptr;
}
CAMSIM_EXPORT int libusb_dev_mem_free(libusb_device_handle *, unsigned char *, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

// Token for libusb_wrap_sys_device standing for the camera's device node.
extern "C" __attribute__((visibility("default"))) intptr_t camsim_sys_device(int cam) {
    return kSysDeviceBase + cam;
}
