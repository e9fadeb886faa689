// The calibration store's calls as the other areas make them. Each is the
// exported call of the same name with the "kavri_" prefix dropped: the same
// checks, messages and results. Other areas call these, never the exported
// symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/param.h"

namespace kavri::param {

int param_init();
void param_uninit();
uint8_t param_open_file(kavri_param_t *param, const char *path);
void param_close(kavri_param_t *param);
uint8_t param_is_valid(const kavri_param_t *param);
uint32_t param_get_blk_cnt(const kavri_param_t *param);
char *get_param_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size);
char *get_param_lens_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size);
// Pulls the calibration package from the camera (calib_load.cpp).
uint8_t param_load_from_dev(kavri_dev_t *dev);
// The unpacking's progress callback (on_extract_to_folder_entry).
int on_extract_to_folder_entry(const char *filename, void *arg);

}  // namespace kavri::param
