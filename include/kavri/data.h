/* Data transfer and firmware upgrade: writing data images (firmware,
 * calibration data ...) into the camera's flash and reading them back.
 *
 * An image is named by an 8-bit data type and carries a 16-bit version. A
 * download announces the image, waits for the camera to erase its flash,
 * sends the image in CRC-checked blocks over bulk OUT and, for types 0 and 1,
 * resets the camera. Every call is synchronous and may take tens of seconds;
 * it occupies the device's command channel for the whole transfer.
 *
 * Entry points return 1 when the protocol ran to its end and -1 on failure
 * (a download also returns 0 when a block send moved no bytes, the negative
 * USB error of a failed block send, or KAVRI_DATA_REFUSED when the camera
 * refused the image). After a download of data type 0 to 3 that was not
 * refused, the library's log is silenced (kavri_log_cfg(5, 5, 5)) until the
 * application sets the levels again.
 */
#ifndef KAVRI_DATA_H
#define KAVRI_DATA_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* ---- wire records ------------------------------------------------------------ */
/* Command type of the data actions; the command value selects the action. */
#define KAVRI_DATA_CMD 0xCCu
#define KAVRI_DATA_ACT_INFO 0u       /* read, 16 bytes: data info */
#define KAVRI_DATA_ACT_START 1u      /* write, 12 bytes: start action */
#define KAVRI_DATA_ACT_ACK 4u        /* read, 13 bytes: acknowledgement */
#define KAVRI_DATA_ACT_STATE 5u      /* read, 9 bytes: action information of kind 5 */
#define KAVRI_DATA_ACT_ERASE 7u      /* write, 13 bytes: erase action */
#define KAVRI_DATA_ACT_PAYLOAD 0x11u /* read: payload request and its bytes */

#define KAVRI_DATA_INFO_SIZE 16u
#define KAVRI_DATA_START_SIZE 12u
#define KAVRI_DATA_ERASE_SIZE 13u
#define KAVRI_DATA_ACK_SIZE 13u
#define KAVRI_DATA_STATE_SIZE 9u
#define KAVRI_DATA_PAYLOAD_REQ_SIZE 12u
#define KAVRI_DATA_BLOCK_HEADER_SIZE 6u /* u16 CRC, u32 data length */

#define KAVRI_DATA_BLOCK_SIZE 65530u   /* image bytes per block */
#define KAVRI_DATA_UPLOAD_CHUNK 450u   /* most bytes one payload request hands over */
#define KAVRI_DATA_NO_DATA 0xFFFFFFFFu /* data info size: the camera holds no such image */
#define KAVRI_DATA_DEFAULT_UPLOAD_FILE "calib.bin"

/* Acknowledgement status values. */
#define KAVRI_DATA_ACK_READY 1u   /* erased, expecting blocks */
#define KAVRI_DATA_ACK_START 3u   /* start action accepted */
#define KAVRI_DATA_ACK_ERASING 4u /* erase in progress */

/* A download the camera refused: it acknowledged the start with another
 * status or block than 3 and 0, ended the erase with another than 1 and 0,
 * asked for a block again or for a block out of turn. An ERR line names what
 * the camera said. The board is not reset and there is no pause after a
 * refused image: the camera did not take it and runs on with what it had,
 * ready for another attempt (a reboot could start it from an erased flash).
 * Below every USB error code. */
#define KAVRI_DATA_REFUSED (-100)

/* ---- entry points on an open device ------------------------------------------ */
/* Writes the image file at path into the camera as data type `type` with
 * `version`; addr is accepted and not used. */
KAVRI_API int32_t kavri_data_download(kavri_dev_t *dev, const char *path, uint8_t type,
                                      uint16_t version, uint32_t addr);
/* The same download with the arguments in firmware order. */
KAVRI_API int32_t kavri_firmware_upgrade(kavri_dev_t *dev, uint8_t type, uint16_t version,
                                         const char *path);
/* Reads the camera's image of `type` into the file at path (NULL:
 * "calib.bin" in the working directory). A failure leaves no file behind. */
KAVRI_API int32_t kavri_data_upload(kavri_dev_t *dev, uint8_t type, const char *path);

/* ---- the engines on a transport record (no device-handle checks) --------------- */
/* kavri_firmware_upgrade on a transport record: the same protocol and results, without the
 * device handle's checks and without serialising against other commands (the caller keeps the
 * record to itself). */
KAVRI_API int32_t kavri_ll_firmware_upgrade(kavri_ll_t *ll, uint8_t type, uint16_t version,
                                            const char *path);
/* The download engine behind kavri_data_download on a transport record; unused is ignored.
 * Results as above; blocks for the whole transfer. */
KAVRI_API int32_t kavri_bin_data_write(kavri_ll_t *ll, uint8_t type, uint16_t version,
                                       uint32_t unused, const char *path);
/* The upload engine behind kavri_data_upload on a transport record (path NULL: "calib.bin" in
 * the working directory). Results as above; blocks for the whole transfer. */
KAVRI_API int32_t kavri_bin_data_read(kavri_ll_t *ll, uint8_t type, const char *path);

/* ---- helpers ------------------------------------------------------------------ */
/* CRC-16/XMODEM of len bytes (0 for len 0). */
KAVRI_API uint16_t al_data_calc_crc(const uint8_t *bytes, uint32_t len);
/* Read action `value` with len bytes of buf as request and reply (1000 ms).
 * 1 on success, 0 on failure. */
KAVRI_API int32_t al_get_data_info(kavri_ll_t *ll, uint8_t value, uint8_t *buf, uint8_t len);
/* The 12-byte payload request: stores len at offset 4 of the 12-byte record
 * buf (its other bytes as the caller left them) and reads the camera's
 * 12-byte reply into it (1000 ms). Logs an ERR line when the camera refuses;
 * returns 0 in every case. The upload fetches its chunks of up to 450 bytes
 * with a longer read of its own. */
KAVRI_API int32_t al_get_data_payload(kavri_ll_t *ll, uint8_t *buf, uint16_t len);
/* Action 4 reads a 13-byte acknowledgement, action 5 a 9-byte record into
 * out (50000 ms): 1 on success, -1 on failure. Other actions: 1, no traffic. */
KAVRI_API int32_t al_data_read_action_info(kavri_ll_t *ll, uint8_t action, uint8_t *out);
/* Checks that the file at path loads whole; stores its size in *size (0 for
 * an empty or unreadable file). 1 when loaded, -1 otherwise. */
KAVRI_API int32_t al_data_build_file_buffer(const char *path, uint32_t *size);
/* Sends a start (action 1, 12 bytes, 10000 ms), erase (7, 13 bytes,
 * 20000 ms) or kind-4 record (4, 13 bytes, 1000 ms). 1 on success, -1 on
 * failure or for any other action. */
KAVRI_API int32_t al_data_send_action_info(kavri_ll_t *ll, uint8_t action, const uint8_t *record);

/* ---- progress and pauses ---------------------------------------------------------
 * Progress of a transfer, on the calling thread:
 *   ERASE:    waiting for the flash erase; done = ms waited, total = 0 (unknown);
 *   TRANSFER: done = image bytes sent (download) or received (upload) of total;
 *   RESET:    the pause after a download (board reset or settling); done and
 *             total in ms. */
#define KAVRI_DATA_PHASE_ERASE 0u
#define KAVRI_DATA_PHASE_TRANSFER 1u
#define KAVRI_DATA_PHASE_RESET 2u
typedef void (*kavri_data_progress_cb_t)(uint32_t phase, uint32_t done, uint32_t total, void *arg);
/* NULL removes the callback. Library-wide; applies to the next transfers. */
KAVRI_API void kavri_data_set_progress_callback(kavri_data_progress_cb_t cb, void *arg);

/* The pause after a download (10 s after types 0 and 1, 7 s after 2 and 3)
 * runs through this function in steps of at most 1000 ms; NULL restores the
 * real sleep. For tools and tests that must not wait. */
typedef void (*kavri_data_sleep_fn_t)(uint32_t ms, void *arg);
/* Sets the pause function with its arg (NULL restores the real sleep). Library-wide; applies to
 * the next pauses of every transfer. */
KAVRI_API void kavri_data_set_sleep_function(kavri_data_sleep_fn_t fn, void *arg);

/* How long a download waits for the camera to finish erasing before it gives
 * up (default 180000 ms, well above any real erase); 0 restores the default. */
KAVRI_API void kavri_data_set_erase_limit(uint32_t ms);

KAVRI_END_DECLS

#endif /* KAVRI_DATA_H */
