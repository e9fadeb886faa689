// The ONI writer's calls as its own parts make them. Each is the exported
// call of the same name with the "oni_" prefix dropped (AsString keeps its
// name): the same checks, messages and results. The writer calls these,
// never the exported symbols, which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/oni.h"

namespace kavri::oni {

void stream_close(oni_stream_t *stream);
// The node kind's name in the file ("Depth", "Image", ...).
const char *AsString(int32_t kind);

}  // namespace kavri::oni
