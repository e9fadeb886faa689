// Reading one calibration block from the local parameter file.
#pragma once

#include <cstdint>

#include "drv/epc_state.h"

namespace kavri::epc {

// Loads into st.calib the first calibration block whose frequency is freq_hz
// (any block when freq_hz is 0). A block already loaded for that frequency is
// kept. False when the file is not valid, cannot be read or has no such block.
bool load_calib_block(State &st, uint32_t freq_hz);

// Releases whatever block is loaded and clears the driver header.
void release_calib_block(CalibInfo &c);

}  // namespace kavri::epc
