/* Automatic reconnect: a handle that outlives its camera leaving the bus and
 * takes it back, with its settings, when it returns. */
#ifndef KAVRI_RECONNECT_H
#define KAVRI_RECONNECT_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Switches automatic reconnect on (on != 0) or off for an open handle; off
 * when a handle is opened. Returns 1; 0 for a closed handle, a recording
 * opened as a device, or when the camera watcher cannot start (no USB
 * context). Blocks while the watcher starts (it reads the identity of the
 * cameras present: milliseconds each). Any thread, not from inside a
 * device-change callback.
 *
 * While on, when the camera leaves the bus:
 * - the handle stays open and valid; kavri_dev_is_connected answers 0;
 * - the fetching calls return KAVRI_ERR_CAP_DISCONNECTED at once
 *   (kavri_cap_wait returns 0), after the error callback, if set, got
 *   KAVRI_ERR_CAP_DISCONNECTED (arg 0) on the fetching thread;
 * - commands (parameter and register batches, capture start) fail at once
 *   with 0; kavri_cap_stop and kavri_dev_close work as usual (the capture is
 *   then not restarted);
 * - a running capture counts as ongoing (kavri_cap_is_ongoing 1).
 * When a camera with the same product, identification and identity bytes
 * arrives, at any bus and port, the library opens it into the same handle
 * (dev->if_info then tells the new position), reads its calibration again
 * (reusing the cached parameter file while it is current), replays in their
 * order the parameter and register writes and the filter switches the
 * application made through this interface since the open (the latest of
 * each parameter, register block and filter), restarts a capture that was
 * running, and reports the gap: the error callback gets
 * KAVRI_ERR_CAP_RECONNECTED with the estimated frames lost (time away x the
 * frame rate) as arg, the first frame after it carries them in its
 * lost_before, and kavri_cap_stats_t counts the reconnects, the time away
 * and those frames. Any other camera that arrives is left alone.
 * Threads: the reconnect runs on a library thread, one for all handles,
 * started with the first handle switched on and ended when the last one is
 * switched off or closed; calls of the application on the handle meanwhile
 * wait for it as for any command in front of them. No application callback
 * runs on that thread.
 * Switching off while the camera is away leaves the handle disconnected
 * until it is closed. With reconnect off (the default) a camera that leaves
 * ends the capture with KAVRI_ERR_CAP_UNKNOWN, as it always did. */
KAVRI_API int kavri_dev_set_reconnect(kavri_dev_t *dev, int on);

/* 1 while the handle's camera is on the bus and usable, 0 while it is away
 * or being taken back (with reconnect on) or when the handle is closed.
 * Does not block; any thread. */
KAVRI_API int kavri_dev_is_connected(kavri_dev_t *dev);

KAVRI_END_DECLS

#endif /* KAVRI_RECONNECT_H */
