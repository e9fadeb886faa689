// Shared pieces of the image filters: argument checks, fatal allocation
// failure, clamped indexing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/log_internal.h"

namespace kavri::filter {

// Exit status of the process when a filter cannot get its working memory.
constexpr int kExitNoMemory = -3;

// The 3x3 and 5x5 filters need at least two rows and two columns.
constexpr int kMinSide = 2;

// Logs the size message of the fixed-size filters; true when the call may go on.
inline bool check_size(const char *func, const void *dst, const void *src, int width, int height) {
    if (dst == nullptr || src == nullptr || width < kMinSide || height < kMinSide) {
        KV_ERR("[%s]  wrong parameter:w/h=%d/%d\n", func, width, height);
        return false;
    }
    return true;
}

[[noreturn]] inline void die_no_memory(const char *func) {
    KV_ERR("[%s] malloc failed\n", func);
    std::exit(kExitNoMemory);
}

inline size_t pixel_count(int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height);
}

inline int clamp_index(int i, int n) {
    return std::clamp(i, 0, n - 1);
}

// Row pointer of row y clamped into the image.
template <typename T>
inline T *clamped_row(T *img, int y, int width, int height) {
    return img + static_cast<size_t>(clamp_index(y, height)) * static_cast<size_t>(width);
}

}  // namespace kavri::filter
