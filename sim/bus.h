// The simulated USB bus behind the libusb entry points: the physical devices
// (cameras and a few bystanders), the libusb objects handed to the program
// (contexts, devices, handles, transfers), the endpoint queues and the
// delivery of completions. One lock guards everything; completion callbacks
// run with it released, inside libusb_handle_events* on the calling thread.
//
// Time is lazy: whenever a libusb or camsim call enters, the bus first
// advances every camera to "now" (frames due, transfers timed out, resets
// leaving or returning). A thread waiting in libusb_handle_events* sleeps
// until the next such moment or until another thread queues a completion.
#pragma once

#include <libusb-1.0/libusb.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "camera.h"
#include "front_end.h"

namespace camsim {

struct TransferRec;

// Endpoints of the camera.
constexpr uint8_t kEpControl = 0x00;
constexpr uint8_t kEpBulkIn = 0x81;
constexpr uint8_t kEpBulkOut = 0x01;
constexpr int kStreamInterface = 0;
constexpr int kInterfaceCount = 1;
constexpr uint8_t kConfigValue = 1;
constexpr size_t kSetupBytes = 8;

// Something plugged into a bus position.
struct PhysDevice {
    uint16_t vid = 0, pid = 0;
    uint8_t bus = 1, port = 0, address = 0, speed = LIBUSB_SPEED_HIGH;
    bool attached = false;
    uint32_t generation = 0;      // bumped at every attach: older libusb_device objects are stale
    uint64_t attach_seq = 0;      // when it last arrived on the bus (listing order)
    std::shared_ptr<Camera> cam;  // null for bystanders
    std::optional<Clock::time_point> attach_at;
    bool attach_keep_state = true;
    std::optional<BusLeave> leave;
    std::deque<TransferRec *> in_queue;   // bulk IN transfers waiting for stream bytes
    std::deque<TransferRec *> held_ctrl;  // control transfers the camera never answers
    bool in_halted = false;
    libusb_device_handle *iface_owner[kInterfaceCount] = {};
};

struct TransferRec {
    enum class State { Idle, InFlight, Ready, Delivering };
    libusb_transfer *t = nullptr;
    State state = State::Idle;
    uint32_t stream_id = 0;
    bool free_requested = false;
    std::optional<Clock::time_point> deadline;
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
    std::shared_ptr<PhysDevice> phys;
    // time-out fault on this transfer
    bool timeout_armed = false;
    bool starved = false;  // waits for its own deadline with its partial data
    int timeout_limit = 0;
    bool ctx_exited = false;  // submitted on a context that libusb_exit has freed since
};

}  // namespace camsim

namespace camsim {
// A hotplug callback registered on a context.
struct HotplugCallback {
    libusb_hotplug_callback_handle handle = 0;
    int events = 0;
    int vendor = LIBUSB_HOTPLUG_MATCH_ANY, product = LIBUSB_HOTPLUG_MATCH_ANY,
        dev_class = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void *user = nullptr;
};
// An arrival or removal waiting for the context's event handling; holds a
// reference on the device it names.
struct HotplugEvent {
    libusb_device *dev = nullptr;
    libusb_hotplug_event event = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
};
}  // namespace camsim

struct libusb_context {
    bool is_default = false;
    int init_count = 1;
    int log_level = 0;
    std::deque<camsim::TransferRec *> ready;
    bool delivering = false;
    std::vector<libusb_device *> devices;  // alive devices of this context
    std::vector<camsim::HotplugCallback> hotplug;
    std::deque<camsim::HotplugEvent> hotplug_ready;
};

struct libusb_device {
    libusb_context *ctx = nullptr;
    int refs = 1;
    std::shared_ptr<camsim::PhysDevice> phys;
    uint32_t generation = 0;
    uint8_t bus = 0, port = 0, address = 0, speed = 0;
    uint16_t vid = 0, pid = 0;
};

struct libusb_device_handle {
    libusb_device *dev = nullptr;
    uint32_t claimed = 0;  // bit per interface
    bool auto_detach = false;
    bool closed = false;
    int inflight = 0;
};

namespace camsim {

struct Bus {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::shared_ptr<PhysDevice>> devices;  // list order
    std::vector<std::shared_ptr<PhysDevice>> cameras;  // by camera id
    std::unordered_map<libusb_transfer *, TransferRec *> transfers;
    std::unordered_set<libusb_context *> contexts;
    std::unordered_set<libusb_device_handle *> handles;
    libusb_context *default_ctx = nullptr;
    uint8_t next_address[256] = {};
    uint64_t attach_count = 0;
    bool started = false;
    camsim_counters_t counters{};
    std::string last_misuse;

    // All below: called with mu held.
    void ensure_started();
    void advance(Clock::time_point now);
    std::optional<Clock::time_point> next_wakeup() const;
    void complete(TransferRec *rec, libusb_transfer_status status, int actual);
    void pour(PhysDevice &p, Clock::time_point now);
    void detach(PhysDevice &p);
    void attach(PhysDevice &p, bool keep_state);
    int plug(const camsim_camera_config_t &cfg);
    void misuse(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    bool stale(const libusb_device *dev) const;
    // Another device is on the bus (or returning to it) at bus and port.
    bool position_taken(const PhysDevice &p, uint8_t bus_no, uint8_t port) const;
    libusb_context *resolve(libusb_context *ctx);
    void free_transfer_now(TransferRec *rec);
    void release_handle_if_done(libusb_device_handle *h);
    void reset_all();
    // Queues an arrival or removal of p for every context with hotplug callbacks.
    void queue_hotplug(PhysDevice &p, libusb_hotplug_event event);
};

// A context's device object for p (a new reference), and its release.
// Called with the lock held.
libusb_device *device_for(Bus &b, libusb_context *ctx, const std::shared_ptr<PhysDevice> &p);
void unref_locked(Bus &b, libusb_device *d);
// The device class libusb's hotplug filter compares (bDeviceClass).
int device_class_of(const libusb_device *dev);

Bus &bus();

// Reads a flag another thread may write without taking our lock (as libusb
// itself does); kept out of ThreadSanitizer's view like an uninstrumented
// libusb would be.
int read_completed_flag(const int *completed);

}  // namespace camsim
