// The control interface of camsim_calib.h: the calibration package in a
// camera's memory.
#include <algorithm>
#include <string>
#include <vector>

#include "front_end.h"

CAMSIM_EXPORT int camsim_calib_set(int cam, const uint8_t *payload, uint32_t len,
                                   const camsim_calib_header_t *hdr) {
    if (payload == nullptr && len != 0) return CAMSIM_EINVAL;
    std::vector<uint8_t> bytes(payload, payload + len);
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        c.calib.set_payload(std::move(bytes), hdr);
        c.calib.apply(c.params());
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_calib_use(int cam, const char *spec) {
    if (spec == nullptr) return CAMSIM_EINVAL;
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        if (!c.calib.use(spec)) return CAMSIM_ENOENT;
        c.calib.apply(c.params());
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_calib_none(int cam) {
    return camsim_calib_use(cam, "none");
}

CAMSIM_EXPORT int camsim_calib_get(int cam, uint8_t *dst, uint32_t capacity,
                                   camsim_calib_header_t *hdr) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        const std::span<const uint8_t> bytes = c.calib.payload(c.params());
        if (hdr) *hdr = c.calib.header(c.params());
        if (dst) std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), capacity), dst);
        return static_cast<int>(bytes.size());
    });
}

CAMSIM_EXPORT int camsim_calib_set_sw_version(int cam, uint16_t version) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        c.calib.set_sw_version(version);
        c.calib.apply(c.params());
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_calib_get_stats(int cam, camsim_calib_stats_t *out) {
    if (out == nullptr) return CAMSIM_EINVAL;
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        *out = c.calib.stats();
        return CAMSIM_OK;
    });
}
