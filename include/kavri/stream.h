/* Raw stream to frame parser: turns the camera's bulk byte stream (chunks of
 * a 36-byte header and a payload) into whole, verified frames kept in a
 * bounded output list. One thread feeds, another fetches. */
#ifndef KAVRI_STREAM_H
#define KAVRI_STREAM_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

#define KV_STREAM_HDR_SIZE 36

/* A new parser holding at most cfg.max_frames finished frames; NULL when
 * memory is short. */
KAVRI_API kv_stream_t *kv_stream_create(kv_stream_cfg_t cfg);
/* Frees the parser with every frame it holds; NULL is ignored. No other thread may use it then. */
KAVRI_API void kv_stream_destroy(kv_stream_t *s);
/* The new bound applies after the next payload bytes are stored. */
KAVRI_API void kv_stream_set_cfg(kv_stream_t *s, kv_stream_cfg_t cfg);
/* The parser's current configuration (max_frames 0 for NULL). Safe beside a feeding thread. */
KAVRI_API kv_stream_cfg_t kv_stream_get_cfg(const kv_stream_t *s);
/* Drops the held header, the frame being assembled and the waiting frames,
 * zeroes the state record and takes a new time stamp; discard mode survives.
 * Not to be called while another thread feeds. */
KAVRI_API void kv_stream_reset(kv_stream_t *s);
/* Feeds len raw bytes. Returns 1 when at least one frame waits in the output
 * list after the call. */
KAVRI_API uint8_t kv_stream_feed_input(kv_stream_t *s, const uint8_t *data, int32_t len);
/* Takes (or with peek, copies without taking) up to `wanted` frames, oldest
 * first, into dst back to back, at most dst_size bytes in all; info receives
 * the first frame's raw info. Returns the number of frames taken. Peek with
 * a NULL dst only counts. */
KAVRI_API uint32_t kv_stream_fetch_frames(kv_stream_t *s, uint8_t *dst, uint32_t dst_size,
                                          uint32_t wanted, kv_stream_frame_info_t *info,
                                          uint8_t peek);
/* Copies the counters into *out and returns out. */
KAVRI_API kv_stream_state_t *kv_stream_get_state(kv_stream_t *s, kv_stream_state_t *out);

KAVRI_END_DECLS

#endif /* KAVRI_STREAM_H */
