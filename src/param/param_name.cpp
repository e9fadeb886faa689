// File names of a camera's calibration files under the working path, keyed
// by the camera's parameter id.
#include <cstdio>
#include <cstring>

#include "core/globals.h"
#include "core/le.h"
#include "core/log_internal.h"
#include "api/camera.h"
#include "kavri/param.h"
#include "param/param.h"

namespace {

constexpr char kTagId[] = "_kavri_get_param_id";
constexpr size_t kChipInfoIdOff = 2;  // u32 at value bytes 2..5 of parameter 7
constexpr size_t kUidIdOff = 0;       // u32 at value bytes 0..3 of parameter 5

bool read_one(kavri_dev_t *dev, uint32_t id, kavri_param_item_t &item) {
    std::memset(&item, 0, sizeof item);
    item.param_id = id;
    return kavri::api::param_batch_get(dev, &item, 1) != 0;
}

// The parameter id: chip information word XOR the first identity word.
bool get_param_id(kavri_dev_t *dev, int32_t &id) {
    kavri_param_item_t chip{}, uid{};
    if (!read_one(dev, KAVRI_PARAM_CHIP_INFO, chip) || !read_one(dev, KAVRI_PARAM_UID, uid)) {
        KV_ERR("[%s] Get chip info failed\n", kTagId);
        return false;
    }
    id = static_cast<int32_t>(kavri::le::get_u32(chip.param_val + kChipInfoIdOff) ^
                              kavri::le::get_u32(uid.param_val + kUidIdOff));
    return true;
}

char *format_name(kavri_dev_t *dev, char *buf, uint32_t size, const char *pattern,
                  const char *tag) {
    if (dev == nullptr || buf == nullptr || size == 0) return nullptr;
    int32_t id = 0;
    if (!get_param_id(dev, id)) return nullptr;
    const char *prefix = dev->path != nullptr ? dev->path : kavri::g_path_prefix;
    const int len = snprintf(buf, size, pattern, prefix, id);
    // A cut name names another file: the cache would be written under one
    // name and looked for under the other.
    if (len < 0 || static_cast<uint32_t>(len) >= size) {
        KV_ERR("[%s] file name under %s needs %d bytes, the buffer holds %u\n", tag, prefix,
               len + 1, size);
        buf[0] = '\0';
        return nullptr;
    }
    return buf;
}

}  // namespace

namespace kavri::param {

char *get_param_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size) {
    return format_name(dev, buf, size, "%skavri_param_%d.bin", "kavri_get_param_absolute_name");
}

char *get_param_lens_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size) {
    return format_name(dev, buf, size, "%skavri_param_lens_%d.txt",
                       "kavri_get_param_lens_absolute_name");
}

}  // namespace kavri::param

extern "C" KAVRI_API char *kavri_get_param_absolute_name(kavri_dev_t *dev, char *buf,
                                                         uint32_t size) {
    return kavri::param::get_param_absolute_name(dev, buf, size);
}

extern "C" KAVRI_API char *kavri_get_param_lens_absolute_name(kavri_dev_t *dev, char *buf,
                                                              uint32_t size) {
    return kavri::param::get_param_lens_absolute_name(dev, buf, size);
}
