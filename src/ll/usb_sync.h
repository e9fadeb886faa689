// Synchronous transfers: the caller submits an asynchronous libusb transfer
// and waits while the device's event thread completes it.
#pragma once

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "ll/usb_ll.h"

namespace kavri::ll {

// A transfer together with its completion flag. While libusb owns the
// transfer (submitted and not yet completed), the transfer, its buffer and
// this record stay alive: a caller that gives up leaves them to the
// completion handler, which frees them once the cancellation is delivered.
struct SyncTransfer {
    SyncTransfer() = default;
    SyncTransfer(const SyncTransfer &) = delete;
    SyncTransfer &operator=(const SyncTransfer &) = delete;
    ~SyncTransfer() {
        if (transfer != nullptr) libusb_free_transfer(transfer);
    }

    libusb_transfer *transfer = nullptr;  // frees its buffer with it
    usb_ll_dev_priv_t *dev = nullptr;
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;    // set on the event thread
    bool abandoned = false;    // the caller stopped waiting; the handler frees
    bool interrupted = false;  // the device is closing: stop waiting early
};

// Host-side limits of one wait: cancel after the first, give up after the second.
struct WaitLimits {
    std::chrono::milliseconds cancel_after;
    std::chrono::milliseconds give_up_after;
};

// Command transfers: cancelled after 1000 ms, failed after 2000 ms.
inline constexpr WaitLimits kCommandLimits{std::chrono::milliseconds(1000),
                                           std::chrono::milliseconds(2000)};

// A transfer's outcome as a libusb result: the actual length, or a
// negative error code.
int32_t usb_ll_map_status(const libusb_transfer &transfer);

// Allocates a transfer with a zero-filled buffer of `size` bytes that is freed
// with the transfer; logs "no memory" (under `tag`) and returns null on failure.
std::unique_ptr<SyncTransfer> usb_ll_sync_alloc(size_t size, const char *tag);

// What a synchronous transfer is, for its log lines.
enum class SyncKind { command, data_send };

// Submits job->transfer (fully set up except callback and user data) and
// waits within `limits`. `on_complete` runs on the caller's thread once the
// transfer has completed (never after a give-up). Returns the mapped result,
// LIBUSB_ERROR_TIMEOUT when the host cancelled it, or the submission error.
int32_t usb_ll_sync_run(usb_ll_dev_priv_t &st, std::unique_ptr<SyncTransfer> job,
                        const WaitLimits &limits, SyncKind kind, const char *tag,
                        const std::function<void(const libusb_transfer &)> &on_complete);

}  // namespace kavri::ll
