// The control interface of camsim.h that concerns one camera (its stream
// layout, pacing, faults, statistics, parameters, registers and ground truth):
// the same for every front end of the camera model.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "env_config.h"
#include "front_end.h"

using namespace camsim;

namespace {
constexpr int kEventErrorIo = -1;  // LIBUSB_ERROR_IO
}  // namespace

CAMSIM_EXPORT void camsim_camera_config_default(camsim_camera_config_t *cfg) {
    if (cfg) default_config(*cfg);
}

void camsim::front::describe(Camera &cam, camsim_camera_info_t &out) {
    out.chip = cam.config().chip;
    out.width = cam.config().width;
    out.height = cam.config().height;
    out.frame_bytes = cam.generator().frame_bytes();
    out.frame_format = cam.generator().frame_format();
    out.streaming = cam.streaming();
}

CAMSIM_EXPORT int camsim_set_stream_layout(int cam, uint32_t chunk_payload,
                                           uint8_t frames_per_chunk, uint8_t data_checksum) {
    return front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::StreamLayout l;
        l.chunk_payload = chunk_payload;
        l.frames_per_chunk = frames_per_chunk ? frames_per_chunk : 1;
        l.data_checksum = data_checksum != 0;
        c.set_stream_layout(l);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_set_pacing(int cam, uint32_t fps, uint8_t free_run) {
    const int r = front::with_camera(cam, [&](camsim::Camera &c) {
        c.set_pacing(fps, free_run != 0);
        return CAMSIM_OK;
    });
    if (r == CAMSIM_OK) front::changed();
    return r;
}

CAMSIM_EXPORT int camsim_set_temperature(int cam, int16_t t_sensor, int16_t t_ib, uint8_t drift) {
    return front::with_camera(cam, [&](camsim::Camera &c) {
        c.set_temperature(t_sensor, t_ib, drift != 0);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_set_scene(int cam, const char *scene, uint16_t *first_index) {
    if (!scene) return CAMSIM_EINVAL;
    // with_camera takes the front end's bus lock (Bus::mu of the stand-in and of the usbfs
    // front end), which guards the camera and its generator: frames are made under it only
    // (Camera::produce, from the bus's pour). So no frame is half old and half new scene, and
    // the index returned is that of the first frame made after the change.
    return front::with_camera(cam, [&](camsim::Camera &c) {
        uint16_t first = 0;
        try {
            first = c.set_scene(scene);
        } catch (const std::invalid_argument &) {
            return CAMSIM_EINVAL;
        }
        if (first_index) *first_index = first;
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_inject(int cam, int fault, uint32_t count, uint32_t arg,
                                const char *message) {
    const int r = front::with_camera(cam, [&](camsim::Camera &c) {
        auto &u = c.usb_faults;
        auto &s = c.stream_faults;
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
                u.unplug_after = count;  // 0: the front end drops it at once
                break;
            case CAMSIM_FAULT_EVENT_ERROR:
                u.event_error += count;
                u.event_error_code = arg ? -static_cast<int>(arg) : kEventErrorIo;
                break;
            case CAMSIM_FAULT_STATUS_MISMATCH:
                u.status_mismatch += count;
                break;
            case CAMSIM_FAULT_STATUS_SHORT:
                u.status_short += count;
                u.status_short_bytes = arg ? std::min<uint32_t>(arg, 62) : 10;
                break;
            default:
                if (c.data.inject(fault, count, arg)) break;
                return CAMSIM_EINVAL;
        }
        return CAMSIM_OK;
    });
    if (r == CAMSIM_OK) front::changed();
    return r;
}

CAMSIM_EXPORT int camsim_clear_faults(int cam) {
    return front::with_camera(cam, [](camsim::Camera &c) {
        c.usb_faults = camsim::UsbFaults{};
        c.stream_faults = camsim::StreamFaults{};
        c.data.clear_faults();
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_get_camera_stats(int cam, camsim_camera_stats_t *out) {
    if (!out) return CAMSIM_EINVAL;
    return front::with_camera(cam, [&](camsim::Camera &c) {
        *out = c.stats;
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_frame_sent_ns(int cam, uint16_t index, uint64_t *t_ns) {
    if (!t_ns) return CAMSIM_EINVAL;
    return front::with_camera(cam, [&](camsim::Camera &c) {
        return c.frame_sent_ns(index, *t_ns) ? CAMSIM_OK : CAMSIM_ENOENT;
    });
}

CAMSIM_EXPORT int camsim_param_get(int cam, uint8_t id, uint8_t *value, uint8_t *len) {
    return front::with_camera(cam, [&](camsim::Camera &c) {
        const camsim::ParamValue *v = c.params().find(id);
        if (!v) return CAMSIM_ENOENT;
        if (value) std::memcpy(value, v->bytes.data(), v->len);
        if (len) *len = v->len;
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_param_set(int cam, uint8_t id, const uint8_t *value, uint8_t len) {
    if (!value || len > camsim::kParamValueBytes) return CAMSIM_EINVAL;
    return front::with_camera(cam, [&](camsim::Camera &c) {
        c.params().store_raw(id, std::span<const uint8_t>(value, len));
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_reg_get(int cam, uint8_t target, uint32_t addr, uint32_t *value) {
    if (!value) return CAMSIM_EINVAL;
    return front::with_camera(cam, [&](camsim::Camera &c) {
        if (!c.registers().exists(target, addr)) return CAMSIM_ENOENT;
        *value = c.registers().get(target, addr);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_reg_set(int cam, uint8_t target, uint32_t addr, uint32_t value) {
    return front::with_camera(cam, [&](camsim::Camera &c) {
        if (!c.registers().exists(target, addr)) return CAMSIM_ENOENT;
        c.registers().set(target, addr, value);
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
    return front::with_camera(cam, [&](camsim::Camera &c) {
        return copy_floats(c.generator().truth_mm(), dst, capacity);
    });
}

CAMSIM_EXPORT int camsim_fpn(int cam, float *dst, uint32_t capacity) {
    return front::with_camera(
        cam, [&](camsim::Camera &c) { return copy_floats(c.generator().fpn_mm(), dst, capacity); });
}

CAMSIM_EXPORT int camsim_last_frame(int cam, uint8_t *dst, uint32_t capacity, uint8_t desc[12],
                                    uint16_t *frame_index) {
    return front::with_camera(cam, [&](camsim::Camera &c) {
        const auto &f = c.last_frame();
        if (dst) std::memcpy(dst, f.data(), std::min<size_t>(f.size(), capacity));
        if (desc) std::memcpy(desc, c.last_desc(), camsim::kFrameDescBytes);
        if (frame_index) *frame_index = c.last_frame_index();
        return static_cast<int>(f.size());
    });
}
