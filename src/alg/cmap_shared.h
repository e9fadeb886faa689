// The library-wide colour map used by kavri_cmap_float and the coloured point cloud.
#pragma once

#include <cstdint>

#include "kavri/cmap.h"

namespace kavri {

constexpr int32_t kSharedCmapEntries = 30000;

// Builds the shared map with kSharedCmapEntries entries (library start);
// false when its palette could not be allocated.
bool cmap_shared_init();
// Frees the shared map's palette (library stop).
void cmap_shared_uninit();
// A copy of the shared map's record; its palette stays owned by the shared map.
kv_cmap_t cmap_shared_snapshot();
// Sets the shared map's range (kv_cmap_set_range) and returns the resulting record,
// so a caller colours with the range it set even while other threads set theirs.
kv_cmap_t cmap_shared_set_range(int32_t a, int32_t b);

}  // namespace kavri
