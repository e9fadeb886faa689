// `kavri-cli list`: every camera on the buses with its identification;
// with --watch, then every arrival and removal until Ctrl-C.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/identity.h"
#include "cli/interrupt.h"

namespace kavri::cli {

int run_list_watch(const GlobalOptions &g);

namespace {

// How often the watching loop looks at Ctrl-C.
constexpr auto kInterruptCheck = std::chrono::milliseconds(50);

bool same_place(const UsbLocation &a, const UsbLocation &b) {
    return a.bus == b.bus && a.port == b.port && a.address == b.address;
}

// Prints the table; returns the exit status.
int print_table(const std::vector<kavri_dev_t> &devs) {
    std::printf("%-8s %-5s %-6s %-18s %-18s %-34s %s\n", "BUS:PORT", "ADDR", "SPEED", "PRODUCT",
                "IDENT", "VERSIONS", "DRIVER");
    int status = kExitOk;
    for (const kavri_dev_t &d : devs) {
        const CameraIdentity id = read_identity(d);
        const std::string where = location_text(id.location);
        if (!id.readable) {
            std::printf("%-8s %-5u %-6s (cannot open: run `kavri-cli doctor`)\n", where.c_str(),
                        id.location.address, speed_name(id.location.speed));
            status = kExitOpenFailed;
            continue;
        }
        std::printf("%-8s %-5u %-6s %-18s %-18s %-34s %s\n", where.c_str(), id.location.address,
                    speed_name(id.location.speed), id.product.c_str(), id.ident.c_str(),
                    versions_text(id.version).c_str(), id.driver.c_str());
    }
    std::printf("%zu camera%s\n", devs.size(), devs.size() == 1 ? "" : "s");
    return status;
}

// What the device-change callback needs; it runs on the library's watcher thread.
struct Watch {
    std::mutex mu;
    std::vector<UsbLocation>
        listed;  // shown in the table: their registration arrivals are not news
};

void on_change(const kavri_device_event_t *ev, void *user) {
    auto &w = *static_cast<Watch *>(user);
    const UsbLocation loc = location_of(ev->dev);
    std::lock_guard lock(w.mu);
    if (ev->flags & KAVRI_DEVICE_FLAG_PRESENT) {
        for (const auto &l : w.listed)
            if (same_place(l, loc)) return;
    }
    const char sign = ev->kind == KAVRI_DEVICE_ARRIVED ? '+' : '-';
    if (ev->flags & KAVRI_DEVICE_FLAG_IDENTIFIED)
        std::printf("%c %s %.*s %.*s\n", sign, location_text(loc).c_str(),
                    static_cast<int>(sizeof ev->dev.product), ev->dev.product,
                    static_cast<int>(sizeof ev->dev.ident), ev->dev.ident);
    else
        std::printf("%c %s (identity not readable)\n", sign, location_text(loc).c_str());
    std::fflush(stdout);  // one line per change, also into a pipe
}

}  // namespace

int run_list(const GlobalOptions &g) {
    Library lib(g);
    const auto devs = list_cameras();
    if (devs.empty())
        throw CliError(kExitNoCamera, "no camera found on the USB buses",
                       "plug the camera in, then run `kavri-cli doctor` to check the set-up");
    return print_table(devs);
}

int run_list_watch(const GlobalOptions &g) {
    Library lib(g);
    InterruptFlag interrupt;
    const auto devs = list_cameras();
    Watch w;
    for (const kavri_dev_t &d : devs) w.listed.push_back(location_of(d));
    // No camera yet is fine here: the point is to see one arrive.
    const int status = print_table(devs);
    std::fflush(stdout);
    if (!kavri_set_callback_on_device_change(on_change, &w))
        throw CliError(kExitNoCamera, "cannot watch the USB buses",
                       "run `kavri-cli doctor` to check libusb");
    while (!interrupt.raised()) std::this_thread::sleep_for(kInterruptCheck);
    kavri_set_callback_on_device_change(nullptr, nullptr);  // waits for a call in progress
    return status;
}

}  // namespace kavri::cli
