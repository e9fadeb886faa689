// The control interface of camsim_data.h: the flash store and the data
// transfer's statistics of a simulated camera.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "front_end.h"

CAMSIM_EXPORT int camsim_data_get(int cam, uint8_t type, uint8_t *dst, uint32_t capacity,
                                  camsim_data_info_t *info) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        const camsim::FlashImage *img = d.flash().find(type);
        if (info) {
            std::memset(info, 0, sizeof *info);
            info->type = type;
            info->size = camsim::FlashStore::kNoData;
            if (img) {
                info->valid = 1;
                info->version = img->version;
                info->size = static_cast<uint32_t>(img->bytes.size());
                info->address = camsim::FlashStore::address_of(type);
            }
        }
        if (!img) return CAMSIM_ENOENT;
        if (dst) std::memcpy(dst, img->bytes.data(), std::min<size_t>(img->bytes.size(), capacity));
        return static_cast<int>(img->bytes.size());
    });
}

CAMSIM_EXPORT int camsim_data_put(int cam, uint8_t type, uint16_t version, const uint8_t *bytes,
                                  uint32_t size) {
    if ((size > 0 && !bytes) || size > camsim::FlashStore::kCapacity) return CAMSIM_EINVAL;
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        d.flash().store(type, version, std::span<const uint8_t>(bytes, size));
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_data_erase(int cam, uint8_t type) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        d.flash().erase(type);
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_data_set_erase_time(int cam, uint32_t ms) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        d.set_erase_time(std::chrono::milliseconds(ms));
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_data_set_busy_time(int cam, uint32_t ms) {
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        d.set_busy_time(std::chrono::milliseconds(ms));
        return CAMSIM_OK;
    });
}

CAMSIM_EXPORT int camsim_data_get_stats(int cam, camsim_data_stats_t *out) {
    if (!out) return CAMSIM_EINVAL;
    return camsim::front::with_camera(cam, [&](camsim::Camera &c) {
        camsim::DataActions &d = c.data;
        *out = d.stats();
        return CAMSIM_OK;
    });
}
