/* Levelled logger, capture error names and the working path. */
#ifndef KAVRI_LOG_H
#define KAVRI_LOG_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Log sinks: 0 console (stdout), 1 log file, 2 stored threshold only. */
#define KV_LOG_SINK_CONSOLE 0u
#define KV_LOG_SINK_FILE 1u
#define KV_LOG_SINK_SPARE 2u

KAVRI_API int kv_log(unsigned level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
KAVRI_API void kv_log_raw(unsigned level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
KAVRI_API int kv_log_enable(unsigned sink, unsigned level, const char *file_name);
KAVRI_API int kv_log_disable(void);
/* Current threshold of a sink (5 for an unknown sink). */
KAVRI_API unsigned kv_log_get_level(unsigned sink);

KAVRI_API void kavri_log_cfg(int console_level, int file_level, int usb_level);
KAVRI_API const char *kavri_error_name(int32_t code);

KAVRI_API int kavri_path_cfg(const char *path);
KAVRI_API char *kavri_path_get(void);

/* Logging shorthands used inside the library: the tag follows the level. */
#define KV_TRC(...) kv_log(KV_LOG_TRC, "TRC", __VA_ARGS__)
#define KV_DBG(...) kv_log(KV_LOG_DBG, "DBG", __VA_ARGS__)
#define KV_INF(...) kv_log(KV_LOG_INF, "INF", __VA_ARGS__)
#define KV_WRN(...) kv_log(KV_LOG_WRN, "WRN", __VA_ARGS__)
#define KV_ERR(...) kv_log(KV_LOG_ERR, "ERR", __VA_ARGS__)

KAVRI_END_DECLS

#endif /* KAVRI_LOG_H */
