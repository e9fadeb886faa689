// The name of a capture error code as the library's own messages print it:
// kavri_error_name without its prefix. The library calls this, never the
// exported symbol, which an application may replace.
#pragma once

#include <cstdint>

namespace kavri::core {

const char *error_name(int32_t code);

}  // namespace kavri::core
