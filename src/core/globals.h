// Library-wide state shared by several areas.
#pragma once

#include <atomic>
#include <cstddef>

#include "kavri/types.h"

namespace kavri {

constexpr size_t kPathPrefixSize = 256;

// The working path prefix, always NUL-terminated; device records point at it.
extern char g_path_prefix[kPathPrefixSize];

// The device record used when a device is opened without one.
extern kavri_dev_t g_default_dev;

// Frame rate read from the camera at the latest capture start.
extern std::atomic<int> g_cur_fps;

}  // namespace kavri
