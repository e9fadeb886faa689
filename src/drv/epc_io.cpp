// Parameter and register transfers of the EPC driver.
#include "drv/epc_io.h"

#include <algorithm>
#include <cstring>

#include "api/camera.h"

namespace kavri::epc {

bool param_read(kavri_drv_t *drv, uint32_t id, void *value, uint8_t len) {
    if (drv == nullptr || drv->dev == nullptr) return false;
    kavri_param_item_t item{};
    item.param_id = id;
    item.param_val_len = len;
    if (!kavri::api::param_batch_get(drv->dev, &item, 1)) return false;
    std::memset(value, 0, len);
    std::memcpy(value, item.param_val, std::min<size_t>(len, KAVRI_PARAM_WIRE_VAL_SIZE));
    return true;
}

bool param_write(kavri_drv_t *drv, uint32_t id, const void *value, uint8_t len) {
    if (drv == nullptr || drv->dev == nullptr) return false;
    kavri_param_item_t item{};
    item.param_id = id;
    item.param_val_len = len;
    std::memcpy(item.param_val, value, std::min<size_t>(len, KAVRI_PARAM_VAL_SIZE));
    return kavri::api::param_batch_set(drv->dev, &item, 1) != 0;
}

bool reg_write(kavri_drv_t *drv, uint8_t target, uint32_t base, uint32_t *values, uint16_t count) {
    if (drv == nullptr || drv->dev == nullptr) return false;
    return kavri::api::reg_batch_write(drv->dev, target, base, values, count) != 0;
}

bool reg_read(kavri_drv_t *drv, uint8_t target, uint32_t base, uint32_t *values, uint16_t count) {
    if (drv == nullptr || drv->dev == nullptr) return false;
    return kavri::api::reg_batch_read(drv->dev, target, base, values, count) != 0;
}

}  // namespace kavri::epc
