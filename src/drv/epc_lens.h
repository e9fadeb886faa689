// The process-wide lens parameters of EPC cameras.
#pragma once

#include "kavri/types.h"

namespace kavri::epc {

// The lens parameters every EPC device shares (library-wide on purpose: one
// lens file under the working path); the last lens file read wins.
kv_lens_param_t lens_param();
void set_lens_param(const kv_lens_param_t &p);

// Reads "<prefix>lens_param.txt" into the shared record; a missing file keeps
// the values in place.
void update_lens_param(const char *prefix);

}  // namespace kavri::epc
