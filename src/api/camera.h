// The camera layer's calls that the chip drivers and the calibration pull make
// on their own device. Each is the exported call of the same name with the
// "kavri_" prefix dropped: the same checks, locks and results. Other areas
// call these, never the exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/api.h"

namespace kavri::api {

int reg_batch_write(kavri_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                    uint16_t count);
int reg_batch_read(kavri_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                   uint16_t count);
int param_batch_set(kavri_dev_t *dev, kavri_param_item_t *items, int count);
int param_batch_get(kavri_dev_t *dev, kavri_param_item_t *items, int count);
// buf is not used: the frames kept waiting are size / KAVRI_CAP_FRAME_BYTES.
int cap_set_frame_buffer(kavri_dev_t *dev, void *buf, uint32_t size);
void cap_set_callback_on_frame_ready(kavri_dev_t *dev, kavri_cap_frame_cb_t cb);
void cap_set_callback_on_error(kavri_dev_t *dev, kavri_cap_error_cb_t cb);
int cap_is_ongoing(kavri_dev_t *dev);
int cap_start(kavri_dev_t *dev);
int cap_stop(kavri_dev_t *dev);
int cap_get_frames(kavri_dev_t *dev, int n, void *buf, uint32_t size, kavri_frame_info_t *info);
void dev_close(kavri_dev_t *dev);

}  // namespace kavri::api
