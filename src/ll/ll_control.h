// Transport controls the camera layer needs beyond the operation table.
#pragma once

#include "kavri/types.h"

namespace kavri::ll {

// on: every command in flight on the record ends at once (its transfer is
// cancelled) and every new one fails, until the same call with off. Used by
// a close, so that no call stays inside the transport while it waits for
// them. Any thread but the device's event thread.
void ll_interrupt(kavri_ll_t *ll, bool on);

// True once a transfer or command of the record ended because the camera
// left the bus, until the record is opened again. False for records of
// other transports (a replay). Any thread; does not block.
bool ll_link_lost(const kavri_ll_t *ll);

// Closes the record's handle (its event thread and ring included) and opens
// the camera at `at` (any bus and port) into the same record; false when it
// cannot be opened there, and the record then has no handle until the next
// reopen or its close. The caller holds the device's command lock; not on
// the device's event thread.
bool ll_dev_reopen_at(kavri_ll_t *ll, const kavri_usb_info_t &at);

// Closes the record's handle but keeps the record (for a later reopen or
// close). Same conditions as ll_dev_reopen_at.
void ll_drop_handle(kavri_ll_t *ll);

}  // namespace kavri::ll
