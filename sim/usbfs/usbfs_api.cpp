// The control interface of camsim.h that concerns the usbfs front end's bus:
// plugging, unplugging, positions and counters.
#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "env_config.h"
#include "front_end.h"
#include "src/ll/usb_ids.h"
#include "usbfs_bus.h"

using camsim::Clock;
using camsim::usbfs::Bus;
using camsim::usbfs::bus;
using camsim::usbfs::Node;

namespace {

constexpr uint8_t kHighSpeed = 3;
constexpr auto kCloseSettle = std::chrono::milliseconds(300);

std::shared_ptr<Node> node_of(Bus &b, int cam) {
    std::lock_guard lock(b.mu);
    if (cam < 0 || cam >= static_cast<int>(b.cameras.size())) return nullptr;
    return b.cameras[static_cast<size_t>(cam)];
}

// Unplugs and forgets every camera (testbed_mu held).
void clear_locked(Bus &b) {
    std::vector<std::shared_ptr<Node>> all;
    {
        std::lock_guard lock(b.mu);
        all = b.cameras;
    }
    for (auto &n : all) camsim::usbfs::detach(b, n);
    std::lock_guard lock(b.mu);
    b.cameras.clear();
    for (auto &a : b.next_address) a = 0;
    b.next_address[camsim::usbfs::kBystanderBus] = camsim::usbfs::kMouseAddress + 1;
    b.counters.misuse = 0;
    b.counters.control_transfers = b.counters.bulk_in_transfers = b.counters.bulk_out_transfers = 0;
    b.counters.callbacks = 0;
    b.last_misuse.clear();
}

// As plug sees a position: taken by another camera on the bus or returning to it.
bool position_taken_locked(const Bus &b, const Node &n, uint8_t bus_no, uint8_t port) {
    return std::any_of(b.cameras.begin(), b.cameras.end(), [&](const auto &c) {
        return c.get() != &n && c->bus == bus_no && c->port == port &&
               (c->attached || c->attach_at);
    });
}

int plug_locked(Bus &b, const camsim_camera_config_t &cfg_in) {
    camsim_camera_config_t cfg = cfg_in;
    if (cfg.bus == 0) cfg.bus = 1;
    if (cfg.width == 0 || cfg.height == 0) return CAMSIM_EINVAL;
    auto n = std::make_shared<Node>();
    int id = 0;
    {
        std::lock_guard lock(b.mu);
        auto used = [&](uint8_t port) {
            return std::any_of(b.cameras.begin(), b.cameras.end(), [&](auto &c) {
                return c->bus == cfg.bus && c->port == port && (c->attached || c->attach_at);
            });
        };
        if (cfg.port == 0) {
            for (uint8_t port = 1; port < 255 && cfg.port == 0; ++port)
                if (!used(port)) cfg.port = port;
        } else if (used(cfg.port)) {
            return CAMSIM_EBUSY;
        }
        if (cfg.port == 0) return CAMSIM_EBUSY;
        id = static_cast<int>(b.cameras.size());
        try {
            n->cam = std::make_shared<camsim::Camera>(id, cfg);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "camsim-usbfs: camera refused: %s\n", e.what());
            return CAMSIM_EINVAL;
        }
        n->bus = cfg.bus;
        n->port = cfg.port;
        n->speed = cfg.speed ? cfg.speed : kHighSpeed;
        b.cameras.push_back(n);
    }
    camsim::usbfs::attach(b, n, true);
    return id;
}

}  // namespace

int camsim::front::with_camera(int cam, const std::function<int(Camera &)> &f) {
    auto &b = bus();
    camsim::usbfs::run_due_moves(b);
    std::lock_guard lock(b.mu);
    if (cam < 0 || cam >= static_cast<int>(b.cameras.size())) return CAMSIM_ENOCAM;
    return f(*b.cameras[static_cast<size_t>(cam)]->cam);
}

void camsim::front::changed() {
    auto &b = bus();
    camsim::usbfs::run_due_moves(b);
    std::lock_guard lock(b.mu);
    b.cv.notify_all();
}

CAMSIM_EXPORT void camsim_reset(void) {
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    clear_locked(b);
    const int n = camsim::env_camera_count();
    for (int i = 0; i < n; ++i) {
        camsim_camera_config_t cfg;
        camsim::default_config(cfg);
        plug_locked(b, cfg);
    }
}

CAMSIM_EXPORT void camsim_clear(void) {
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    clear_locked(b);
}

CAMSIM_EXPORT int camsim_plug(const camsim_camera_config_t *cfg) {
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    camsim_camera_config_t c;
    if (cfg)
        c = *cfg;
    else
        camsim::default_config(c);
    return plug_locked(b, c);
}

CAMSIM_EXPORT int camsim_unplug(int cam) {
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    auto n = node_of(b, cam);
    if (!n) return CAMSIM_ENOCAM;
    {
        std::lock_guard lock(b.mu);
        if (!n->attached && !n->attach_at) return CAMSIM_EUNPLUG;
        n->attach_at.reset();  // a reset in progress does not bring it back
    }
    camsim::usbfs::detach(b, n);
    return CAMSIM_OK;
}

CAMSIM_EXPORT int camsim_replug(int cam, int keep_state) {
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    auto n = node_of(b, cam);
    if (!n) return CAMSIM_ENOCAM;
    {
        std::lock_guard lock(b.mu);
        if (n->attached || position_taken_locked(b, *n, n->bus, n->port)) return CAMSIM_EBUSY;
        n->attach_at.reset();
    }
    camsim::usbfs::attach(b, n, keep_state != 0);
    return CAMSIM_OK;
}

CAMSIM_EXPORT int camsim_replug_at(int cam, uint8_t bus_no, uint8_t port, int keep_state) {
    if (port == 0 || port == 255) return CAMSIM_EINVAL;
    auto &b = bus();
    std::lock_guard tb(b.testbed_mu);
    auto n = node_of(b, cam);
    if (!n) return CAMSIM_ENOCAM;
    {
        std::lock_guard lock(b.mu);
        if (n->attached) return CAMSIM_EBUSY;
        const uint8_t to_bus = bus_no != 0 ? bus_no : n->bus;
        if (position_taken_locked(b, *n, to_bus, port)) return CAMSIM_EBUSY;
        n->attach_at.reset();
        n->bus = to_bus;
        n->port = port;
    }
    camsim::usbfs::attach(b, n, keep_state != 0);
    return CAMSIM_OK;
}

// Opening by file descriptor needs reads of the node that usbfs answers
// with descriptors; the emulated node does not: the stand-in only.
CAMSIM_EXPORT intptr_t camsim_sys_device(int) {
    return -1;
}

CAMSIM_EXPORT int camsim_camera_count(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    return static_cast<int>(b.cameras.size());
}

CAMSIM_EXPORT int camsim_camera_info(int cam, camsim_camera_info_t *out) {
    if (!out) return CAMSIM_EINVAL;
    auto &b = bus();
    camsim::usbfs::run_due_moves(b);
    std::lock_guard lock(b.mu);
    if (cam < 0 || cam >= static_cast<int>(b.cameras.size())) return CAMSIM_ENOCAM;
    const Node &n = *b.cameras[static_cast<size_t>(cam)];
    std::memset(out, 0, sizeof *out);
    out->plugged = n.attached;
    out->bus = n.bus;
    out->port = n.port;
    out->address = n.address;
    out->speed = n.speed;
    camsim::front::describe(*n.cam, *out);
    return CAMSIM_OK;
}

// The counters the emulated kernel can see: files open on the cameras'
// nodes, their claims and URBs. libusb's own objects (contexts, devices,
// transfers) live in the real libusb and count 0 here.
CAMSIM_EXPORT void camsim_get_counters(camsim_counters_t *out) {
    if (!out) return;
    auto &b = bus();
    // A closed file reaches umockdev's worker a little later than close()
    // returns: give the ones that look open a moment to be seen closed.
    const auto settle_until = Clock::now() + kCloseSettle;
    std::unique_lock lock(b.mu);
    int32_t open = 0;
    for (;;) {
        b.prune_clients();
        open = static_cast<int32_t>(
            std::count_if(b.clients.begin(), b.clients.end(), [](auto &kv) { return kv.second; }));
        if (open == 0 || Clock::now() >= settle_until) break;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        lock.lock();
    }
    camsim_counters_t c = b.counters;
    c.open_handles = open;
    // A transfer is in flight while any of its URBs is not reaped.
    int32_t claims = 0;
    std::set<const Node *> nodes;
    std::set<uint64_t> transfers;
    for (auto &[name, np] : b.by_devnode) nodes.insert(np.get());
    for (const Node *np : nodes) {
        for (auto &[client, bits] : np->claims) claims += __builtin_popcount(bits);
        for (auto *q : {&np->in_queue, &np->held_ctrl, &np->done})
            for (const auto *u : *q) transfers.insert(u->transfer);
    }
    c.claimed_interfaces = claims;
    c.inflight_transfers = static_cast<int32_t>(transfers.size());
    *out = c;
}

CAMSIM_EXPORT uint32_t camsim_misuse_count(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    return b.counters.misuse;
}

CAMSIM_EXPORT const char *camsim_last_misuse(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    static thread_local std::string copy;
    copy = b.last_misuse;
    return copy.c_str();
}
