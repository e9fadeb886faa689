// The synchronous wait shared by every command and by the bulk data send.
#include "ll/usb_sync.h"

#include <algorithm>
#include <cstdlib>

#include "core/log_internal.h"

namespace kavri::ll {
namespace {

// Completion handler of every synchronous transfer; runs on the event
// thread (or on the closing thread while close drains the device).
void LIBUSB_CALL _usb_ll_on_cmd_finish(libusb_transfer *transfer) {
    KV_TRC("[%s] tx actual_len = %d, status  = %d\n", "_usb_ll_on_cmd_finish",
           transfer->actual_length, static_cast<int>(transfer->status));
    auto *job = static_cast<SyncTransfer *>(transfer->user_data);
    {
        std::lock_guard lock(job->mutex);
        job->completed = true;
        if (!job->abandoned) {
            // The waiter owns the job; it may free it as soon as we unlock.
            job->done.notify_one();
            return;
        }
    }
    // Nobody waits any more: the cancelled transfer is ours to free.
    usb_ll_dev_priv_t *dev = job->dev;
    {
        std::lock_guard lock(dev->io_mutex);
        auto &orphans = dev->orphans;
        orphans.erase(std::remove(orphans.begin(), orphans.end(), job), orphans.end());
        dev->io_idle.notify_all();
    }
    delete job;
}

}  // namespace

int32_t usb_ll_map_status(const libusb_transfer &transfer) {
    switch (transfer.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return transfer.actual_length;
        case LIBUSB_TRANSFER_ERROR:
            return LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_CANCELLED:
            return LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            KV_WRN("[%s] unrecognised status code %d", "usb_ll_exe_cmd",
                   static_cast<int>(transfer.status));
            return LIBUSB_ERROR_OTHER;
    }
}

std::unique_ptr<SyncTransfer> usb_ll_sync_alloc(size_t size, const char *tag) {
    auto job = std::make_unique<SyncTransfer>();
    job->transfer = libusb_alloc_transfer(0);
    // libusb frees the buffer with free() (LIBUSB_TRANSFER_FREE_BUFFER).
    auto *buffer = static_cast<unsigned char *>(std::calloc(std::max<size_t>(size, 1), 1));
    if (job->transfer == nullptr || buffer == nullptr) {
        std::free(buffer);
        KV_ERR("[%s] no memory\n", tag);
        return nullptr;
    }
    job->transfer->buffer = buffer;
    job->transfer->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    return job;
}

namespace {

// Registers a waiting caller's transfer, unless the device is being closed.
bool enlist(usb_ll_dev_priv_t &st, SyncTransfer *job) {
    std::lock_guard lock(st.io_mutex);
    if (st.interrupted.load()) return false;
    st.active.push_back(job);
    return true;
}

// Takes the caller's transfer off the list; once abandoned, it becomes an
// orphan that close waits for.
void delist(usb_ll_dev_priv_t &st, SyncTransfer *job, bool orphan) {
    std::lock_guard lock(st.io_mutex);
    auto &active = st.active;
    active.erase(std::remove(active.begin(), active.end(), job), active.end());
    if (orphan) st.orphans.push_back(job);
}

// Takes back an orphan that completed before it was abandoned.
void adopt(usb_ll_dev_priv_t &st, SyncTransfer *job) {
    std::lock_guard lock(st.io_mutex);
    auto &orphans = st.orphans;
    orphans.erase(std::remove(orphans.begin(), orphans.end(), job), orphans.end());
}

}  // namespace

void usb_ll_interrupt(kavri_ll_t *ll, bool on) {
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr) return;
    std::lock_guard lock(st->io_mutex);
    st->interrupted.store(on);
    if (!on) return;
    // Each waiter sees the flag and cancels its own transfer: the transfer
    // belongs to the waiter, which may free it as soon as it completes.
    for (SyncTransfer *job : st->active) {
        std::lock_guard job_lock(job->mutex);
        job->interrupted = true;
        job->done.notify_all();
    }
}

int32_t usb_ll_sync_run(usb_ll_dev_priv_t &st, std::unique_ptr<SyncTransfer> job,
                        const WaitLimits &limits, SyncKind kind, const char *tag,
                        const std::function<void(const libusb_transfer &)> &on_complete) {
    libusb_transfer *transfer = job->transfer;
    job->dev = &st;
    transfer->user_data = job.get();
    transfer->callback = _usb_ll_on_cmd_finish;

    if (!enlist(st, job.get())) {
        KV_DBG("[%s] device is closing: transfer not sent\n", tag);
        return LIBUSB_ERROR_INTERRUPTED;
    }
    const int submitted = libusb_submit_transfer(transfer);
    if (submitted < 0) {
        delist(st, job.get(), false);
        if (submitted == LIBUSB_ERROR_NO_DEVICE) st.gone.store(true);
        if (kind == SyncKind::data_send)
            KV_ERR("[%s] trans[%d] issue failed\n", tag, 0);
        else
            KV_ERR("[%s] libusb_submit_transfer failed\n", tag);
        return submitted;
    }
    if (kind == SyncKind::data_send)
        KV_TRC("[%s] trans[%d] issue: txlen=%d\n", tag, 0, transfer->length);

    const auto start = std::chrono::steady_clock::now();
    const auto is_done = [&job] { return job->completed; };
    const auto done_or_interrupted = [&job] { return job->completed || job->interrupted; };
    bool host_cancelled = false;
    std::unique_lock lock(job->mutex);
    if (!job->done.wait_until(lock, start + limits.cancel_after, done_or_interrupted) ||
        !job->completed) {
        if (job->interrupted)
            KV_DBG("[%s] device is closing: transfer cancelled\n", tag);
        else
            KV_WRN("[%s] contrl trans timeout , cancel it\n", tag);
        host_cancelled = true;
        // Unlocked: a cancellation may complete the transfer at once.
        lock.unlock();
        libusb_cancel_transfer(transfer);
        lock.lock();
        if (!job->done.wait_until(lock, start + limits.give_up_after, is_done)) {
            // libusb still owns the transfer: hand the job to its completion
            // handler, and let close wait for it. It is an orphan before it is
            // abandoned, so the handler always finds it on the list it frees
            // it from; io_mutex is never taken under the job's lock here.
            lock.unlock();
            delist(st, job.get(), true);
            lock.lock();
            if (!job->completed) {
                KV_ERR("[%s] control transfer timeout !\n", tag);
                job->abandoned = true;
                lock.unlock();
                (void)job.release();
                return LIBUSB_ERROR_TIMEOUT;
            }
            // It completed meanwhile: it is ours again.
            lock.unlock();
            adopt(st, job.get());
            lock.lock();
        }
    }
    lock.unlock();
    delist(st, job.get(), false);

    on_complete(*transfer);
    if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) st.gone.store(true);
    if (host_cancelled && transfer->status == LIBUSB_TRANSFER_CANCELLED)
        return job->interrupted ? LIBUSB_ERROR_INTERRUPTED : LIBUSB_ERROR_TIMEOUT;
    return usb_ll_map_status(*transfer);
}

}  // namespace kavri::ll
