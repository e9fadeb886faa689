// The usbfs ioctls libusb's Linux backend sends to a device node, answered
// from the camera model on umockdev's worker thread.
#include <linux/usb/ch9.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "usbfs_bus.h"
#include "wire.h"

namespace camsim::usbfs {
namespace {

constexpr unsigned kStreamInterface = 0;
constexpr unsigned kConfigValue = 1;
constexpr uint8_t kEpBulkIn = 0x81, kEpBulkOut = 0x01;
constexpr size_t kSetup = 8;
constexpr int kMaxPacketBulk = 512;
constexpr size_t kBlockHeader = 6;  // a data block: CRC-16, then its 32-bit length
constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

struct Result {
    int rc = 0;
    int err = 0;
};
constexpr Result ok() {
    return {};
}
constexpr Result fail(int e) {
    return {-1, e};
}

// The ioctl argument as a local copy of `size` bytes it points at.
UMockdevIoctlData *pointee(UMockdevIoctlData *arg, size_t size) {
    return umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
}

template <class T>
bool read_arg(UMockdevIoctlData *arg, T &out) {
    UMockdevIoctlData *d = pointee(arg, sizeof(T));
    if (!d) return false;
    std::memcpy(&out, d->data, sizeof(T));
    umockdev_ioctl_data_unref(d);
    return true;
}

int linux_speed(uint8_t libusb_speed) {
    switch (libusb_speed) {
        case 1:
            return USB_SPEED_LOW;
        case 2:
            return USB_SPEED_FULL;
        case 4:
            return USB_SPEED_SUPER;
        case 5:
            return USB_SPEED_SUPER_PLUS;
        default:
            return USB_SPEED_HIGH;
    }
}

class Handler {
  public:
    Handler(Bus &b, UMockdevIoctlClient *client, Node *node, bool current)
        : b_(b), client_(client), n_(node), current_(current) {}

    Result claim(unsigned iface, bool missing_is_invalid) {
        if (iface != kStreamInterface) return fail(missing_is_invalid ? EINVAL : ENOENT);
        auto &faults = n_->cam->usb_faults;
        if (faults.claim_busy > 0 && faults.claim_busy_iface == iface) {
            --faults.claim_busy;
            return fail(EBUSY);
        }
        for (auto &[other, bits] : n_->claims)
            if (other != client_ && (bits & (1u << iface))) return fail(EBUSY);
        n_->claims[client_] |= 1u << iface;
        return ok();
    }

    Result release(unsigned iface) {
        auto it = n_->claims.find(client_);
        if (it == n_->claims.end() || !(it->second & (1u << iface))) return fail(EINVAL);
        it->second &= ~(1u << iface);
        if (it->second == 0) n_->claims.erase(it);
        return ok();
    }

    Result submit(UMockdevIoctlData *arg) {
        UMockdevIoctlData *ud = pointee(arg, sizeof(usbdevfs_urb));
        if (!ud) return fail(EFAULT);
        auto *urb = reinterpret_cast<usbdevfs_urb *>(ud->data);
        auto *u = new Urb;
        u->data = ud;
        u->client = client_;
        u->type = urb->type;
        u->endpoint = urb->endpoint;
        u->flags = urb->flags;
        u->length = urb->buffer_length;
        if (u->length < 0) return refuse(u, EINVAL);
        if (u->length > 0) {
            u->buffer = umockdev_ioctl_data_resolve(ud, offsetof(usbdevfs_urb, buffer),
                                                    static_cast<size_t>(u->length), nullptr);
            if (!u->buffer) return refuse(u, EFAULT);
        }
        u->transfer = b_.next_transfer++;
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) return submit_control(u);
        if (u->type == USBDEVFS_URB_TYPE_BULK) return submit_bulk(u);
        return refuse(u, EINVAL);
    }

    Result reap(UMockdevIoctlData *arg) {
        if (current_) b_.pour(*n_, Clock::now());
        for (auto it = n_->done.begin(); it != n_->done.end(); ++it) {
            Urb *u = *it;
            if (u->client != client_) continue;
            n_->done.erase(it);
            u->urb()->status = u->status;
            u->urb()->actual_length = u->actual;
            UMockdevIoctlData *where = pointee(arg, sizeof(void *));
            if (where) {
                umockdev_ioctl_data_set_ptr(where, 0, u->data);
                umockdev_ioctl_data_unref(where);
            }
            reaped_ = u;
            if (n_->done.empty()) settle();
            return where ? ok() : fail(EFAULT);
        }
        settle();
        return fail(current_ ? EAGAIN : ENODEV);
    }

    Result discard(UMockdevIoctlData *arg) {
        const auto addr = static_cast<gulong>(
            reinterpret_cast<uintptr_t>(*static_cast<void **>(static_cast<void *>(arg->data))));
        for (auto *q : {&n_->in_queue, &n_->held_ctrl}) {
            for (auto it = q->begin(); it != q->end(); ++it) {
                Urb *u = *it;
                if (u->client != client_ || u->data->client_addr != addr) continue;
                const bool head = q == &n_->in_queue && it == q->begin();
                q->erase(it);
                b_.finish(*n_, u, -ENOENT);
                if (head && current_) b_.pour(*n_, Clock::now());  // the next URB takes the stream
                return ok();
            }
        }
        return fail(EINVAL);  // already completed: the host reaps it as it is
    }

    Result clear_halt(unsigned endpoint) {
        if (endpoint == kEpBulkIn) {
            n_->in_halted = false;
            b_.pour(*n_, Clock::now());
            b_.cv.notify_all();
        }
        return ok();
    }

    Result reset() {
        // A port reset: the stream stops; the address and the claims stay.
        n_->cam->link_down();
        n_->in_halted = n_->in_cancelling = false;
        b_.fail_inflight(*n_, -ENOENT);
        return ok();
    }

    Urb *reaped() const { return reaped_; }

  private:
    Result refuse(Urb *u, int e) {
        refused_.push_back(u);
        return fail(e);
    }

    Result submit_control(Urb *u) {
        if (u->length < static_cast<int>(kSetup)) return refuse(u, EINVAL);
        const uint8_t *s = u->bytes();
        ControlRequest req;
        req.request_type = s[0];
        req.request = s[1];
        req.value = wire::get_u16(s + 2);
        req.index = wire::get_u16(s + 4);
        req.length = wire::get_u16(s + 6);
        if (u->length < static_cast<int>(kSetup + req.length)) return refuse(u, EINVAL);
        ++b_.counters.control_transfers;
        auto &faults = n_->cam->usb_faults;
        if (faults.hang_control > 0) {
            --faults.hang_control;
            n_->held_ctrl.push_back(u);  // until libusb's time-out discards it
            return ok();
        }
        const bool in = (req.request_type & USB_DIR_IN) != 0;
        if (!in) req.data = std::span<const uint8_t>(u->bytes() + kSetup, req.length);
        ControlResponse resp = n_->cam->control(req, Clock::now());
        if (resp.stall) {
            b_.finish(*n_, u, -EPIPE);
        } else if (in) {
            const size_t n = std::min<size_t>(resp.data.size(), req.length);
            std::memcpy(u->bytes() + kSetup, resp.data.data(), n);
            u->actual = static_cast<int>(n);
            b_.finish(*n_, u, 0);
        } else {
            u->actual = req.length;
            b_.finish(*n_, u, 0);
        }
        b_.cv.notify_all();  // a reset or a stream start may have been asked for
        return ok();
    }

    Result submit_bulk(Urb *u) {
        if (u->endpoint != kEpBulkIn && u->endpoint != kEpBulkOut) return refuse(u, ENOENT);
        // usbfs claims the interface on first use when nobody holds it.
        auto it = n_->claims.find(client_);
        if (it == n_->claims.end() || !(it->second & (1u << kStreamInterface))) {
            const Result r = claim(kStreamInterface, false);
            if (r.rc != 0) return refuse(u, r.err);
        }
        if (u->endpoint == kEpBulkIn) {
            // libusb splits a long transfer into URBs; all but the first say so.
            auto &last = n_->last_in_transfer[client_];
            if (!(u->flags & USBDEVFS_URB_BULK_CONTINUATION) || last == 0)
                last = b_.next_transfer++;
            u->transfer = last;
            n_->in_queue.push_back(u);
            b_.pour(*n_, Clock::now());
            b_.cv.notify_all();
            return ok();
        }
        auto &faults = n_->cam->usb_faults;
        ++b_.counters.bulk_out_transfers;
        if (faults.stall_out > 0) {
            --faults.stall_out;
            b_.finish(*n_, u, -EPIPE);
            return ok();
        }
        // The camera sees packets: a transfer split into URBs ends with its
        // short (or zero-length) packet, or once the block its header
        // announces is complete.
        auto &pending = n_->out_pending;
        if (u->length > 0) pending.insert(pending.end(), u->bytes(), u->bytes() + u->length);
        const bool short_packet = u->length % kMaxPacketBulk != 0 || u->length == 0 ||
                                  (u->flags & USBDEVFS_URB_ZERO_PACKET);
        const bool block_done = pending.size() >= kBlockHeader &&
                                pending.size() - kBlockHeader >= wire::get_u32(pending.data() + 2);
        if (short_packet || block_done) {
            n_->cam->data.bulk_out(pending);
            pending.clear();
        }
        n_->cam->stats.bulk_out_bytes += static_cast<uint64_t>(u->length);
        u->actual = u->length;
        b_.finish(*n_, u, 0);
        return ok();
    }

    // Nothing left for anyone to reap: the node stops polling writable.
    void settle() {
        if (n_->done.empty()) b_.unsignal(*n_);
    }

  public:
    std::vector<Urb *> refused_;

  private:
    Bus &b_;
    UMockdevIoctlClient *client_;
    Node *n_;
    bool current_;
    Urb *reaped_ = nullptr;
};

void free_urb(Urb *u) {
    if (u->buffer) umockdev_ioctl_data_unref(u->buffer);
    if (u->data) umockdev_ioctl_data_unref(u->data);
    delete u;
}

}  // namespace

gboolean handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data) {
    Bus &b = *static_cast<Bus *>(data);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    const std::string devnode = umockdev_ioctl_client_get_devnode(client);
    std::vector<Urb *> to_free;
    Result r;
    {
        std::lock_guard lock(b.mu);
        if (b.clients.emplace(client, true).second) g_object_ref(client);
        b.prune_clients();
        to_free.swap(b.orphans);
        auto found = b.by_devnode.find(devnode);
        if (found == b.by_devnode.end()) {
            r = fail(ENODEV);
        } else {
            Node &n = *found->second;
            // A node of an earlier address (before a reset re-enumerated the
            // camera) or of an unplugged camera answers "no device".
            const bool current = n.attached && n.devnode == devnode;
            Handler h(b, client, &n, current);
            unsigned value = 0;
            switch (request) {
                case USBDEVFS_GET_CAPABILITIES: {
                    UMockdevIoctlData *d = pointee(arg, sizeof(uint32_t));
                    if (d) {
                        std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
                        umockdev_ioctl_data_unref(d);
                    }
                    r = d ? ok() : fail(EFAULT);
                    break;
                }
                case USBDEVFS_REAPURB:
                case USBDEVFS_REAPURBNDELAY:
                    r = h.reap(arg);
                    break;
                case USBDEVFS_DISCARDURB:
                    r = h.discard(arg);
                    break;
                default:
                    if (!current) {
                        r = fail(ENODEV);
                        break;
                    }
                    switch (request) {
                        case USBDEVFS_SUBMITURB:
                            r = h.submit(arg);
                            break;
                        case USBDEVFS_CLAIMINTERFACE:
                            r = read_arg(arg, value) ? h.claim(value, false) : fail(EFAULT);
                            break;
                        case USBDEVFS_DISCONNECT_CLAIM: {
                            usbdevfs_disconnect_claim dc{};
                            r = read_arg(arg, dc) ? h.claim(dc.interface, true) : fail(EFAULT);
                            break;
                        }
                        case USBDEVFS_RELEASEINTERFACE:
                            r = read_arg(arg, value) ? h.release(value) : fail(EFAULT);
                            break;
                        case USBDEVFS_CLEAR_HALT:
                            r = read_arg(arg, value) ? h.clear_halt(value) : fail(EFAULT);
                            break;
                        case USBDEVFS_RESETEP:
                            r = ok();
                            break;
                        case USBDEVFS_RESET:
                            r = h.reset();
                            break;
                        case USBDEVFS_SETCONFIGURATION:
                            r = read_arg(arg, value) && value == kConfigValue ? ok() : fail(EINVAL);
                            break;
                        case USBDEVFS_SETINTERFACE: {
                            usbdevfs_setinterface si{};
                            r = read_arg(arg, si) && si.interface == kStreamInterface &&
                                        si.altsetting == 0
                                    ? ok()
                                    : fail(EINVAL);
                            break;
                        }
                        case USBDEVFS_GET_SPEED:
                            r = {linux_speed(n.speed), 0};
                            break;
                        case USBDEVFS_GETDRIVER:
                        case USBDEVFS_IOCTL:
                            r = fail(ENODATA);  // no kernel driver bound to the camera
                            break;
                        default:
                            r = fail(ENOTTY);
                            break;
                    }
            }
            for (Urb *u : h.refused_) to_free.push_back(u);
            if (Urb *u = h.reaped()) to_free.push_back(u);
        }
    }
    umockdev_ioctl_client_complete(client, r.rc, r.err);
    for (Urb *u : to_free) free_urb(u);
    return TRUE;
}

}  // namespace camsim::usbfs
