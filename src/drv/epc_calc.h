// The EPC driver's calibration store and row order as the driver's own parts
// call them. Each is the exported call of the same name with the "epc_"
// prefix dropped (calc_dcs_sort keeps its name): the same checks, messages
// and results. The driver calls these, never the exported symbols, which an
// application may replace.
#pragma once

#include <cstdint>

#include "kavri/types.h"

namespace kavri::epc {

uint8_t calc_init(kavri_drv_t *drv);
void calc_uninit(kavri_drv_t *drv);
int32_t calc_mount_calib(kavri_drv_t *drv);
void calc_unmount_clib(kavri_drv_t *drv);
uint8_t calc_calib_loaded(kavri_drv_t *drv);
void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height);
void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height);

}  // namespace kavri::epc
