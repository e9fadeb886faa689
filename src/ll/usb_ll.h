// The USB transport's per-device state and its operations (the slots of
// ll_op_usb). Everything here runs on libusb; nothing knows what sits on the
// other side of it.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kavri/types.h"

namespace kavri::ll {

// ---- wire and timing constants ----------------------------------------------
inline constexpr int kRingSize = 16;                    // streaming transfers per device
inline constexpr uint32_t kRingBufferSize = 153600;     // bytes per streaming transfer
inline constexpr unsigned char kStreamEndpoint = 0x81;  // bulk IN: the frame stream
inline constexpr unsigned char kDataEndpoint = 0x01;    // bulk OUT: data images
inline constexpr unsigned kBulkTimeoutMs = 6000;
inline constexpr int kEventWaitMs = 200;
inline constexpr int kConfiguration = 1;

// ---- RAII for libusb objects ------------------------------------------------------
struct ContextDeleter {
    void operator()(libusb_context *ctx) const { libusb_exit(ctx); }
};
struct HandleDeleter {
    void operator()(libusb_device_handle *handle) const { libusb_close(handle); }
};
struct TransferDeleter {
    void operator()(libusb_transfer *transfer) const { libusb_free_transfer(transfer); }
};
struct DeviceListDeleter {
    void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};
using ContextPtr = std::unique_ptr<libusb_context, ContextDeleter>;
using HandlePtr = std::unique_ptr<libusb_device_handle, HandleDeleter>;
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;
using DeviceListPtr = std::unique_ptr<libusb_device *, DeviceListDeleter>;

struct SyncTransfer;  // a synchronous command in flight (usb_sync.h)

// One open device's transport state (the `state` of kavri_ll_t).
struct usb_ll_dev_priv_t {
    ContextPtr ctx;  // declared first: destroyed last, after every transfer is freed
    HandlePtr handle;
    std::array<TransferPtr, kRingSize> transfers;
    std::array<std::unique_ptr<uint8_t[]>, kRingSize> buffers;  // not zeroed
    std::atomic<uint8_t> stop{0};  // completed stream transfers are not resubmitted
    std::atomic<kavri_ll_cap_cb_t> cap_cb{nullptr};
    std::atomic<void *> cap_cb_arg{nullptr};
    std::thread evt_thread;
    int evt_exit = 0;  // libusb's completion flag for the event wait; use evt_exit_ref()
    std::atomic<uint8_t> evt_running{0};
    std::atomic<std::thread::id> evt_thread_id{};  // set by the event thread itself

    // Transfers owned by libusb: the stream ring's and the commands abandoned
    // after their host-side limit. Close waits for both to drain. Inside the
    // transport io_mutex comes before a synchronous transfer's own mutex;
    // both sit below every lock of the camera layer.
    std::mutex io_mutex;
    std::condition_variable io_idle;
    std::array<bool, kRingSize> ring_in_flight{};   // guarded by io_mutex
    std::array<int, kRingSize> ring_last_status{};  // guarded by io_mutex
    int ring_in_flight_count = 0;                   // guarded by io_mutex
    std::vector<SyncTransfer *> orphans;            // guarded by io_mutex
    // Synchronous transfers a caller is waiting for, so that an interrupt can
    // cancel them. Guarded by io_mutex.
    std::vector<SyncTransfer *> active;
    // Set while the device is being closed: commands in flight are cancelled
    // and new ones fail at once, so no caller stays inside the transport.
    // Written under io_mutex.
    std::atomic<bool> interrupted{false};
    // Set when a transfer or a command ended with "no device" (the camera
    // left the bus); cleared when the handle is opened again. Lets the camera
    // layer tell a camera that went from other transfer errors.
    std::atomic<bool> gone{false};

    std::atomic_ref<int> evt_exit_ref() { return std::atomic_ref<int>(evt_exit); }
    // Calls that wait for completions cannot run on the thread that delivers them.
    bool on_event_thread() const { return std::this_thread::get_id() == evt_thread_id.load(); }
    int outstanding_locked() const {
        return ring_in_flight_count + static_cast<int>(orphans.size());
    }
};

inline usb_ll_dev_priv_t *usb_state(const kavri_ll_t *ll) {
    return ll != nullptr ? static_cast<usb_ll_dev_priv_t *>(ll->state) : nullptr;
}

// The USB transport's table: ll_op_usb itself (the same object), for the
// library's own references.
extern const kavri_ll_op_t usb_ops;
// The address a record's ops carries: the process's ll_op_usb, which is an
// executable's copy when the executable refers to the table through a copy
// relocation. Records compare equal to &ll_op_usb in the application.
const kavri_ll_op_t *usb_record_ops();

// ---- table slots ------------------------------------------------------------------
uint8_t usb_ll_init();
void usb_ll_uninit();
void usb_ll_set_debug(uint32_t level);
int usb_ll_debug_level();  // the libusb level applied to new contexts

uint32_t usb_ll_dev_list(kavri_ll_t *list, uint32_t max);
kavri_ll_t *usb_ll_dev_open(kavri_ll_t *ll);
kavri_ll_t *usb_ll_dev_open_by_fd(kavri_ll_t *ll);
void usb_ll_dev_close(kavri_ll_t *ll);

uint8_t usb_ll_exe_cmd(kavri_ll_t *ll, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms);
// The status poll of the last command: repeats while the camera answers busy,
// for at most the larger of 3000 ms and the command's own time-out (a flash
// erase or a firmware image keeps a camera busy for tens of seconds).
uint8_t usb_ll_check_last_cmd(kavri_ll_t *ll, uint8_t type, uint8_t value,
                              uint32_t op_timeout_ms = 0);
int32_t usb_ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len);
uint8_t usb_ll_dev_reset(kavri_ll_t *ll, uint8_t target);
uint8_t usb_ll_reg_write(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                         uint16_t count);
uint8_t usb_ll_reg_read(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                        uint16_t count);
uint8_t usb_ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
uint8_t usb_ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);

uint8_t usb_ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg);
uint8_t usb_ll_cap_stop(kavri_ll_t *ll);
void usb_ll_cap_abort(kavri_ll_t *ll);

// Interrupt on: cancels every synchronous transfer a caller waits for and
// fails every new one at once (LIBUSB_ERROR_INTERRUPTED) until interrupt off.
// Safe from any thread but the event thread, while other threads are inside
// commands on the same record.
void usb_ll_interrupt(kavri_ll_t *ll, bool on);

// Closes the handle and opens the record's camera again at `at` (bus, port,
// address, speed; any position), keeping the state record. Not on the event
// thread; the caller holds the device's command lock.
bool usb_ll_dev_reopen_at(kavri_ll_t *ll, const kavri_usb_info_t &at);

// ---- internal steps -----------------------------------------------------------------
// Closes the handle, the event thread and the context but keeps the state
// record (a reset reopens into it). Not on the event thread.
void usb_ll_close_handle(kavri_ll_t *ll);
void _usb_ll_evt_thread(kavri_ll_t *ll);
void LIBUSB_CALL on_usb_trans_event(libusb_transfer *transfer);
// Stops the ring for good before close: sets stop and cancels every stream
// transfer in flight, without log lines. Returns how many were cancelled.
int usb_ll_ring_cancel(usb_ll_dev_priv_t &st, const char *tag);

}  // namespace kavri::ll
