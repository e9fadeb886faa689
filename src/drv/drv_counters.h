// Counters of a device's chip driver that the capture statistics report.
#pragma once

#include <cstdint>

#include "kavri/types.h"

// The EPC driver's operation table, bound inside the library.
extern "C" const kavri_drv_op_t kavri_epc_ops_internal __attribute__((visibility("hidden")));

namespace kavri::drv {

// Frames the driver's consistency check has refused since its init (0 for
// a driver without one). Any thread, while the device is open.
uint64_t refused_frames(kavri_drv_t *drv);

}  // namespace kavri::drv
