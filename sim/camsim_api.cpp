// The control interface of camsim.h that concerns the stand-in's bus:
// plugging, unplugging, positions and the libusb object counters.
#include <algorithm>
#include <cstring>

#include "bus.h"
#include "env_config.h"

using camsim::bus;
using camsim::Bus;
using camsim::Camera;
using camsim::Clock;
using camsim::PhysDevice;

namespace {

// Runs f(camera phys) under the lock after advancing time.
template <class F>
int with_camera(int cam, F &&f) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.advance(Clock::now());
    if (cam < 0 || cam >= static_cast<int>(b.cameras.size())) return CAMSIM_ENOCAM;
    return f(b, *b.cameras[static_cast<size_t>(cam)]);
}

}  // namespace

int camsim::front::with_camera(int cam, const std::function<int(Camera &)> &f) {
    return ::with_camera(cam, [&](Bus &, PhysDevice &p) { return f(*p.cam); });
}

void camsim::front::changed() {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.advance(Clock::now());
    b.cv.notify_all();
}

CAMSIM_EXPORT void camsim_reset(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.ensure_started();
    b.reset_all();
    const int n = camsim::env_camera_count();
    for (int i = 0; i < n; ++i) {
        camsim_camera_config_t cfg;
        camsim::default_config(cfg);
        b.plug(cfg);
    }
}

CAMSIM_EXPORT void camsim_clear(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.ensure_started();
    b.reset_all();
}

CAMSIM_EXPORT int camsim_plug(const camsim_camera_config_t *cfg) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.ensure_started();
    camsim_camera_config_t c;
    if (cfg)
        c = *cfg;
    else
        camsim::default_config(c);
    return b.plug(c);
}

CAMSIM_EXPORT int camsim_unplug(int cam) {
    return with_camera(cam, [](camsim::Bus &b, camsim::PhysDevice &p) {
        if (!p.attached && !p.attach_at) return CAMSIM_EUNPLUG;
        b.detach(p);
        p.attach_at.reset();  // a reset in progress does not bring it back
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_replug(int cam, int keep_state) {
    return with_camera(cam, [&](camsim::Bus &b, camsim::PhysDevice &p) {
        if (p.attached || b.position_taken(p, p.bus, p.port)) return CAMSIM_EBUSY;
        b.attach(p, keep_state != 0);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_replug_at(int cam, uint8_t bus_no, uint8_t port, int keep_state) {
    if (port == 0 || port == 255) return CAMSIM_EINVAL;
    return with_camera(cam, [&](camsim::Bus &b, camsim::PhysDevice &p) {
        if (p.attached) return CAMSIM_EBUSY;
        const uint8_t to_bus = bus_no != 0 ? bus_no : p.bus;
        if (b.position_taken(p, to_bus, port)) return CAMSIM_EBUSY;
        p.bus = to_bus;
        p.port = port;
        b.attach(p, keep_state != 0);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_camera_count(void) {
    auto &b = bus();
    std::lock_guard lock(b.mu);
    b.ensure_started();
    return static_cast<int>(b.cameras.size());
}

CAMSIM_EXPORT int camsim_camera_info(int cam, camsim_camera_info_t *out) {
    if (!out) return CAMSIM_EINVAL;
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        std::memset(out, 0, sizeof *out);
        out->plugged = p.attached;
        out->bus = p.bus;
        out->port = p.port;
        out->address = p.address;
        out->speed = p.speed;
        camsim::front::describe(*p.cam, *out);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT void camsim_get_counters(camsim_counters_t *out) {
    if (!out) return;
    auto &b = bus();
    std::lock_guard lock(b.mu);
    *out = b.counters;
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
