// Transport controls the camera layer needs beyond the operation table.
#pragma once

#include "kavri/types.h"

namespace kavri::ll {

// on: every command in flight on the record ends at once (its transfer is
// cancelled) and every new one fails, until the same call with off. Used by
// a close, so that no call stays inside the transport while it waits for
// them. Any thread but the device's event thread.
void ll_interrupt(kavri_ll_t *ll, bool on);

}  // namespace kavri::ll
