// The control interface of camsim.h.
#include <algorithm>
#include <cstring>

#include "bus.h"
#include "env_config.h"

using camsim::bus;
using camsim::Clock;

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

CAMSIM_EXPORT void camsim_camera_config_default(camsim_camera_config_t *cfg) {
    if (cfg) camsim::default_config(*cfg);
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
        if (p.attached) return CAMSIM_EBUSY;
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
        out->chip = p.cam->config().chip;
        out->width = p.cam->config().width;
        out->height = p.cam->config().height;
        out->frame_bytes = p.cam->generator().frame_bytes();
        out->frame_format = p.cam->generator().frame_format();
        out->streaming = p.cam->streaming();
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_set_stream_layout(int cam, uint32_t chunk_payload,
                                           uint8_t frames_per_chunk, uint8_t data_checksum) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        camsim::StreamLayout l;
        l.chunk_payload = chunk_payload;
        l.frames_per_chunk = frames_per_chunk ? frames_per_chunk : 1;
        l.data_checksum = data_checksum != 0;
        p.cam->set_stream_layout(l);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_set_pacing(int cam, uint32_t fps, uint8_t free_run) {
    return with_camera(cam, [&](camsim::Bus &b, camsim::PhysDevice &p) {
        p.cam->set_pacing(fps, free_run != 0);
        b.cv.notify_all();
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_set_temperature(int cam, int16_t t_sensor, int16_t t_ib, uint8_t drift) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        p.cam->set_temperature(t_sensor, t_ib, drift != 0);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_inject(int cam, int fault, uint32_t count, uint32_t arg,
                                const char *message) {
    return with_camera(cam, [&](camsim::Bus &b, camsim::PhysDevice &p) {
        auto &u = p.cam->usb_faults;
        auto &s = p.cam->stream_faults;
        switch (fault) {
            case CAMSIM_FAULT_STALL_BULK_IN:
                u.stall_in += count;
                break;
            case CAMSIM_FAULT_TIMEOUT_BULK_IN:
            case CAMSIM_FAULT_TIMEOUT_BULK_IN_WAIT:
                u.timeout_in += count;
                u.timeout_in_bytes = arg;
                u.timeout_in_wait = fault == CAMSIM_FAULT_TIMEOUT_BULK_IN_WAIT;
                break;
            case CAMSIM_FAULT_CORRUPT_PAYLOAD:
                s.corrupt_payload += count;
                break;
            case CAMSIM_FAULT_CORRUPT_HEADER:
                s.corrupt_header += count;
                break;
            case CAMSIM_FAULT_DROP_BYTES:
                s.drop_bytes += count;
                if (arg) s.drop_bytes_len = arg;
                break;
            case CAMSIM_FAULT_DROP_CHUNKS:
                s.drop_chunks += count;
                break;
            case CAMSIM_FAULT_GARBAGE_BYTES:
                s.garbage += count;
                if (arg) s.garbage_len = arg;
                break;
            case CAMSIM_FAULT_INCONSISTENT_FRAME:
                u.inconsistent += count;
                break;
            case CAMSIM_FAULT_STATUS_BUSY:
                u.status_busy += count;
                break;
            case CAMSIM_FAULT_FAIL_COMMAND:
                u.fail_command += count;
                u.fail_message = message ? message : "injected failure";
                break;
            case CAMSIM_FAULT_HANG_CONTROL:
                u.hang_control += count;
                break;
            case CAMSIM_FAULT_CLAIM_BUSY:
                u.claim_busy += count;
                u.claim_busy_iface = arg;
                break;
            case CAMSIM_FAULT_OPEN_FAIL:
                u.open_fail += count;
                break;
            case CAMSIM_FAULT_STALL_BULK_OUT:
                u.stall_out += count;
                break;
            case CAMSIM_FAULT_UNPLUG:
                if (count == 0) {
                    b.detach(p);
                    p.attach_at.reset();
                } else {
                    u.unplug_after = count;
                }
                break;
            case CAMSIM_FAULT_EVENT_ERROR:
                u.event_error += count;
                u.event_error_code = arg ? -static_cast<int>(arg) : LIBUSB_ERROR_IO;
                break;
            case CAMSIM_FAULT_STATUS_MISMATCH:
                u.status_mismatch += count;
                break;
            case CAMSIM_FAULT_STATUS_SHORT:
                u.status_short += count;
                u.status_short_bytes = arg ? std::min<uint32_t>(arg, 62) : 10;
                break;
            default:
                if (p.cam->data.inject(fault, count, arg)) break;
                return CAMSIM_EINVAL;
        }
        b.advance(Clock::now());
        b.cv.notify_all();
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_clear_faults(int cam) {
    return with_camera(cam, [](camsim::Bus &, camsim::PhysDevice &p) {
        p.cam->usb_faults = camsim::UsbFaults{};
        p.cam->stream_faults = camsim::StreamFaults{};
        p.cam->data.clear_faults();
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

CAMSIM_EXPORT int camsim_get_camera_stats(int cam, camsim_camera_stats_t *out) {
    if (!out) return CAMSIM_EINVAL;
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        *out = p.cam->stats;
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_param_get(int cam, uint8_t id, uint8_t *value, uint8_t *len) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        const camsim::ParamValue *v = p.cam->params().find(id);
        if (!v) return CAMSIM_ENOENT;
        if (value) std::memcpy(value, v->bytes.data(), v->len);
        if (len) *len = v->len;
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_param_set(int cam, uint8_t id, const uint8_t *value, uint8_t len) {
    if (!value || len > camsim::kParamValueBytes) return CAMSIM_EINVAL;
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        p.cam->params().store_raw(id, std::span<const uint8_t>(value, len));
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_reg_get(int cam, uint8_t target, uint32_t addr, uint32_t *value) {
    if (!value) return CAMSIM_EINVAL;
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        if (!p.cam->registers().exists(target, addr)) return CAMSIM_ENOENT;
        *value = p.cam->registers().get(target, addr);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_reg_set(int cam, uint8_t target, uint32_t addr, uint32_t value) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        if (!p.cam->registers().exists(target, addr)) return CAMSIM_ENOENT;
        p.cam->registers().set(target, addr, value);
        return CAMSIM_OK;
    });
}

namespace {
int copy_floats(const std::vector<float> &v, float *dst, uint32_t capacity) {
    if (dst) std::memcpy(dst, v.data(), std::min<size_t>(v.size(), capacity) * sizeof(float));
    return static_cast<int>(v.size());
}
}  // namespace

CAMSIM_EXPORT int camsim_ground_truth(int cam, float *dst, uint32_t capacity) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        return copy_floats(p.cam->generator().truth_mm(), dst, capacity);
    });
}

CAMSIM_EXPORT int camsim_fpn(int cam, float *dst, uint32_t capacity) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        return copy_floats(p.cam->generator().fpn_mm(), dst, capacity);
    });
}

CAMSIM_EXPORT int camsim_last_frame(int cam, uint8_t *dst, uint32_t capacity, uint8_t desc[12],
                                    uint16_t *frame_index) {
    return with_camera(cam, [&](camsim::Bus &, camsim::PhysDevice &p) {
        const auto &f = p.cam->last_frame();
        if (dst) std::memcpy(dst, f.data(), std::min<size_t>(f.size(), capacity));
        if (desc) std::memcpy(desc, p.cam->last_desc(), camsim::kFrameDescBytes);
        if (frame_index) *frame_index = p.cam->last_frame_index();
        return static_cast<int>(f.size());
    });
}
