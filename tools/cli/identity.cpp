#include "cli/identity.h"

#include <cstdio>
#include <cstring>

namespace kavri::cli {
namespace {

constexpr uint32_t kIdentityIds[] = {KAVRI_PARAM_IDENT, KAVRI_PARAM_PRODUCT, KAVRI_PARAM_UID,
                                     KAVRI_PARAM_VERSION};
constexpr size_t kIdentityCount = sizeof kIdentityIds / sizeof kIdentityIds[0];

std::string text_of(const uint8_t *p, size_t max) {
    const char *s = reinterpret_cast<const char *>(p);
    return std::string(s, strnlen(s, max));
}

std::string hex_of(const uint8_t *p, size_t n) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
    }
    return out;
}

std::string driver_of(const kavri_dev_t &dev) {
    const kavri_drv_t *drv = kavri_drv_find(&dev);
    return drv != nullptr && drv->name != nullptr ? drv->name : "none";
}

// Closes a transport record opened for the identity read.
struct TransportGuard {
    kavri_ll_t *ll;
    ~TransportGuard() { kavri_ll_dev_close(ll); }
};

}  // namespace

std::string versions_text(const uint16_t version[4]) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "HW 0x%04x SW 0x%04x BT 0x%04x", version[0], version[1],
                  version[2]);
    return buf;
}

CameraIdentity read_identity(const kavri_dev_t &listed) {
    CameraIdentity id;
    id.location = location_of(listed);
    kavri_ll_t ll{};
    ll.if_type = listed.if_type;
    std::memcpy(ll.if_info, listed.if_info, sizeof ll.if_info);
    ll.located = listed.located;
    if (kavri_ll_dev_open(&ll) == nullptr) return id;
    TransportGuard guard{&ll};

    kavri_ll_param_item_t items[kIdentityCount] = {};
    for (size_t i = 0; i < kIdentityCount; ++i)
        items[i].param_id = static_cast<uint8_t>(kIdentityIds[i]);
    if (!kavri_ll_param_get(&ll, items, kIdentityCount)) return id;

    kavri_dev_t dev = listed;
    id.ident = text_of(items[0].param_val, KAVRI_PARAM_WIRE_VAL_SIZE);
    id.product = text_of(items[1].param_val, KAVRI_PARAM_WIRE_VAL_SIZE);
    id.uid = hex_of(items[2].param_val, items[2].param_val_len < KAVRI_PARAM_WIRE_VAL_SIZE
                                            ? items[2].param_val_len
                                            : KAVRI_PARAM_WIRE_VAL_SIZE);
    for (size_t i = 0; i < 4 && 2 * i + 1 < items[3].param_val_len; ++i)
        id.version[i] =
            static_cast<uint16_t>(items[3].param_val[2 * i] | items[3].param_val[2 * i + 1] << 8);
    std::snprintf(dev.product, sizeof dev.product, "%s", id.product.c_str());
    id.driver = driver_of(dev);
    id.readable = true;
    return id;
}

CameraIdentity identity_of(kavri_dev_t *dev) {
    CameraIdentity id;
    id.location = location_of(*dev);
    id.readable = true;
    id.product = text_of(reinterpret_cast<const uint8_t *>(dev->product), sizeof dev->product);
    id.ident = text_of(reinterpret_cast<const uint8_t *>(dev->ident), sizeof dev->ident);
    size_t uid_len = sizeof dev->uid;
    while (uid_len > 0 && dev->uid[uid_len - 1] == 0) --uid_len;
    id.uid = hex_of(dev->uid, uid_len);
    std::memcpy(id.version, dev->version, sizeof id.version);
    const kavri_drv_t *drv = kavri_dev_get_drv(dev);
    id.driver = drv != nullptr && drv->name != nullptr ? drv->name : "none";
    return id;
}

}  // namespace kavri::cli
