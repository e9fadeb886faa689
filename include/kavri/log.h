/*
 * Levelled logger, capture error names and the working path.
 *
 * One process-wide logger serves the whole library. It has three sinks, each
 * with its own threshold: the console (standard output), a log file, and an
 * application callback. A message of level L reaches a sink when
 * L >= that sink's threshold. Levels are KV_LOG_TRC (0) .. KV_LOG_ERR (4);
 * KV_LOG_OFF (5) as a threshold silences a sink.
 */
#ifndef KAVRI_LOG_H
#define KAVRI_LOG_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Sink indexes for kv_log_enable() and kv_log_get_level(). */
#define KV_LOG_SINK_CONSOLE 0u  /* standard output; initial threshold KV_LOG_WRN */
#define KV_LOG_SINK_FILE 1u     /* the log file; initial threshold KV_LOG_DBG */
#define KV_LOG_SINK_CALLBACK 2u /* kavri_log_set_callback(); initially KV_LOG_OFF */
/* Former name of sink 2, whose threshold was stored without feeding any output. */
#define KV_LOG_SINK_SPARE KV_LOG_SINK_CALLBACK

/*
 * Writes one message to every sink whose threshold level reaches.
 * Console and file get "YYYY/MM/DD hh:mm:ss.mmm[thread id][tag] " and then
 * the message; the file is flushed after each message, the console is not.
 * The callback gets the message alone (see kavri_log_set_callback).
 * tag: printed as given (the library pairs "TRC" .. "ERR" with the levels);
 * NULL prints as empty. fmt: printf format; NULL logs an empty message.
 * Returns 0. Any thread; lines of concurrent callers may interleave on the
 * console. Blocks only for the file write and the callback.
 */
KAVRI_API int kv_log(unsigned level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
/* As kv_log(), but console and file get the message alone, with no time
 * stamp and no tag. fmt NULL writes nothing. */
KAVRI_API void kv_log_raw(unsigned level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
/*
 * Sets the threshold of one sink (KV_LOG_SINK_*) to level. For the file sink
 * it also opens the log file for appending: file_name NULL keeps the open
 * file, or opens "kv.log" in the current directory when none is open; the
 * name of the open file keeps it; another name closes it and opens that one
 * (the library keeps its own copy of the name).
 * Returns 1 on success; 0 for an unknown sink (nothing changes) or when the
 * file cannot be opened (then "cannot open file NAME for write" goes to
 * standard error, no file is open and the threshold stays as set).
 * Any thread; thresholds are plain atomic stores.
 */
KAVRI_API int kv_log_enable(unsigned sink, unsigned level, const char *file_name);
/* Sets every threshold to KV_LOG_OFF and closes the log file. The callback
 * stays registered but receives nothing until its threshold is lowered.
 * Returns the result of fclose() on the log file, or 0 when none was open. */
KAVRI_API int kv_log_disable(void);
/* Current threshold of a sink (KV_LOG_OFF for an unknown sink). */
KAVRI_API unsigned kv_log_get_level(unsigned sink);

/*
 * An application's log sink. level: the message's level (KV_LOG_TRC ..
 * KV_LOG_ERR); text: the formatted message without time stamp or tag and
 * without its trailing line end, e.g. "[kavri_dev_open] Load calibration
 * data failed"; the text belongs to the library and is valid only during the
 * call. user: the pointer given to kavri_log_set_callback().
 */
typedef void (*kv_log_callback_t)(unsigned level, const char *text, void *user);

/*
 * Registers cb (NULL: none) to receive, beside the console and the file,
 * every message whose level reaches the threshold of KV_LOG_SINK_CALLBACK.
 * That threshold starts at KV_LOG_OFF: set it with
 * kv_log_enable(KV_LOG_SINK_CALLBACK, level, NULL).
 *
 * Threads: cb is called on whichever thread logs (application threads and
 * each device's event thread), possibly on several threads at once, so it
 * must be thread-safe. The logger holds no lock of its own while cb runs,
 * but the code that logs may hold a device's internal lock: cb must return
 * promptly, must not throw, and must not call into the library other than
 * kv_log() (whose messages, logged from inside cb, skip the callback and go
 * to the console and file only). Calling kavri_log_set_callback() from
 * inside cb is refused.
 *
 * When this call returns, the previous callback is running on no thread and
 * will not be called again, so its user data may be freed. It waits for
 * calls of the previous callback that are under way.
 * Returns 1; 0 when called from inside a callback (nothing changes).
 */
KAVRI_API int kavri_log_set_callback(kv_log_callback_t cb, void *user);

/*
 * Sets the console threshold and the file threshold (keeping the open log
 * file, or opening "kv.log" when none is open) and the USB transport's debug
 * level, all on the log level scale 0 .. 5. The USB level applies to USB
 * contexts created afterwards; it is skipped when the transport is not linked.
 */
KAVRI_API void kavri_log_cfg(int console_level, int file_level, int usb_level);
/* Name of a capture error code (KAVRI_OK, KAVRI_ERR_CAP_*): "OK",
 * "KAVRI_ERR_CAP_STALL", ...; "**UNKNOWN**" for any other value. Never NULL;
 * the string is constant. */
KAVRI_API const char *kavri_error_name(int32_t code);

/*
 * Sets the working path prefix, put in front of the names of the files the
 * library keeps (calibration cache, lens parameters). path is copied (at
 * most 255 characters, longer is cut; NULL means empty) and used as given,
 * so end it with a separator. Every directory level of it is created when
 * missing. Returns 0, or -1 when the last directory cannot be created.
 * Call it before opening devices, not while one is in use.
 */
KAVRI_API int kavri_path_cfg(const char *path);
/* The working path prefix: the library's own 256-byte buffer (".\\" after
 * kavri_init()); do not free it. */
KAVRI_API char *kavri_path_get(void);

KAVRI_END_DECLS

#endif /* KAVRI_LOG_H */
