// The EPC driver's traffic with its camera: parameters and sensor registers
// through the camera API's batch calls on the driver record's device.
#pragma once

#include <cstdint>

#include "kavri/types.h"

namespace kavri::epc {

constexpr uint8_t kTargetSensor = 1;

// Reads parameter id into value (up to len bytes, zero-filled beyond the
// camera's bytes). False on a failed transfer or without a device.
bool param_read(kavri_drv_t *drv, uint32_t id, void *value, uint8_t len);
// Writes len value bytes as parameter id.
bool param_write(kavri_drv_t *drv, uint32_t id, const void *value, uint8_t len);
bool reg_write(kavri_drv_t *drv, uint8_t target, uint32_t base, uint32_t *values, uint16_t count);
bool reg_read(kavri_drv_t *drv, uint8_t target, uint32_t base, uint32_t *values, uint16_t count);
// Sensor registers (_epc_reg_rw): dir 'w' or 'r', count registers from
// address. 0, or -1 on failure.
int32_t reg_rw(kavri_drv_t *drv, uint8_t dir, uint32_t address, uint32_t count, uint32_t *values);

}  // namespace kavri::epc
