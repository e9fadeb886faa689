// The colour map as the shared map, the float colouring and the point cloud
// use it. Each call is the exported one with the "kv_" prefix dropped, with
// the same results and messages (which name the exported call); the library
// calls these, never the exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/cmap.h"

namespace kavri {

void cmap_init(kv_cmap_t *map, int32_t count);
void cmap_uninit(kv_cmap_t *map);
void cmap_set_range(kv_cmap_t *map, int32_t a, int32_t b);
uint32_t cmap_get_color(const kv_cmap_t *map, int32_t v);

}  // namespace kavri
