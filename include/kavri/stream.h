/* Raw stream to frame parser. */
#ifndef KAVRI_STREAM_H
#define KAVRI_STREAM_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

#define KV_STREAM_HDR_SIZE 36

KAVRI_API kv_stream_t *kv_stream_create(kv_stream_cfg_t cfg);
KAVRI_API void kv_stream_destroy(kv_stream_t *s);
KAVRI_API void kv_stream_set_cfg(kv_stream_t *s, kv_stream_cfg_t cfg);
KAVRI_API kv_stream_cfg_t kv_stream_get_cfg(const kv_stream_t *s);
KAVRI_API void kv_stream_reset(kv_stream_t *s);
/* Returns 1 when at least one frame waits in the output list after the call. */
KAVRI_API uint8_t kv_stream_feed_input(kv_stream_t *s, const uint8_t *data, int32_t len);
KAVRI_API uint32_t kv_stream_fetch_frames(kv_stream_t *s, uint8_t *dst, uint32_t dst_size,
                                          uint32_t wanted, kv_stream_frame_info_t *info,
                                          uint8_t peek);
KAVRI_API kv_stream_state_t *kv_stream_get_state(kv_stream_t *s, kv_stream_state_t *out);

KAVRI_END_DECLS

#endif /* KAVRI_STREAM_H */
