// The temporal filter's settings and restarts as the camera API reaches them.
// Drivers without the filter answer "not supported" and ignore restarts.
#pragma once

#include <cstdint>

#include "kavri/types.h"

namespace kavri::drv {

// Starts the device's temporal filter history afresh with its next frame
// (capture start, frame rate change, replay seek). Any thread; takes no lock.
void restart_history(kavri_drv_t *drv);
// Motion threshold (mm, 1..60000) and hole persistence (frames, 0..100).
// 1 set, 0 out of range (ERR line) or no filter in this driver.
int temporal_set(kavri_drv_t *drv, uint16_t motion_mm, uint8_t hole_frames);
// 1 with the filter on, 0 off or no filter; each pointer may be null.
int temporal_get(kavri_drv_t *drv, uint16_t *weight_permille, uint16_t *motion_mm,
                 uint8_t *hole_frames);

}  // namespace kavri::drv
