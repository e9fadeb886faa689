// The transport dispatch and the driver registry as the other areas call
// them. Each is the exported call of the same name with the "kavri_" prefix
// dropped: the same checks and results. Other areas call these, never the
// exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/types.h"

namespace kavri::ll {

uint8_t ll_init();
void ll_uninit();
void ll_set_debug(uint32_t level);
int32_t ll_dev_list(kavri_ll_t *list, int32_t max);
kavri_ll_t *ll_dev_open(kavri_ll_t *ll);
kavri_ll_t *ll_dev_open_by_fd(kavri_ll_t *ll);
void ll_dev_close(kavri_ll_t *ll);
uint8_t ll_exe_cmd(kavri_ll_t *ll, uint32_t dir, uint32_t type, uint32_t value, void *buf,
                   uint32_t len, uint32_t timeout_ms);
int32_t ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len);
uint8_t ll_dev_reset(kavri_ll_t *ll, uint32_t target);
uint8_t ll_reg_write(kavri_ll_t *ll, uint32_t target, uint32_t base, uint32_t *values,
                     uint32_t count);
uint8_t ll_reg_read(kavri_ll_t *ll, uint32_t target, uint32_t base, uint32_t *values,
                    uint32_t count);
uint8_t ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
uint8_t ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
uint8_t ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg);
uint8_t ll_cap_stop(kavri_ll_t *ll);
void ll_cap_abort(kavri_ll_t *ll);

// The registry entry of the device's chip code, or null (kavri_drv_find).
kavri_drv_t *drv_find(const kavri_dev_t *dev);

}  // namespace kavri::ll
