/* Raw recordings: what the camera sent, byte for byte, replayed as a camera.
 *
 * A recording holds the camera's identity, the calibration and lens files
 * the library had mounted, the parameter and register values the library
 * knew at the start, every stream transfer exactly as it completed (bytes,
 * completion code, monotonic arrival time), and every parameter, register
 * and filter change and capture start and stop made while it ran. The file
 * is an SQLite database described in docs/recording-format.md.
 *
 * A replay (kavri_rec_open) is a device handle like any other: capture,
 * conversions, frame files and filter switches work on it unchanged, and the
 * frames go through the same parser and chip driver as live ones. */
#ifndef KAVRI_REC_H
#define KAVRI_REC_H

#include <stddef.h>
#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* The transport kind of a replayed recording (kavri_dev_t.if_type). */
#define KAVRI_IF_REPLAY 1u

/* Results of the kavri_rec_* calls (0 is success). */
#define KAVRI_REC_OK 0
#define KAVRI_REC_ERR_ARG (-1)        /* NULL or closed handle, bad argument */
#define KAVRI_REC_ERR_IO (-2)         /* the file cannot be created, opened or written */
#define KAVRI_REC_ERR_FORMAT (-3)     /* not a recording, another version, or damaged */
#define KAVRI_REC_ERR_BUSY (-4)       /* already recording / not recording */
#define KAVRI_REC_ERR_NOT_REPLAY (-5) /* the handle is a live camera */
#define KAVRI_REC_ERR_RANGE (-6)      /* no such frame, time or event */

/* Replay pacing. */
#define KAVRI_REC_PACE_FAST 0u     /* as fast as the application takes frames, none dropped */
#define KAVRI_REC_PACE_REALTIME 1u /* at the recorded arrival times */
#define KAVRI_REC_PACE_STEP 2u     /* one frame per fetch */

typedef struct kavri_rec_options {
    uint32_t pacing; /* KAVRI_REC_PACE_* */
    uint8_t loop;    /* nonzero: after the last transfer the replay starts again */
    uint8_t reserved[3];
} kavri_rec_options_t;

/* Counters of a recording in progress (or of the last one on the handle). */
typedef struct kavri_rec_stats {
    uint64_t transfers;      /* stream transfers written */
    uint64_t bytes;          /* their payload bytes */
    uint64_t lost_transfers; /* transfers dropped because the disk did not keep up */
    uint64_t lost_bytes;
    uint64_t events;       /* changes and capture starts and stops written */
    uint32_t frames;       /* frames the parser completed while recording */
    uint32_t queue_peak;   /* most transfers ever waiting for the writer */
    uint32_t write_errors; /* failed batches (the file is then finished early) */
    uint8_t active;        /* 1 while recording */
    uint8_t reserved[3];
} kavri_rec_stats_t;

/* What a replay holds. */
typedef struct kavri_rec_info {
    uint32_t format_version;
    uint32_t frame_count; /* frames the parser completed while recording */
    uint64_t duration_ns; /* first to last transfer */
    uint64_t transfer_count;
    uint64_t byte_count;
    uint32_t event_count;
    uint32_t position; /* index of the frame the replay delivers next */
    uint8_t ended;     /* every transfer delivered and not looping */
    uint8_t damaged;   /* the file ends in damage: replayed up to it */
    uint8_t reserved[6];
} kavri_rec_info_t;

/* Recorded events (kavri_rec_event_t.kind). */
#define KAVRI_REC_EV_PARAM_SET 1u /* id: parameter id, value: the 20-byte item as sent */
#define KAVRI_REC_EV_REG_WRITE 2u /* id: target, addr: register, value: u32 LE */
#define KAVRI_REC_EV_FILTER 3u    /* id: filter id, addr: 1 enable / 0 disable, value: argument */
#define KAVRI_REC_EV_CAP_START 4u
#define KAVRI_REC_EV_CAP_STOP 5u
#define KAVRI_REC_EV_PARAM_VALUE 6u /* a value the camera answered: id, the 20-byte item */
#define KAVRI_REC_EV_REG_VALUE 7u   /* a register value the camera answered: id, addr, value */
#define KAVRI_REC_EV_LOSS 8u        /* id: transfers lost, addr: bytes lost (the disk lagged) */

#define KAVRI_REC_EVENT_VALUE_SIZE 20

typedef struct kavri_rec_event {
    uint64_t t_ns;     /* since the recording's first moment */
    uint64_t transfer; /* stream transfers recorded before the event */
    uint32_t kind;     /* KAVRI_REC_EV_* */
    uint32_t id;
    uint32_t addr;
    uint32_t len; /* value bytes used */
    uint8_t value[KAVRI_REC_EVENT_VALUE_SIZE];
    uint32_t frames_fetched; /* frames of the recording the application had taken (or
                              * dropped) before it: the frame it reached next */
    uint32_t reserved[2];
} kavri_rec_event_t;

KAVRI_STATIC_ASSERT(sizeof(kavri_rec_options_t) == 8, "kavri_rec_options_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_rec_stats_t) == 56, "kavri_rec_stats_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_rec_info_t) == 48, "kavri_rec_info_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_rec_event_t) == 64, "kavri_rec_event_t size");
KAVRI_STATIC_ASSERT(offsetof(kavri_rec_event_t, value) == 32, "kavri_rec_event_t.value");

/* Starts recording the open live camera dev into a new file at path (an
 * existing file is replaced). Records the identity, the mounted calibration
 * and lens files and the known parameter and register values at once, then
 * every stream transfer and change from now on; a capture may already run.
 * The transfers are copied on the device's event thread into a bounded queue
 * that a writer thread empties into the file, committing at least every
 * 250 ms: the event thread never waits for the disk, and what the queue
 * cannot hold is counted (kavri_rec_stats_t.lost_*) and logged, never a
 * stall. Blocks for the file's creation. Any thread.
 * Returns KAVRI_REC_OK, KAVRI_REC_ERR_ARG (NULL path, closed handle or a
 * replay), KAVRI_REC_ERR_BUSY (already recording) or KAVRI_REC_ERR_IO. */
KAVRI_API int32_t kavri_rec_start(kavri_dev_t *dev, const char *path);

/* Ends the recording: writes what waits in the queue and finishes the file.
 * Blocks until it is on disk. Closing the device does the same.
 * KAVRI_REC_OK, KAVRI_REC_ERR_BUSY when not recording, KAVRI_REC_ERR_ARG. */
KAVRI_API int32_t kavri_rec_stop(kavri_dev_t *dev);

/* The counters of the running recording or of the last one on the handle. */
KAVRI_API int32_t kavri_rec_get_stats(kavri_dev_t *dev, kavri_rec_stats_t *stats);

/* Opens the recording at path as a device, as kavri_dev_open opens a camera:
 * dev is the application's record or NULL (the library's default record);
 * returns the handle or NULL with an ERR line (missing, damaged or hostile
 * file, other version). options NULL: fast pacing, no loop. Close it with
 * kavri_dev_close. The handle's if_type is KAVRI_IF_REPLAY, its if_info the
 * recorded USB location; its working path (dev->path) is a folder of its own
 * holding the recorded calibration until the close.
 * Parameter reads answer the recorded values at the replay's position;
 * writes that would change the camera (frame rate, integration time,
 * modulation frequency and every other parameter) are refused with a WRN
 * line; register writes are accepted and dropped (the chip driver programs
 * the sensor at every open). Filter switches work as on a camera. */
KAVRI_API kavri_dev_t *kavri_rec_open(kavri_dev_t *dev, const char *path,
                                      const kavri_rec_options_t *options);

/* Fills *info. KAVRI_REC_ERR_NOT_REPLAY for a live camera. */
KAVRI_API int32_t kavri_rec_get_info(kavri_dev_t *dev, kavri_rec_info_t *info);

/* Positions the replay so that the next frame delivered is frame `frame`
 * (0-based, as kavri_rec_info_t counts them). Works while a capture runs:
 * frames not yet fetched are dropped. Blocks while the replay parses its way
 * to the frame from the nearest point where the stream was between frames.
 * KAVRI_REC_OK, KAVRI_REC_ERR_RANGE, KAVRI_REC_ERR_NOT_REPLAY. */
KAVRI_API int32_t kavri_rec_seek(kavri_dev_t *dev, uint32_t frame);

/* Seeks to the first frame completed at or after t_ns (since the
 * recording's first moment). */
KAVRI_API int32_t kavri_rec_seek_time(kavri_dev_t *dev, uint64_t t_ns);

/* Changes pacing and loop of a replay; takes effect at the next transfer. */
KAVRI_API int32_t kavri_rec_set_options(kavri_dev_t *dev, const kavri_rec_options_t *options);

/* Copies recorded event i (0 .. event_count - 1, in time order) into *event. */
KAVRI_API int32_t kavri_rec_get_event(kavri_dev_t *dev, uint32_t i, kavri_rec_event_t *event);

KAVRI_END_DECLS

#endif /* KAVRI_REC_H */
