/* Camera API: devices, parameter and register batches, capture, frame conversion, frame files,
 * library start and stop. */
#ifndef KAVRI_API_H
#define KAVRI_API_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* ---- devices, batches and capture ---------------------------------------
 *
 * Results: 1 success, 0 failure unless a call says otherwise.
 *
 * Devices. Each open handle is independent: several cameras, of the same
 * model or not, may be open and used at once from any threads; nothing one
 * of them does (parameters, filters, calibration, frequency, close) changes
 * another's results. The colour map and the lens parameter file are the
 * only library-wide state.
 *
 * Threads, per device. Every call may come from any application thread, and
 * calls on one device may run concurrently, with these rules:
 * - Commands (parameter and register batches, reset, the capture's start
 *   and stop, data transfer, and the commands the chip driver sends itself
 *   while frames are fetched and converted) are serialised per device: each
 *   batch or sequence runs whole, and a command waits for the one in front
 *   of it (each exchange is bounded: about 1 to 3 s for a camera that does
 *   not answer, 6 s for a data block).
 * - Conversions (kavri_frame_get_distance, _gray, the point clouds) of one
 *   device may run on several threads; they take the driver's state one
 *   frame at a time, so a filter switch, an offset, a frequency change or a
 *   calibration mount from another thread applies from a frame boundary on.
 * - Only one fetching call (kavri_cap_get_frames, kavri_cap_get_frame,
 *   kavri_cap_snapshot, kavri_cap_wait) runs on a device at a time; a second
 *   one, concurrent or from inside a callback, is refused (-1 or false).
 * - Callbacks run on the application thread that waits inside a fetching
 *   call, never on the library's USB thread, and with no library lock held.
 * - kavri_dev_open blocks while it opens the camera and, for an EPC camera,
 *   mounts its calibration: seconds when the calibration package must be
 *   pulled from the camera. Calls on the handle from other threads during
 *   the open are refused (bad-handle line).
 *
 * From inside a callback an application may: read and write parameters and
 * registers, convert the frame it was given (its data pointer is valid only
 * during the call), set callbacks, stop the capture, close the device, and
 * open it again after the close.
 *
 * Close. kavri_dev_close may be called at any moment from any thread:
 * calls that start on a closing handle are refused with the bad-handle line;
 * calls in progress return (waits end with -2 or false, commands in flight
 * are cancelled and fail); the close waits for them (a warning after 3 s,
 * then for as long as an application callback keeps one of them), then
 * stops the capture, closes the camera and frees the device. When it returns
 * the handle reads as closed (its ll is NULL) and may be opened again.
 * A close from inside a callback does all of this except the free, which
 * happens when the waiting call that ran the callback returns (-2 or false);
 * that waiting call may already find the handle opened again. A second close
 * of a handle that is closing waits for the first and returns with it
 * (from inside a callback: at once).
 *
 * Reset. kavri_dev_reset waits for the command in front of it. Target 3
 * (the camera's interface reset) takes the camera off the bus and reopens
 * it: a running capture is stopped first (its waiters return -2 or false),
 * commands of other threads wait until the camera is back (about 0.3 s, at
 * most 3 s), then work again; if the camera does not return, they fail until
 * the handle is closed. */

/* Frame-ready callback: the frame's description and its bytes (in the
 * application's buffer of the running kavri_cap_get_frames, or in a library
 * scratch buffer). */
typedef void (*kavri_cap_frame_cb_t)(kavri_dev_t *dev, kavri_frame_t *frame);
/* Error callback: error is a KAVRI_ERR_CAP_* code, arg goes with it (the
 * discarded-frame count for KAVRI_ERR_CAP_FRAME_DISCARD). Return 1 to go on,
 * 0 to stop delivering frames until the next kavri_cap_start. */
typedef uint8_t (*kavri_cap_error_cb_t)(kavri_dev_t *dev, int32_t error, uint32_t arg);

/* Fills up to n caller-owned records (zeroing all n) with the attached cameras, located by bus
 * and port, ready for kavri_dev_open; returns the count, 0 for list NULL or n <= 0 (ERR line).
 * Enumerates the USB bus: a few milliseconds; any thread. */
KAVRI_API int kavri_dev_list(kavri_dev_t *list, int n);
/* dev NULL opens the first camera into the library's default record. A
 * handle that is still open is closed first. Blocks: see "kavri_dev_open
 * blocks" above. Returns dev, or NULL with the handle closed. */
KAVRI_API kavri_dev_t *kavri_dev_open(kavri_dev_t *dev);
/* Opening by file descriptor is not supported on this platform: always NULL, nothing changes. */
KAVRI_API kavri_dev_t *kavri_dev_open_by_fd(kavri_dev_t *dev, int fd);
/* The device's own chip driver record (valid while the handle is open; no
 * other device shares it), NULL when closed. */
KAVRI_API kavri_drv_t *kavri_dev_get_drv(kavri_dev_t *dev);
/* target 0..8; the camera defines what each one resets (see "Reset" above).
 * Blocks for the reset's commands. */
KAVRI_API int kavri_dev_reset(kavri_dev_t *dev, uint32_t target);
/* See "Close" above; never fails. */
KAVRI_API void kavri_dev_close(kavri_dev_t *dev);

/* Writes count 32-bit registers from reg_base of register space target (the camera defines the
 * spaces) from values. A command: waits for the command in front of it. 1 written, 0 for a closed
 * handle or a failed exchange. */
KAVRI_API int kavri_reg_batch_write(kavri_dev_t *dev, uint8_t target, uint32_t reg_base,
                                    uint32_t *values, uint16_t count);
/* Reads count 32-bit registers from reg_base of register space target into values (count entries,
 * caller-owned). A command, as kavri_reg_batch_write; 1 read, 0 on failure (values then undefined).
 */
KAVRI_API int kavri_reg_batch_read(kavri_dev_t *dev, uint8_t target, uint32_t reg_base,
                                   uint32_t *values, uint16_t count);
/* Sets count parameters (KAVRI_PARAM_*) in one command; items are caller-owned and only read.
 * Items travel with the low byte of param_id and the first 18 value bytes; the chip driver hears
 * of each change (frequency, integration time) in the same step. A command: waits for the one in
 * front of it. 1 when the camera took them, 0 for a closed handle, items NULL, count <= 0 or a
 * failed exchange. */
KAVRI_API int kavri_param_batch_set(kavri_dev_t *dev, kavri_param_item_t *items, int count);
/* Reads count parameters: param_id (low byte) and param_val_len of each item are the request, the
 * camera's values replace param_val and param_val_len. A command, as kavri_param_batch_set. 1
 * read, 0 on failure, with the items left as they were. */
KAVRI_API int kavri_param_batch_get(kavri_dev_t *dev, kavri_param_item_t *items, int count);

/* Nominal raw frame size: frame buffer sizes count in these. */
#define KAVRI_CAP_FRAME_BYTES 307200u

/* Frames kept waiting = size / KAVRI_CAP_FRAME_BYTES (at least 2 to start);
 * only while the capture is stopped. buf is not used. */
KAVRI_API int kavri_cap_set_frame_buffer(kavri_dev_t *dev, void *buf, uint32_t size);
/* *buf is set to NULL (the library keeps its own frames); *size to the frame room in bytes (frames
 * kept x KAVRI_CAP_FRAME_BYTES), 0 for a closed handle. Either pointer may be NULL. Always 1. */
KAVRI_API int kavri_cap_get_frame_buffer(kavri_dev_t *dev, void **buf, uint32_t *size);
/* Sets (NULL removes) the frame-ready callback; it runs inside the fetching calls on the waiting
 * thread. Takes effect for the next frame; ignored (bad-handle line) on a closed handle. */
KAVRI_API void kavri_cap_set_callback_on_frame_ready(kavri_dev_t *dev, kavri_cap_frame_cb_t cb);
/* Sets (NULL removes) the capture error callback; it runs inside the fetching calls on the waiting
 * thread. Ignored (bad-handle line) on a closed handle. */
KAVRI_API void kavri_cap_set_callback_on_error(kavri_dev_t *dev, kavri_cap_error_cb_t cb);
/* 1 while a capture runs on the device, 0 when stopped or the handle is closed. Does not block. */
KAVRI_API int kavri_cap_is_ongoing(kavri_dev_t *dev);
/* Starts the capture (a running one is stopped and started again); needs room for at least 2 frames
 * (kavri_cap_set_frame_buffer). A command: waits for the one in front of it. 1 started, 0 for a
 * closed handle, too small a frame room or a camera that refused. */
KAVRI_API int kavri_cap_start(kavri_dev_t *dev);
/* Stops a running capture: the camera is told to stop and the transfers in flight are waited for
 * (bounded by the USB timeouts); waiters return -2 or false. 1, or 0 for a closed handle. */
KAVRI_API int kavri_cap_stop(kavri_dev_t *dev);
/* Waits for n frames, copied one after the other into buf (size bytes);
 * info receives the first frame's description. Returns the frames received
 * (0..n), -1 for bad arguments, -2 when not capturing, or the pending
 * negative capture error. The wait is limited to
 * 2000 + n x 100 + n x (1000 / frame rate) ms. */
KAVRI_API int kavri_cap_get_frames(kavri_dev_t *dev, int n, void *buf, uint32_t size,
                                   kavri_frame_info_t *info);
/* Like kavri_cap_get_frames for one frame, without waiting: 1 delivered,
 * 0 none ready. */
KAVRI_API int kavri_cap_get_frame(kavri_dev_t *dev, void *buf, uint32_t size,
                                  kavri_frame_info_t *info);
/* One frame into buf, as kavri_cap_get_frames for n 1; when no capture runs it is started and
 * stopped around the frame (commands; blocks up to the kavri_cap_get_frames limit). */
KAVRI_API int kavri_cap_snapshot(kavri_dev_t *dev, void *buf, uint32_t size,
                                 kavri_frame_info_t *info);
/* Delivers frames to the callbacks until the capture stops (1) or timeout_ms
 * passes (0); timeout_ms 0 waits without limit. Frames that arrive faster
 * than the callback handles them do not keep it past timeout_ms (by at most
 * the callback's own time for one frame). */
KAVRI_API int kavri_cap_wait(kavri_dev_t *dev, uint32_t timeout_ms);

/* ---- end of devices, batches and capture ---- */

/* ---- frame conversion, point clouds, filter switch, frame files ----------
 *
 * Conversions take a raw frame as a fetching call delivered it, with its
 * description. Results are pixel or point counts (0 on failure). */

/* Lens parameters given by the application for the point clouds. */
typedef struct kavri_lens_param {
    float cx, cy;     /* principal point, pixels */
    float fx, fy;     /* focal lengths, pixels */
    float dist_scale; /* factor applied to every distance before projection */
} kavri_lens_param_t;

/* Distance in metres (gray: the driver's gray values) into dst, width x
 * height floats of dst_len. The decode works in the second half of dst: no
 * memory is allocated. */
KAVRI_API int kavri_frame_get_distance(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                       const void *raw, uint32_t raw_len,
                                       const kavri_frame_info_t *info);
/* The gray (amplitude) image as floats in the driver's gray units; arguments and result as
 * kavri_frame_get_distance. */
KAVRI_API int kavri_frame_get_gray(kavri_dev_t *dev, float *dst, uint32_t dst_len, const void *raw,
                                   uint32_t raw_len, const kavri_frame_info_t *info);
/* Points (x, y, z in metres, camera frame: x right, y down, z forward) of
 * the pixels with 0 < distance < 60 m, distance taken along each pixel's
 * ray. lens NULL: the driver's lens parameters for width x height. */
KAVRI_API int kavri_frame_get_pcl(kavri_dev_t *dev, float *dst, uint32_t dst_len, const float *dist,
                                  uint32_t dist_len, uint32_t width, uint32_t height,
                                  const kavri_lens_param_t *lens);
/* Four floats a point: x, y, z, then the scaled distance, or with color the
 * library colour of the distance in mm as a number. */
KAVRI_API int kavri_frame_get_pcl_xyzd(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                       const float *dist, uint32_t dist_len, uint32_t width,
                                       uint32_t height, uint8_t color,
                                       const kavri_lens_param_t *lens);
/* The chip driver's filter switch (ids KAVRI_FILTER_*): 1 or 0, -1 without a
 * device or driver. On an open handle the switch waits for the command in
 * front of it (a few switches send one; a reconnect gives them again). */
KAVRI_API int kavri_filter_enable(kavri_dev_t *dev, int filter_id, const void *arg,
                                  uint32_t arg_size);
/* Switches the driver's filter filter_id off: 1 done, 0 refused or not supported by the driver, -1
 * without a device or driver. */
KAVRI_API int kavri_filter_disable(kavri_dev_t *dev, int filter_id);

/* Frame files: a header line, then frames of width x height values. The
 * header is written (and read) only at file position 0. */
#define KAVRI_FRAME_SAVE_FLOAT32 0
#define KAVRI_FRAME_SAVE_UINT32 1
#define KAVRI_FRAME_SAVE_UINT16 2
#define KAVRI_FRAME_SAVE_UINT8 3

/* Writes distances (metres) to the file descriptor fd in format KAVRI_FRAME_SAVE_FLOAT32, _UINT32
 * or _UINT16 (integers in mm); the header line goes first when fd is at position 0. Only whole
 * frames of width x height of the count values are written. 1 written, 0 for a wrong format or size
 * or a failed write (ERR line). Blocks for the write. */
KAVRI_API int kavri_frame_save_distance(int fd, int format, const float *data, uint32_t count,
                                        uint32_t width, uint32_t height);
/* Writes at most one frame of gray values to fd in format KAVRI_FRAME_SAVE_UINT16 or _UINT8, with
 * the header line when fd is at position 0. 1 written, 0 for a wrong format or size or a failed
 * write (ERR line). */
KAVRI_API int kavri_frame_save_gray(int fd, int format, const float *data, uint32_t count,
                                    uint32_t width, uint32_t height);
/* One frame into dst (at most dst_len values); returns the values stored. */
KAVRI_API int kavri_frame_load_distance(int fd, float *dst, int dst_len, uint32_t *width,
                                        uint32_t *height);
/* One frame of gray values from fd into dst; width and height receive the header's geometry. As
 * kavri_frame_load_distance. */
KAVRI_API int kavri_frame_load_gray(int fd, float *dst, int dst_len, uint32_t *width,
                                    uint32_t *height);

/* ---- end of frame conversion and frame files ---- */

KAVRI_END_DECLS

#endif /* KAVRI_API_H */
