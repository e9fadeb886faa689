// The stream parser's calls as the other areas make them. Each is the
// exported call of the same name with the "kv_" prefix dropped: the same
// checks and results. Other areas call these, never the exported symbols,
// which an application may replace.
#pragma once

#include <cstdint>

#include "kavri/stream.h"

namespace kavri::stream {

kv_stream_t *stream_create(kv_stream_cfg_t cfg);
void stream_destroy(kv_stream_t *s);
void stream_set_cfg(kv_stream_t *s, kv_stream_cfg_t cfg);
kv_stream_cfg_t stream_get_cfg(const kv_stream_t *s);
void stream_reset(kv_stream_t *s);
uint8_t stream_feed_input(kv_stream_t *s, const uint8_t *data, int32_t len);
// As stream_feed_input, with the piece's arrival time (monotonic ns): the
// frames it completes carry it. stream_feed_input takes the time of the call.
uint8_t stream_feed_input_at(kv_stream_t *s, const uint8_t *data, int32_t len, uint64_t t_ns);
// t_ns (may be NULL) receives the first frame's arrival time.
uint32_t stream_fetch_frames(kv_stream_t *s, uint8_t *dst, uint32_t dst_size, uint32_t wanted,
                             kv_stream_frame_info_t *info, uint8_t peek, uint64_t *t_ns = nullptr);
kv_stream_state_t *stream_get_state(kv_stream_t *s, kv_stream_state_t *out);

// True when the parser holds no part of a frame: no header, no chunk and no
// frame in assembly, not discarding. Fed from here after a reset, it yields
// what it would have yielded anyway (a replay seeks to such points). Only on
// the feeding thread.
bool stream_at_boundary(const kv_stream_t *s);

}  // namespace kavri::stream
