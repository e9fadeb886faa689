// The process-wide lens parameters of EPC cameras.
#pragma once

#include "kavri/types.h"

namespace kavri::epc {

// The record every EPC device shares; the last lens file read wins.
kv_lens_param_t &lens_param();

// Reads "<prefix>lens_param.txt" into the shared record; a missing file keeps
// the values in place.
void update_lens_param(const char *prefix);

}  // namespace kavri::epc
