/* Driver registry, transport dispatch and the USB transport's table. */
#ifndef KAVRI_LL_H
#define KAVRI_LL_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* The USB transport, the only transport. */
KAVRI_API extern const kavri_ll_op_t ll_op_usb;

/* The chip driver whose code is the middle field of the product string
 * ("<model>-<chip>-<variant>"), or NULL. The returned registry entry is a
 * template that the library never changes: every opened device gets its own
 * copy with its own driver state (kavri_dev_get_drv), so devices with the
 * same chip code share nothing but the operation table. */
KAVRI_API kavri_drv_t *kavri_drv_find(const kavri_dev_t *dev);

/* Library-wide transport calls. */
KAVRI_API uint8_t kavri_ll_init(void);
/* Ends the transport's library-wide state; call it after every record is closed. Safe to call
 * twice. */
KAVRI_API void kavri_ll_uninit(void);
/* level is a log level (0 TRC .. 5 off); mapped to the USB library's level
 * for every USB context created from now on. */
KAVRI_API void kavri_ll_set_debug(uint32_t level);

/* Fills at most max records, one per attached camera; returns the count. */
KAVRI_API int32_t kavri_ll_dev_list(kavri_ll_t *list, int32_t max);

/* Open: a located record opens the camera at its bus and port, a zeroed one
 * the first camera that can be opened. Returns ll or NULL. */
KAVRI_API kavri_ll_t *kavri_ll_dev_open(kavri_ll_t *ll);
/* Opens as kavri_ll_dev_open does (no file descriptor is taken over on this platform). */
KAVRI_API kavri_ll_t *kavri_ll_dev_open_by_fd(kavri_ll_t *ll);
/* Stops the record's streaming (waiting for the transfers in flight), joins its event thread,
 * closes the camera and frees the record's state (ll->state NULL afterwards). A record that is
 * not open only gets a warning line. */
KAVRI_API void kavri_ll_dev_close(kavri_ll_t *ll);

/* Threads. These dispatch calls hold no lock: the camera API serialises the
 * commands of its handles itself, but an application that calls kavri_ll_*
 * directly on a record from several threads must keep one exchange from
 * overlapping another (the camera answers the status poll for the last
 * command it saw). kavri_ll_dev_close must not run beside another call on
 * the record.
 *
 * Commands: dir nonzero writes buf to the camera, 0 sends buf as the request
 * and reads the reply of the same length into it. type is narrowed to 8
 * bits, value to 16 bits. Results are 1 on success, 0 on failure. */
KAVRI_API uint8_t kavri_ll_exe_cmd(kavri_ll_t *ll, uint32_t dir, uint32_t type, uint32_t value,
                                   void *buf, uint32_t len, uint32_t timeout_ms);
/* Bulk data send; bytes sent or a negative USB error code, 0 for a null record. */
KAVRI_API int32_t kavri_ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len);
/* Resets target (0..8, the camera defines each); target 3 takes the camera off the bus and
 * reopens it on the same record (about 0.3 s, at most 3 s). 1 done, 0 on failure. */
KAVRI_API uint8_t kavri_ll_dev_reset(kavri_ll_t *ll, uint32_t target);
/* Writes count 32-bit registers of space target from base (values caller-owned), then checks the
 * camera's status. 1, or 0 on failure. */
KAVRI_API uint8_t kavri_ll_reg_write(kavri_ll_t *ll, uint32_t target, uint32_t base,
                                     uint32_t *values, uint32_t count);
/* Reads count 32-bit registers of space target from base into values. 1, or 0 on failure. */
KAVRI_API uint8_t kavri_ll_reg_read(kavri_ll_t *ll, uint32_t target, uint32_t base,
                                    uint32_t *values, uint32_t count);
/* Sends count 20-byte parameter items as they are and checks the camera's status. 1, or 0 on
 * failure (too many items for one command included). */
KAVRI_API uint8_t kavri_ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
/* Sends count items as the request; the camera's values replace them. 1, or 0 on failure. */
KAVRI_API uint8_t kavri_ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);

/* Streaming. cb runs on the device's event thread for every completed stream
 * transfer; it may call kavri_ll_cap_abort but no other call on the device. */
KAVRI_API uint8_t kavri_ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb,
                                     void *cb_arg);
/* Stops streaming: no more resubmits, the transfers in flight are cancelled, and the camera is
 * told to stop. 1 when the camera took the stop command, 0 otherwise. */
KAVRI_API uint8_t kavri_ll_cap_stop(kavri_ll_t *ll);
/* Lets the transfers in flight finish without resubmitting them. */
KAVRI_API void kavri_ll_cap_abort(kavri_ll_t *ll);

KAVRI_END_DECLS

#endif /* KAVRI_LL_H */
