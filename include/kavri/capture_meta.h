/* Frame time stamps and capture statistics, beside the capture calls of api.h. */
#ifndef KAVRI_CAPTURE_META_H
#define KAVRI_CAPTURE_META_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* What the library knows of one delivered frame. */
typedef struct kavri_frame_meta {
    /* Monotonic host time (CLOCK_MONOTONIC, nanoseconds) at which the
     * transfer holding the frame's last byte arrived; comparable between
     * cameras of one host. In a replay: the recorded arrival time, in
     * nanoseconds since the recording's first moment. */
    uint64_t t_ns;
    /* Frames delivered on the device since the capture start before this
     * one (0 for the first). */
    uint64_t sequence;
    uint32_t frame_idx; /* the camera's frame index (16 bits; wraps) */
    /* Frames of the camera's count missing between the previous delivered
     * frame and this one: lost in transfer, discarded as damaged or dropped
     * for a slow fetch (kavri_cap_stats_t tells which). 0 for the first.
     * The first frame after a reconnect (kavri/reconnect.h) carries the
     * frames estimated lost while the camera was away instead. */
    uint32_t lost_before;
} kavri_frame_meta_t;

/* Counters of the running capture (or of the last one), from its start. */
typedef struct kavri_cap_stats {
    uint64_t frames_delivered; /* handed to the application (fetches and callbacks) */
    /* Frames of the camera's count that never reached the parser whole:
     * missing indexes not accounted for by the two counters below. */
    uint64_t frames_lost;
    uint64_t frames_discarded; /* damaged frames the parser threw away */
    uint64_t frames_dropped;   /* dropped because the application fetched too slowly */
    uint64_t frames_refused;   /* refused at conversion by the consistency check */
    uint64_t bytes_skipped;    /* stream bytes the parser could not use */
    uint64_t transfer_timeouts;
    uint64_t transfer_stalls;
    uint64_t transfer_errors; /* transfers ending in any other error */
    uint64_t capture_ns;      /* from the start to now, or to the stop */
    uint8_t capturing;        /* 1 while the capture runs */
    uint8_t reserved[7];
    /* Times the camera came back to the capture (automatic reconnect). */
    uint64_t reconnects;
    /* Time without the camera, from each loss to the restart, added up. */
    uint64_t disconnected_ns;
    /* Frames estimated lost while the camera was away (disconnected_ns x
     * the frame rate); part of frames_lost. */
    uint64_t frames_lost_disconnected;
    uint64_t reserved2[1];
} kavri_cap_stats_t;

KAVRI_STATIC_ASSERT(sizeof(kavri_frame_meta_t) == 24, "kavri_frame_meta_t size");
KAVRI_STATIC_ASSERT(offsetof(kavri_frame_meta_t, frame_idx) == 16, "kavri_frame_meta_t.frame_idx");
KAVRI_STATIC_ASSERT(sizeof(kavri_cap_stats_t) == 120, "kavri_cap_stats_t size");
KAVRI_STATIC_ASSERT(offsetof(kavri_cap_stats_t, capturing) == 80, "kavri_cap_stats_t.capturing");
KAVRI_STATIC_ASSERT(offsetof(kavri_cap_stats_t, reconnects) == 88, "kavri_cap_stats_t.reconnects");
KAVRI_STATIC_ASSERT(offsetof(kavri_cap_stats_t, frames_lost_disconnected) == 104,
                    "kavri_cap_stats_t.frames_lost_disconnected");

/* kavri_cap_get_frames, and meta[i] (caller-owned, meta_count records)
 * describes the i-th frame received, for i < meta_count; meta NULL or
 * meta_count 0 describes none. Results, limits, blocking and threads as
 * kavri_cap_get_frames. */
KAVRI_API int kavri_cap_get_frames_meta(kavri_dev_t *dev, int n, void *buf, uint32_t size,
                                        kavri_frame_info_t *info, kavri_frame_meta_t *meta,
                                        uint32_t meta_count);

/* Inside the frame-ready callback: the description of the frame being
 * delivered; anywhere else, of the last frame delivered on the device.
 * 1 filled; 0 for a closed handle, meta NULL or no frame delivered since the
 * capture start (*meta zeroed when not NULL). Does not block; any thread. */
KAVRI_API int kavri_cap_get_frame_meta(kavri_dev_t *dev, kavri_frame_meta_t *meta);

/* Fills *stats with the counters of the running capture or of the last one
 * (zero before the first start). 1 filled; 0 for a closed handle or stats
 * NULL. Does not block; any thread. */
KAVRI_API int kavri_cap_get_stats(kavri_dev_t *dev, kavri_cap_stats_t *stats);

KAVRI_END_DECLS

#endif /* KAVRI_CAPTURE_META_H */
