#include "usbfs_bus.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace camsim::usbfs {
namespace {

constexpr uint8_t kFirstAddress = 2;  // 1 is the root hub
constexpr int kMaxFramesPerPour = 64;
constexpr size_t kFifoSlot = 4096;  // one pipe buffer: a FIFO is writable when one is free
constexpr auto kIdleWake = std::chrono::seconds(1);
constexpr uint8_t kEpBulkIn = 0x81, kEpBulkOut = 0x01;
constexpr uint16_t kMaxPacketBulk = 512;
constexpr int kExitNotRealLibusb = 3;

int round_down_word(int n) {
    return n - n % 4;
}

// The sysfs "speed" attribute for a libusb speed code.
const char *speed_text(uint8_t speed) {
    switch (speed) {
        case 1:
            return "1.5";
        case 2:
            return "12";
        case 4:
            return "5000";
        case 5:
            return "10000";
        default:
            return "480";
    }
}

std::string hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Device descriptor and the whole configuration: one vendor interface with
// bulk IN 0x81 and bulk OUT 0x01, as the camera reports them.
std::string descriptors(const Camera &cam) {
    uint8_t d[18];
    cam.device_descriptor(d);
    const uint8_t mp_lo = kMaxPacketBulk & 0xff, mp_hi = kMaxPacketBulk >> 8;
    const uint8_t cfg[] = {9, 2, 32,         0, 1,     1,     0, 0x80, 250,  // configuration
                           9, 4, 0,          0, 2,     0xff,  0, 0,    0,    // interface
                           7, 5, kEpBulkIn,  2, mp_lo, mp_hi, 0,             // bulk IN
                           7, 5, kEpBulkOut, 2, mp_lo, mp_hi, 0};            // bulk OUT
    return hex(d, sizeof d) + hex(cfg, sizeof cfg);
}

void fill_fifo(int fd) {
    static const char page[kFifoSlot] = {};
    while (write(fd, page, sizeof page) == static_cast<ssize_t>(sizeof page)) {
    }
}

// Taken around every close() of the program and around our replacement of
// the host's descriptors, so that a descriptor libusb closes (and the number
// the next open reuses) is never replaced. Recursive: a sanitizer that
// reports from inside a close or a scan reads its symbols from a file that
// it then closes, on the same thread.
std::recursive_mutex &descriptor_mu() {
    static auto *m = new std::recursive_mutex;
    return *m;
}

bool same_file(int fd, const struct stat &file) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && st.st_ino == file.st_ino &&
           st.st_dev == file.st_dev;
}

// The host's descriptors of a node (every fd of the process open on the
// FIFO other than ours) now poll POLLERR, as a usbfs node does after the
// device went away.
void break_host_descriptors(int fifo_fd) {
    struct stat fifo_st {};
    if (fstat(fifo_fd, &fifo_st) != 0) return;
    int dead[2];
    if (pipe2(dead, O_CLOEXEC) != 0) return;
    close(dead[0]);  // a pipe without reader polls POLLERR on its write end
    {
        // The scan looks at every descriptor of the process: none may be
        // closed (and its number reused) while it is looked at or replaced.
        std::lock_guard lock(descriptor_mu());
        if (DIR *d = opendir("/proc/self/fd")) {
            while (dirent *e = readdir(d)) {
                const int fd = std::atoi(e->d_name);
                if (fd > 2 && fd != fifo_fd && fd != dirfd(d) && fd != dead[1] &&
                    same_file(fd, fifo_st))
                    dup2(dead[1], fd);
            }
            closedir(d);
        }
    }
    close(dead[1]);
}

void bus_clock(Bus *b);

// A root hub and a mouse: sysfs entries only (nobody opens them).
void add_bystanders(Bus &b) {
    static const char *const kDevices[] = {
        "P: /devices/pci0000:00/0000:00:14.0/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "E: DEVNAME=/dev/bus/usb/001/001\nE: BUSNUM=001\nE: DEVNUM=001\n"
        "A: busnum=1\\n\nA: devnum=1\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\n"
        "H: descriptors=12010002090001406b1d020006050302010109021900010100e0000904000001090000"
        "000705810304000c\n",
        "P: /devices/pci0000:00/0000:00:14.0/usb1/1-7\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "E: DEVNAME=/dev/bus/usb/001/002\nE: BUSNUM=001\nE: DEVNUM=002\n"
        "A: busnum=1\\n\nA: devnum=2\\n\nA: speed=1.5\\n\nA: bConfigurationValue=1\\n\n"
        "H: descriptors=12011001000000086d0477c0030101020001090222000101008032090400000103010200"
        "09211101000122340007058103080004\n"};
    for (const char *d : kDevices) {
        GError *err = nullptr;
        if (!umockdev_testbed_add_from_string(b.testbed, d, &err)) {
            std::fprintf(stderr, "camsim-usbfs: bystander: %s\n", err ? err->message : "?");
            g_clear_error(&err);
        }
    }
    b.next_address[kBystanderBus] = kMouseAddress + 1;
}

// Debian's umockdev aborts the whole program when a uevent listener closes
// its socket between the sender's connect and its send ("uevent_sender
// sendmsg_one: sendmsg failed: Connection refused"). libusb keeps one
// listener for the process and closes it with its last context, so a program
// that drops its last context while a camera is unplugged on another thread
// could die inside the testbed. A context of the bus's own, never closed,
// keeps that listener open for the program's life; the program's contexts
// still come and go as they would on a real machine.
void hold_uevent_listener(void *libusb_init_fn) {
    if (libusb_init_fn == nullptr) return;  // the program does not use libusb
    using InitFn = int (*)(void **);
    void *ctx = nullptr;
    if (reinterpret_cast<InitFn>(libusb_init_fn)(&ctx) != 0)
        std::fprintf(stderr, "camsim-usbfs: the bus's own libusb context failed\n");
    static void *held = ctx;  // reachable for the program's life: not a leak
    (void)held;
}

}  // namespace

Bus &bus() {
    // Never destroyed: libusb's threads may still call in at exit.
    static Bus *b = [] {
        auto *nb = new Bus;
        // The stand-in exports libusb's functions too: if it were loaded, the
        // program would talk to it instead of the real libusb and the tier
        // would prove nothing.
        void *init = dlsym(RTLD_DEFAULT, "libusb_init");
        if (init != nullptr) {
            Dl_info where{};
            if (dladdr(init, &where) && where.dli_fname &&
                !std::strstr(where.dli_fname, "libusb-1.0.so")) {
                std::fprintf(stderr, "camsim-usbfs: libusb_init comes from %s, not libusb-1.0\n",
                             where.dli_fname);
                std::_Exit(kExitNotRealLibusb);
            }
        }
        nb->testbed = umockdev_testbed_new();
        if (!umockdev_in_mock_environment()) {
            std::fprintf(stderr,
                         "camsim-usbfs: not in an umockdev environment: run the program under "
                         "umockdev-wrapper (libumockdev-preload.so in LD_PRELOAD)\n");
            std::abort();  // never reach the host's real USB devices
        }
        add_bystanders(*nb);
        hold_uevent_listener(init);
        nb->handler = umockdev_ioctl_base_new();
        g_signal_connect_after(nb->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), nb);
        nb->clock = std::thread(bus_clock, nb);
        nb->clock.detach();
        return nb;
    }();
    return *b;
}

// The testbed exists before the program's first libusb_init: libusb decides
// once whether there is a sysfs to read.
__attribute__((constructor)) static void create_testbed_early() {
    bus();
}

void Bus::misuse(const char *fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    ++counters.misuse;
    last_misuse = text;
    std::fprintf(stderr, "camsim-usbfs: MISUSE: %s\n", text);
}

void Bus::signal(Node &n) {
    if (n.signalled || n.fifo_fd < 0) return;
    char slot[kFifoSlot];
    if (read(n.fifo_fd, slot, sizeof slot) > 0) n.signalled = true;
}

void Bus::unsignal(Node &n) {
    if (!n.signalled || n.fifo_fd < 0) return;
    fill_fifo(n.fifo_fd);
    n.signalled = false;
    cv.notify_all();  // the clock may have more for this node later
}

void Bus::finish(Node &n, Urb *u, int status) {
    u->status = status;
    n.done.push_back(u);
    if (u->endpoint == kEpBulkIn && u->type == USBDEVFS_URB_TYPE_BULK) {
        if (!(u->flags & USBDEVFS_URB_BULK_CONTINUATION)) {
            ++counters.bulk_in_transfers;
            auto &unplug = n.cam->usb_faults.unplug_after;
            if (unplug > 0 && --unplug == 0) cv.notify_all();  // the clock takes it off the bus
        }
    }
    signal(n);
}

void Bus::fail_inflight(Node &n, int status) {
    for (auto *q : {&n.in_queue, &n.held_ctrl}) {
        while (!q->empty()) {
            Urb *u = q->front();
            q->pop_front();
            finish(n, u, status);
        }
    }
}

void Bus::pour(Node &n, Clock::time_point now) {
    Camera &cam = *n.cam;
    while (!n.in_queue.empty()) {
        Urb *u = n.in_queue.front();
        if (n.in_cancelling) {
            // The rest of a transfer that ended early takes no data.
            if (u->flags & USBDEVFS_URB_BULK_CONTINUATION) {
                n.in_queue.pop_front();
                finish(n, u, -ECONNRESET);
                continue;
            }
            n.in_cancelling = false;
        }
        if (n.in_halted) break;
        if (cam.usb_faults.stall_in > 0) {
            --cam.usb_faults.stall_in;
            n.in_halted = true;
            n.in_queue.pop_front();
            finish(n, u, -EPIPE);
            n.in_cancelling = true;
            continue;
        }
        if (!u->timeout_armed && cam.usb_faults.timeout_in > 0) {
            --cam.usb_faults.timeout_in;
            u->timeout_armed = true;
            u->timeout_limit = round_down_word(static_cast<int>(std::min<uint32_t>(
                cam.usb_faults.timeout_in_bytes, static_cast<uint32_t>(u->length))));
        }
        const int limit = u->timeout_armed ? u->timeout_limit : u->length;
        for (int frames = 0; u->actual < limit;) {
            if (cam.fifo_available() == 0) {
                if (!cam.streaming() || frames >= kMaxFramesPerPour) break;
                const uint64_t before = cam.stats.frames;
                cam.produce(now);
                if (cam.stats.frames == before) break;  // nothing due yet
                ++frames;
                continue;
            }
            const size_t got =
                cam.take(u->bytes() + u->actual, static_cast<size_t>(limit - u->actual));
            u->actual += static_cast<int>(got);
            cam.stats.stream_bytes += got;
        }
        if (u->timeout_armed) break;  // waits for libusb to time it out and discard it
        if (u->actual == u->length) {
            n.in_queue.pop_front();
            finish(n, u, 0);
            continue;
        }
        // The FIFO ran dry at the end of a frame: a short packet ends the URB
        // (and, inside a split transfer, the transfer).
        if (u->actual > 0 && cam.fifo_available() == 0) {
            n.in_queue.pop_front();
            const bool short_not_ok = (u->flags & USBDEVFS_URB_SHORT_NOT_OK) != 0;
            finish(n, u, short_not_ok ? -EREMOTEIO : 0);
            n.in_cancelling = true;
            continue;
        }
        break;
    }
}

void Bus::prune_clients() {
    for (auto &[client, connected] : clients) {
        if (!connected || umockdev_ioctl_client_get_connected(client)) continue;
        connected = false;  // usbfs releases a closed file's claims and URBs
        for (auto &[node_name, np] : by_devnode) {
            Node &n = *np;
            n.claims.erase(client);
            for (auto *q : {&n.in_queue, &n.held_ctrl, &n.done}) {
                for (auto it = q->begin(); it != q->end();) {
                    if ((*it)->client == client) {
                        orphans.push_back(*it);
                        it = q->erase(it);
                    } else {
                        ++it;
                    }
                }
            }
        }
    }
}

std::optional<Clock::time_point> Bus::next_wakeup(Clock::time_point now) {
    std::optional<Clock::time_point> next;
    auto consider = [&](Clock::time_point t) {
        if (!next || t < *next) next = t;
    };
    for (auto &np : cameras) {
        Node &n = *np;
        if (n.leave && n.attached) consider(n.leave->leave_at);
        if (!n.attached && n.attach_at) consider(*n.attach_at);
        if (n.attached && n.cam->usb_faults.unplug_after == 0) consider(now);
        if (!n.attached || n.signalled || n.in_queue.empty() || n.in_halted) continue;
        if (n.cam->fifo_available() > 0 || n.in_cancelling) {
            consider(now);
        } else if (n.cam->streaming()) {
            const auto due = n.cam->next_frame_due();
            consider(due ? *due : now);  // no pacing: free running or sending calibration
        }
    }
    return next;
}

void Bus::due_moves(Clock::time_point now, std::vector<std::shared_ptr<Node>> &leave,
                    std::vector<std::shared_ptr<Node>> &come) {
    for (auto &np : cameras) {
        Node &n = *np;
        if (auto l = n.cam->take_bus_leave()) n.leave = l;
        if (n.attached && n.cam->usb_faults.unplug_after == 0) {
            n.cam->usb_faults.unplug_after = -1;
            leave.push_back(np);
            continue;
        }
        if (n.attached && n.leave && now >= n.leave->leave_at) {
            const BusLeave l = *n.leave;
            n.leave.reset();
            n.attach_at = l.leave_at + l.away;
            n.attach_keep_state = l.keep_state;
            leave.push_back(np);
            continue;
        }
        if (!n.attached && n.attach_at && now >= *n.attach_at) come.push_back(np);
    }
}

void run_due_moves(Bus &b) {
    std::lock_guard tb(b.testbed_mu);
    std::vector<std::shared_ptr<Node>> leave, come;
    {
        std::lock_guard lock(b.mu);
        b.due_moves(Clock::now(), leave, come);
    }
    for (auto &n : leave) detach(b, n);
    for (auto &n : come) {
        bool keep = true;
        {
            std::lock_guard lock(b.mu);
            if (n->attached || !n->attach_at) continue;
            keep = n->attach_keep_state;
            n->attach_at.reset();
        }
        attach(b, n, keep);
    }
}

void attach(Bus &b, const std::shared_ptr<Node> &np, bool keep_state) {
    Node &n = *np;
    std::string text;
    {
        std::lock_guard lock(b.mu);
        if (n.attached) return;
        uint8_t &next = b.next_address[n.bus];
        if (next < kFirstAddress) next = kFirstAddress;
        n.address = next;
        next = static_cast<uint8_t>(next >= 127 ? kFirstAddress : next + 1);
        if (!keep_state) n.cam->power_cycle();
        n.in_halted = n.in_cancelling = false;
        char devnode[64];
        std::snprintf(devnode, sizeof devnode, "/dev/bus/usb/%03u/%03u", n.bus, n.address);
        n.devnode = devnode;
        char *root = umockdev_testbed_get_root_dir(b.testbed);
        n.fifo = std::string(root) + devnode;
        g_free(root);
        char sys[96];
        std::snprintf(sys, sizeof sys, "/devices/pci0000:00/0000:00:14.0/usb%u/%u-%u", n.bus, n.bus,
                      n.port);
        n.syspath = std::string("/sys") + sys;
        char head[512];
        std::snprintf(head, sizeof head,
                      "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                      "E: DEVNAME=%s\nE: BUSNUM=%03u\nE: DEVNUM=%03u\n"
                      "A: busnum=%u\\n\nA: devnum=%u\\n\nA: speed=%s\\n\n"
                      "A: bConfigurationValue=1\\n\nH: descriptors=",
                      sys, devnode, n.bus, n.address, n.bus, n.address, speed_text(n.speed));
        text = head + descriptors(*n.cam) + "\n";
    }
    // The node is our FIFO, made before the device appears (an "add" event
    // may make libusb open it at once), and the handler is attached first.
    const std::string dir = n.fifo.substr(0, n.fifo.rfind('/'));
    g_mkdir_with_parents(dir.c_str(), 0755);
    unlink(n.fifo.c_str());
    if (mkfifo(n.fifo.c_str(), 0666) != 0) std::perror("camsim-usbfs: mkfifo");
    const int fd = open(n.fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fill_fifo(fd);
    GError *err = nullptr;
    // One handler serves every node; a node keeps it after its camera left.
    if (b.handled.insert(n.devnode).second &&
        !umockdev_testbed_attach_ioctl(b.testbed, n.devnode.c_str(), b.handler, &err)) {
        std::fprintf(stderr, "camsim-usbfs: attach_ioctl %s: %s\n", n.devnode.c_str(),
                     err ? err->message : "?");
        g_clear_error(&err);
    }
    {
        std::lock_guard lock(b.mu);
        n.fifo_fd = fd;
        n.signalled = false;
        ++n.generation;
        n.attached = true;
        b.by_devnode[n.devnode] = np;
    }
    if (!umockdev_testbed_add_from_string(b.testbed, text.c_str(), &err)) {
        std::fprintf(stderr, "camsim-usbfs: add device: %s\n", err ? err->message : "?");
        g_clear_error(&err);
    }
    b.cv.notify_all();
}

void detach(Bus &b, const std::shared_ptr<Node> &np) {
    Node &n = *np;
    std::string syspath;
    int fifo_fd = -1;
    {
        std::lock_guard lock(b.mu);
        if (!n.attached) return;
        n.attached = false;
        n.leave.reset();
        n.cam->link_down();
        n.cam->take_bus_leave();
        n.cam->usb_faults.unplug_after = -1;
        n.claims.clear();
        n.in_halted = n.in_cancelling = false;
        // What was in flight comes back as "device gone", and the host's
        // descriptors report the error so that libusb reaps them.
        b.fail_inflight(n, -ESHUTDOWN);
        b.signal(n);
        fifo_fd = n.fifo_fd;
        n.fifo_fd = -1;
        n.signalled = false;
        syspath = n.syspath;
    }
    // Outside the bus lock: the host may be closing a descriptor right now.
    if (fifo_fd >= 0) {
        break_host_descriptors(fifo_fd);
        close(fifo_fd);
    }
    umockdev_testbed_uevent(b.testbed, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(b.testbed, syspath.c_str());
    b.cv.notify_all();
}

namespace {

void bus_clock(Bus *b) {
    for (;;) {
        run_due_moves(*b);
        std::unique_lock lock(b->mu);
        if (b->stop) return;
        const auto now = Clock::now();
        // Nodes with work now: let libusb come and reap.
        for (auto &np : b->cameras) {
            Node &n = *np;
            if (!n.attached) continue;
            if (!n.done.empty()) b->signal(n);
        }
        auto next = b->next_wakeup(now);
        if (next && *next <= now) {
            for (auto &np : b->cameras) {
                Node &n = *np;
                if (!n.attached || n.signalled || n.in_queue.empty() || n.in_halted) continue;
                const auto due = n.cam->next_frame_due();
                if (n.cam->fifo_available() > 0 || n.in_cancelling ||
                    (n.cam->streaming() && (!due || *due <= now)))
                    b->signal(n);
            }
            next = b->next_wakeup(now);
            if (next && *next <= now) next = now + std::chrono::milliseconds(1);
        }
        b->cv.wait_until(lock, next ? *next : now + kIdleWake);
    }
}

}  // namespace

}  // namespace camsim::usbfs

// The program's close(), serialised with the replacement of descriptors
// above (the next close in the lookup order is umockdev's, then libc's).
extern "C" int close(int fd) {
    using close_fn = int (*)(int);
    static const auto next = reinterpret_cast<close_fn>(dlsym(RTLD_NEXT, "close"));
    std::lock_guard lock(camsim::usbfs::descriptor_mu());
    return next(fd);
}
