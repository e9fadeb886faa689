// Buffers whose allocation failure ends the process, as the rest of the
// library does for its core records.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "core/log_internal.h"

namespace kavri::param {

constexpr int kExitAllocFailed = -3;

inline std::unique_ptr<uint8_t[]> alloc_or_exit(size_t size, const char *tag) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[size]);
    if (!buf) {
        KV_ERR("[%s] malloc failed\n", tag);
        std::exit(kExitAllocFailed);
    }
    return buf;
}

}  // namespace kavri::param
