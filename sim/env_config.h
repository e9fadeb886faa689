// Camera defaults from the environment (CAMSIM_* keys, see README.md).
#pragma once

#include "camsim.h"

namespace camsim {

void default_config(camsim_camera_config_t &cfg);  // reads the environment
int env_camera_count();                            // CAMSIM_CAMERAS, default 1

}  // namespace camsim
