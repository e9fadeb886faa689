/* Library start and stop. */
#ifndef KAVRI_INIT_H
#define KAVRI_INIT_H

#include "types.h"

KAVRI_BEGIN_DECLS

/* The first call of an application: console log threshold 3, working path
 * "./", the log file (log_file NULL or empty: "kavri_<yyyymmdd>.log" with
 * today's local date, threshold 1; a file that cannot be opened leaves
 * console logging only), the transport layer, the library-wide colour map
 * and the calibration store. Returns 1. */
KAVRI_API int kavri_init(const char *log_file);
/* The last call, after every device is closed: releases what kavri_init set
 * up; nothing is logged afterwards until a log threshold is set again. */
KAVRI_API void kavri_uninit(void);

/* The instruction set the library's vector paths run on, as a static
 * string: "baseline", "avx2" or "avx512" on x86-64, "baseline" or "neon" on
 * arm64. The library picks the best the processor has, once, at load; the
 * environment variable KAVRI_MAX_ISA (one of those names) caps it, so that a
 * benchmark or a test can run every path on one machine. Every path gives
 * the same results. Never fails; any thread, before kavri_init() too. */
KAVRI_API const char *kavri_get_isa(void);

KAVRI_END_DECLS

#endif /* KAVRI_INIT_H */
