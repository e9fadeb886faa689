// libusb entry points: asynchronous transfers and the synchronous helpers
// built on them.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "bus.h"
#include "wire.h"

using camsim::bus;
using camsim::Clock;
using camsim::PhysDevice;
using camsim::TransferRec;

namespace {

camsim::TransferRec *find_rec(camsim::Bus &b, libusb_transfer *t) {
    auto it = b.transfers.find(t);
    return it == b.transfers.end() ? nullptr : it->second;
}

// Undoes the in-flight bookkeeping of a transfer that could not be queued.
int refuse(camsim::Bus &b, TransferRec *rec, int rc) {
    rec->state = TransferRec::State::Idle;
    --b.counters.inflight_transfers;
    --rec->handle->inflight;
    rec->handle = nullptr;
    return rc;
}

int submit_control(camsim::Bus &b, TransferRec *rec, PhysDevice &p, Clock::time_point now) {
    libusb_transfer *t = rec->t;
    if (t->length < static_cast<int>(camsim::kSetupBytes) || !t->buffer)
        return refuse(b, rec, LIBUSB_ERROR_INVALID_PARAM);
    camsim::ControlRequest req;
    req.request_type = t->buffer[0];
    req.request = t->buffer[1];
    req.value = camsim::wire::get_u16(t->buffer + 2);
    req.index = camsim::wire::get_u16(t->buffer + 4);
    req.length = camsim::wire::get_u16(t->buffer + 6);
    if (t->length < static_cast<int>(camsim::kSetupBytes + req.length))
        return refuse(b, rec, LIBUSB_ERROR_INVALID_PARAM);
    ++b.counters.control_transfers;
    auto &faults = p.cam->usb_faults;
    if (faults.hang_control > 0) {
        --faults.hang_control;
        p.held_ctrl.push_back(rec);
        return LIBUSB_SUCCESS;
    }
    const bool in = (req.request_type & LIBUSB_ENDPOINT_IN) != 0;
    if (!in) req.data = std::span<const uint8_t>(t->buffer + camsim::kSetupBytes, req.length);
    camsim::ControlResponse resp = p.cam->control(req, now);
    if (resp.stall) {
        b.complete(rec, LIBUSB_TRANSFER_STALL, 0);
    } else if (in) {
        const size_t n = std::min<size_t>(resp.data.size(), req.length);
        std::memcpy(t->buffer + camsim::kSetupBytes, resp.data.data(), n);
        b.complete(rec, LIBUSB_TRANSFER_COMPLETED, static_cast<int>(n));
    } else {
        b.complete(rec, LIBUSB_TRANSFER_COMPLETED, req.length);
    }
    return LIBUSB_SUCCESS;
}

int submit_bulk(camsim::Bus &b, TransferRec *rec, PhysDevice &p) {
    libusb_transfer *t = rec->t;
    if (t->length < 0 || (t->length > 0 && !t->buffer))
        return refuse(b, rec, LIBUSB_ERROR_INVALID_PARAM);
    if (t->endpoint != camsim::kEpBulkIn && t->endpoint != camsim::kEpBulkOut)
        return refuse(b, rec, LIBUSB_ERROR_NOT_FOUND);
    if (!(rec->handle->claimed & (1u << camsim::kStreamInterface))) {
        b.misuse("bulk transfer on endpoint 0x%02x without claiming interface %d", t->endpoint,
                 camsim::kStreamInterface);
        return refuse(b, rec, LIBUSB_ERROR_NOT_FOUND);
    }
    if (t->endpoint == camsim::kEpBulkIn) {
        p.in_queue.push_back(rec);
        return LIBUSB_SUCCESS;
    }
    auto &faults = p.cam->usb_faults;
    if (faults.stall_out > 0) {
        --faults.stall_out;
        b.complete(rec, LIBUSB_TRANSFER_STALL, 0);
        return LIBUSB_SUCCESS;
    }
    p.cam->data.bulk_out(std::span<const uint8_t>(t->buffer, static_cast<size_t>(t->length)));
    p.cam->stats.bulk_out_bytes += static_cast<uint64_t>(t->length);
    b.complete(rec, LIBUSB_TRANSFER_COMPLETED, t->length);
    return LIBUSB_SUCCESS;
}

struct SyncState {
    int completed = 0;
};

void LIBUSB_CALL sync_done(libusb_transfer *t) {
    __atomic_store_n(&static_cast<SyncState *>(t->user_data)->completed, 1, __ATOMIC_RELEASE);
}

// Submits t and handles events on this thread until it completes.
int run_sync(libusb_transfer *t) {
    SyncState st;
    t->user_data = &st;
    t->callback = sync_done;
    int rc = libusb_submit_transfer(t);
    if (rc < 0) return rc;
    libusb_context *ctx = nullptr;
    {
        auto &b = bus();
        std::lock_guard lock(b.mu);
        ctx = t->dev_handle->dev->ctx;
    }
    while (!__atomic_load_n(&st.completed, __ATOMIC_ACQUIRE)) {
        rc = libusb_handle_events_completed(ctx, &st.completed);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED) {
            libusb_cancel_transfer(t);
            while (!__atomic_load_n(&st.completed, __ATOMIC_ACQUIRE))
                libusb_handle_events_completed(ctx, &st.completed);
            return rc;
        }
    }
    return 0;
}

int status_to_error(libusb_transfer_status s) {
    switch (s) {
        case LIBUSB_TRANSFER_COMPLETED:
            return 0;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            return LIBUSB_ERROR_IO;
    }
}

}  // namespace

CAMSIM_EXPORT struct libusb_transfer *libusb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    const size_t bytes = sizeof(libusb_transfer) +
                         sizeof(libusb_iso_packet_descriptor) * static_cast<size_t>(iso_packets);
    auto *t = static_cast<libusb_transfer *>(std::calloc(1, bytes));
    if (!t) return nullptr;
    t->num_iso_packets = iso_packets;
    auto *rec = new TransferRec;
    rec->t = t;
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.transfers[t] = rec;
    ++b.counters.live_transfers;
    return t;
}

CAMSIM_EXPORT int libusb_submit_transfer(struct libusb_transfer *t) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    const auto now = Clock::now();
    b.advance(now);
    TransferRec *rec = find_rec(b, t);
    if (!rec) {
        b.misuse("libusb_submit_transfer on a transfer that was not allocated (%p)",
                 static_cast<void *>(t));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (rec->state == TransferRec::State::InFlight || rec->state == TransferRec::State::Ready) {
        b.misuse("transfer %p submitted twice (endpoint 0x%02x)", static_cast<void *>(t),
                 t->endpoint);
        return LIBUSB_ERROR_BUSY;
    }
    if (rec->free_requested) {
        b.misuse("submitting transfer %p after freeing it", static_cast<void *>(t));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    libusb_device_handle *h = t->dev_handle;
    if (!h || !b.handles.count(h) || h->closed) {
        b.misuse("transfer %p submitted on a handle that is not open", static_cast<void *>(t));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (b.stale(h->dev)) return LIBUSB_ERROR_NO_DEVICE;
    PhysDevice &p = *h->dev->phys;
    if (!p.cam) return LIBUSB_ERROR_NOT_SUPPORTED;

    rec->state = TransferRec::State::InFlight;
    rec->handle = h;
    rec->ctx = h->dev->ctx;
    rec->ctx_exited = false;
    rec->phys = h->dev->phys;
    rec->starved = false;
    rec->timeout_armed = false;
    rec->deadline.reset();
    if (t->timeout > 0) rec->deadline = now + std::chrono::milliseconds(t->timeout);
    t->actual_length = 0;
    t->status = LIBUSB_TRANSFER_COMPLETED;
    ++h->inflight;
    ++b.counters.inflight_transfers;

    int rc;
    switch (t->type) {
        case LIBUSB_TRANSFER_TYPE_CONTROL:
            if ((t->endpoint & 0x7f) != camsim::kEpControl)
                return refuse(b, rec, LIBUSB_ERROR_INVALID_PARAM);
            rc = submit_control(b, rec, p, now);
            break;
        case LIBUSB_TRANSFER_TYPE_BULK:
            rc = submit_bulk(b, rec, p);
            break;
        case LIBUSB_TRANSFER_TYPE_BULK_STREAM:
            return refuse(b, rec, LIBUSB_ERROR_NOT_SUPPORTED);  // high speed: no streams
        default:
            return refuse(b, rec, LIBUSB_ERROR_NOT_FOUND);  // no such endpoints
    }
    if (rc == LIBUSB_SUCCESS) b.advance(now);
    return rc;
}

CAMSIM_EXPORT int libusb_cancel_transfer(struct libusb_transfer *t) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    TransferRec *rec = find_rec(b, t);
    if (!rec) {
        b.misuse("libusb_cancel_transfer on a transfer that was not allocated (%p)",
                 static_cast<void *>(t));
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    if (rec->state != TransferRec::State::InFlight) return LIBUSB_ERROR_NOT_FOUND;
    for (auto *q : {&rec->phys->in_queue, &rec->phys->held_ctrl}) {
        auto it = std::find(q->begin(), q->end(), rec);
        if (it != q->end()) {
            q->erase(it);
            b.complete(rec, LIBUSB_TRANSFER_CANCELLED, t->actual_length);
            return LIBUSB_SUCCESS;
        }
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

CAMSIM_EXPORT void libusb_free_transfer(struct libusb_transfer *t) {
    if (!t) return;
    auto &b = bus();
    std::lock_guard lock(b.mu);
    TransferRec *rec = find_rec(b, t);
    if (!rec) {
        b.misuse("libusb_free_transfer on a transfer that is not allocated (%p): freed twice?",
                 static_cast<void *>(t));
        return;
    }
    switch (rec->state) {
        case TransferRec::State::Idle:
            // libusb reads the transfer's handle to log the free: a handle
            // closed (and freed) before is a use after free there.
            if (t->dev_handle && !b.handles.count(t->dev_handle))
                b.misuse("transfer %p freed after its handle was closed", static_cast<void *>(t));
            // A submitted transfer holds its device until freed; libusb_exit
            // has freed the devices of its context.
            if (rec->ctx_exited)
                b.misuse("transfer %p freed after libusb_exit of its context",
                         static_cast<void *>(t));
            b.free_transfer_now(rec);
            return;
        case TransferRec::State::Delivering:  // freed by its own callback: fine
            rec->free_requested = true;
            return;
        case TransferRec::State::InFlight:
        case TransferRec::State::Ready:
            b.misuse("transfer %p freed while in flight (endpoint 0x%02x)", static_cast<void *>(t),
                     t->endpoint);
            rec->free_requested = true;
            if (rec->state == TransferRec::State::InFlight) {
                for (auto *q : {&rec->phys->in_queue, &rec->phys->held_ctrl}) {
                    auto it = std::find(q->begin(), q->end(), rec);
                    if (it != q->end()) {
                        q->erase(it);
                        b.complete(rec, LIBUSB_TRANSFER_CANCELLED, t->actual_length);
                        break;
                    }
                }
            }
            return;
    }
}

CAMSIM_EXPORT void libusb_transfer_set_stream_id(struct libusb_transfer *t, uint32_t stream_id) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    if (TransferRec *rec = find_rec(b, t)) rec->stream_id = stream_id;
}

CAMSIM_EXPORT uint32_t libusb_transfer_get_stream_id(struct libusb_transfer *t) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    TransferRec *rec = find_rec(b, t);
    return rec ? rec->stream_id : 0;
}

CAMSIM_EXPORT int libusb_control_transfer(libusb_device_handle *h, uint8_t request_type,
                                          uint8_t request, uint16_t value, uint16_t index,
                                          unsigned char *data, uint16_t length,
                                          unsigned int timeout) {
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) return LIBUSB_ERROR_NO_MEM;
    auto *buf = static_cast<unsigned char *>(std::malloc(camsim::kSetupBytes + length));
    if (!buf) {
        libusb_free_transfer(t);
        return LIBUSB_ERROR_NO_MEM;
    }
    libusb_fill_control_setup(buf, request_type, request, value, index, length);
    if (!(request_type & LIBUSB_ENDPOINT_IN) && length) std::memcpy(buf + 8, data, length);
    libusb_fill_control_transfer(t, h, buf, nullptr, nullptr, timeout);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    int rc = run_sync(t);
    if (rc == 0) {
        if ((request_type & LIBUSB_ENDPOINT_IN) && t->actual_length > 0)
            std::memcpy(data, buf + 8, static_cast<size_t>(t->actual_length));
        rc = t->status == LIBUSB_TRANSFER_COMPLETED ? t->actual_length : status_to_error(t->status);
    }
    libusb_free_transfer(t);
    return rc;
}

static int sync_bulk(libusb_device_handle *h, unsigned char endpoint, unsigned char *data,
                     int length, int *transferred, unsigned int timeout, unsigned char type) {
    libusb_transfer *t = libusb_alloc_transfer(0);
    if (!t) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_bulk_transfer(t, h, endpoint, data, length, nullptr, nullptr, timeout);
    t->type = type;
    int rc = run_sync(t);
    if (rc == 0) {
        if (transferred) *transferred = t->actual_length;
        rc = status_to_error(t->status);
    }
    libusb_free_transfer(t);
    return rc;
}

CAMSIM_EXPORT int libusb_bulk_transfer(libusb_device_handle *h, unsigned char endpoint,
                                       unsigned char *data, int length, int *transferred,
                                       unsigned int timeout) {
    return sync_bulk(h, endpoint, data, length, transferred, timeout, LIBUSB_TRANSFER_TYPE_BULK);
}

CAMSIM_EXPORT int libusb_interrupt_transfer(libusb_device_handle *h, unsigned char endpoint,
                                            unsigned char *data, int length, int *transferred,
                                            unsigned int timeout) {
    return sync_bulk(h, endpoint, data, length, transferred, timeout,
                     LIBUSB_TRANSFER_TYPE_INTERRUPT);
}

CAMSIM_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle *h, uint8_t index,
                                                     unsigned char *data, int length) {
    if (index == 0) return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char buf[255];
    int rc = libusb_control_transfer(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                     static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | index), 0x0409,
                                     buf, sizeof buf, 1000);
    if (rc < 0) return rc;
    if (rc < 2 || buf[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
    int n = 0;
    for (int i = 2; i + 1 < rc && i < buf[0] && n < length - 1; i += 2)
        data[n++] = buf[i + 1] ? '?' : buf[i];
    if (length > 0) data[n] = 0;
    return n;
}
