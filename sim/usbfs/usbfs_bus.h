// The usbfs front end of the camera model: each simulated camera is a device
// of an umockdev testbed (sysfs attributes, descriptors, a device node), and
// the ioctls the real libusb sends to the node (claim, submit, reap,
// discard, clear-halt, reset) are answered from the camera model.
//
// Threads. umockdev runs the ioctl handler on its one worker thread; URB
// memory (the handler's copies of the client's usbdevfs_urb and buffer) is
// touched on that thread only. Tests call the control interface from their
// own threads, and a clock thread of ours wakes libusb when a frame falls
// due. Locks: `testbed_mu` (testbed changes: devices added and removed)
// comes before `mu` (everything else below); neither is held while umockdev
// or libusb runs a callback of ours, and the handler takes `mu` only.
//
// Waking libusb. umockdev's device node is a plain file, which always polls
// ready: libusb's event loop would spin. Each node is a FIFO instead, which
// we keep full (never writable for the host) and drain one slot of when a
// URB can be reaped (writable). A FIFO cannot report an error, so at unplug
// the host's descriptors of the node are replaced by a pipe without reader,
// which polls POLLERR and lets libusb run its own disconnect handling.
#pragma once

#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "camera.h"

namespace camsim::usbfs {

// One submitted URB.
struct Urb {
    UMockdevIoctlData *data = nullptr;    // the client's usbdevfs_urb (our reference)
    UMockdevIoctlData *buffer = nullptr;  // its buffer (null when empty)
    UMockdevIoctlClient *client = nullptr;
    uint8_t type = 0, endpoint = 0;
    unsigned flags = 0;
    int length = 0;
    int actual = 0;
    int status = 0;
    bool timeout_armed = false;  // a time-out fault: filled to its limit, then left to time out
    int timeout_limit = 0;
    uint64_t transfer = 0;  // the libusb transfer it belongs to (split transfers share one)

    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
    uint8_t *bytes() const { return buffer ? static_cast<uint8_t *>(buffer->data) : nullptr; }
};

// A camera's place on the bus.
struct Node {
    std::shared_ptr<Camera> cam;
    uint8_t bus = 1, port = 0, address = 0, speed = 3;
    bool attached = false;
    uint32_t generation = 0;
    std::string syspath;  // the testbed's sysfs path while attached
    std::string devnode;  // "/dev/bus/usb/BBB/DDD"
    std::string fifo;     // the node's file in the testbed
    int fifo_fd = -1;     // our end of the FIFO
    bool signalled = false;
    std::optional<Clock::time_point> attach_at;
    bool attach_keep_state = true;
    std::optional<BusLeave> leave;
    std::deque<Urb *> in_queue;   // bulk IN URBs waiting for stream bytes
    std::deque<Urb *> held_ctrl;  // control URBs the camera never answers
    std::deque<Urb *> done;       // completed, waiting to be reaped
    bool in_halted = false;
    bool in_cancelling = false;  // rest of a split transfer after an early end
    std::map<UMockdevIoctlClient *, uint32_t> claims;  // bit per interface
    std::map<UMockdevIoctlClient *, uint64_t> last_in_transfer;
    std::vector<uint8_t> out_pending;  // bulk OUT bytes of a transfer not yet ended
};

struct Bus {
    std::mutex testbed_mu;       // first in the lock order: testbed changes
    std::mutex mu;               // second: nodes, URBs, counters
    std::condition_variable cv;  // the clock thread's wake-up (with mu)
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::vector<std::shared_ptr<Node>> cameras;               // by camera id
    std::map<std::string, std::shared_ptr<Node>> by_devnode;  // every devnode ever handed out
    std::set<std::string> handled;  // devnodes the handler is attached to (testbed_mu)
    std::map<UMockdevIoctlClient *, bool> clients;  // seen, and whether still connected
    std::vector<Urb *> orphans;  // URBs of closed clients, freed on the handler thread
    uint8_t next_address[256] = {};
    uint64_t next_transfer = 1;
    camsim_counters_t counters{};
    std::string last_misuse;
    std::thread clock;
    bool stop = false;

    // All below: mu held.
    void misuse(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    void finish(Node &n, Urb *u, int status);  // to the reapable list, signalled
    void signal(Node &n);
    void unsignal(Node &n);
    void fail_inflight(Node &n, int status);
    void pour(Node &n, Clock::time_point now);  // handler thread only
    void prune_clients();
    std::optional<Clock::time_point> next_wakeup(Clock::time_point now);
    // Leaves and returns due at now (resets, the unplug fault): fills the
    // lists of nodes to detach and to attach, which the caller performs
    // with mu released and testbed_mu held.
    void due_moves(Clock::time_point now, std::vector<std::shared_ptr<Node>> &leave,
                   std::vector<std::shared_ptr<Node>> &come);
};

Bus &bus();

// Bystanders on bus 1 (a root hub and a mouse), so that listings hold more
// than cameras; the mouse keeps its address.
constexpr uint8_t kBystanderBus = 1, kMouseAddress = 2;

// Testbed changes: testbed_mu held, mu not held.
void attach(Bus &b, const std::shared_ptr<Node> &n, bool keep_state);
void detach(Bus &b, const std::shared_ptr<Node> &n);
// Performs the leaves and returns due now (testbed_mu and mu not held).
void run_due_moves(Bus &b);

// The ioctl handler (usbfs_ioctl.cpp).
gboolean handle_ioctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client, gpointer data);

}  // namespace camsim::usbfs
