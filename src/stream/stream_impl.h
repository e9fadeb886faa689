// The stream parser's object. Shared by the parser steps and the public calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>

#include "kavri/stream.h"
#include "stream/frame_list.h"
#include "stream/stream_hdr.h"

struct kv_stream {
    // Configuration word; written by the consumer, read by the producer.
    std::atomic<uint32_t> max_frames{0};

    // Guards `out` and the counters frames_out, frames_ready, frames_dropped.
    mutable std::shared_mutex lock;
    kavri::stream::FrameQueue out;
    uint32_t frames_out = 0;
    // Changed under the lock only; read without it where a value that is
    // not the latest will do: the feed's "a frame waits" answer, and the
    // producer's check whether the bound could be exceeded (only the
    // producer raises the count, so a stale value is never too low there).
    std::atomic<uint32_t> frames_ready{0};
    uint32_t frames_dropped = 0;
    uint32_t t_sec = 0;
    uint32_t t_usec = 0;
    // Written by the producer alone, read by get_state without the lock.
    std::atomic<uint32_t> frames_done{0};
    std::atomic<uint32_t> frames_discarded{0};
    std::atomic<uint32_t> bytes_skipped{0};

    kavri::stream::NodePool pool;

    // ---- producer-only state (the feeding thread) ----
    uint64_t feed_t_ns = 0;  // arrival time of the piece being fed
    uint8_t hdr_bytes[kavri::stream::kHdrSize] = {};
    uint32_t hdr_held = 0;         // 0..36; 36: a header is active
    kavri::stream::StreamHdr hdr;  // decoded copy of an active header
    bool need_header = false;
    bool discarding = false;
    uint32_t received = 0;  // payload bytes of the active chunk
    uint32_t data_sum = 0;
    uint32_t chunk_frames = 0;  // frames completed inside the active chunk
    int32_t prev_sidx = -1;
    int32_t prev_fridx = -1;
    uint16_t fridx_step = 1;
    kavri::stream::FrameQueue assembly;
    // Full frames at the end of the assembly that hold bytes of a chunk
    // whose data checksum is still to be judged: they wait there.
    uint32_t unverified_full = 0;
};

namespace kavri::stream {

// Parser steps (stream_parser.cpp).
void feed(kv_stream_t *s, const uint8_t *data, uint32_t len);
void discard_cur_frame(kv_stream_t *s);
void discard_unverified_frames(kv_stream_t *s);

// Output list (stream_output.cpp).
void fr_list_refresh(kv_stream_t *s);
uint32_t frames_ready(const kv_stream_t *s);

// Node recycling switch, for measurements.
void set_node_recycling(kv_stream_t *s, bool on);

}  // namespace kavri::stream
