/*
 * ONI file writer: records depth, image and IR sequences as uncompressed ONI
 * files that ONI-aware players play back.
 *
 * The application owns an oni_file_t, opens it with oni_open, opens one
 * stream per image kind, hands every frame over with oni_stream_save_frame
 * and finishes with oni_close (which also closes any stream still open).
 * A file object and its streams are used from one thread at a time.
 */
#ifndef KAVRI_ONI_H
#define KAVRI_ONI_H

#include <stdint.h>
#include <stdio.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Node types (the stream kind). */
#define ONI_NODE_DEVICE 1
#define ONI_NODE_DEPTH 2
#define ONI_NODE_IMAGE 3
#define ONI_NODE_IR 5

/* Pixel format codes of the stream configuration. */
#define ONI_PIXEL_FORMAT_NONE 0
#define ONI_PIXEL_FORMAT_DEPTH_1_MM 100
#define ONI_PIXEL_FORMAT_DEPTH_100_UM 101
#define ONI_PIXEL_FORMAT_SHIFT_9_2 102
#define ONI_PIXEL_FORMAT_SHIFT_9_3 103
#define ONI_PIXEL_FORMAT_RGB888 200
#define ONI_PIXEL_FORMAT_YUV422 201
#define ONI_PIXEL_FORMAT_GRAY8 202
#define ONI_PIXEL_FORMAT_GRAY16 203
#define ONI_PIXEL_FORMAT_JPEG 204

/* A file holds at most this many streams; stream i has node id i + 1. */
#define ONI_MAX_STREAMS 4
/* The record buffer: one 1920 x 1200 RGB frame plus the largest record head. */
#define ONI_RECORD_BUFFER_SIZE 6912297u

struct oni_stream;
struct oni_prop_table;
struct oni_seek_list;

typedef struct oni_file {
    uint8_t *record_buf;      /* owned; every record is built here */
    uint32_t record_capacity; /* ONI_RECORD_BUFFER_SIZE, 0 when not allocated */
    uint32_t record_cursor;   /* offset of the next field of the record being built */
    FILE *fp;
    uint16_t max_node_id;
    struct oni_stream *streams[ONI_MAX_STREAMS];
    uint32_t config_id;          /* always 0; copied into every seek entry */
    uint8_t first_frame_written; /* set once the begin records are written */
} oni_file_t;

typedef struct oni_stream_config {
    int32_t kind;         /* ONI_NODE_* */
    int32_t pixel_format; /* ONI_PIXEL_FORMAT_* */
    int32_t max_depth;    /* largest depth value; used for formats 100 and 101 */
    int32_t x_res;
    int32_t y_res;
    int32_t bytes_per_pixel;
    int32_t fps;
} oni_stream_config_t;

typedef struct oni_stream {
    oni_file_t *file;
    oni_stream_config_t config;
    uint32_t node_id; /* 1 to ONI_MAX_STREAMS */
    uint32_t codec;   /* four-character code "NONE" */
    int64_t node_added_pos;
    int64_t last_data_pos;        /* start of the last new-data record; 0 before the first */
    struct oni_prop_table *props; /* last record position per property name */
    uint32_t frame_count;
    uint64_t last_timestamp;     /* microseconds */
    struct oni_seek_list *seeks; /* one entry per frame, in frame order */
} oni_stream_t;

/* Creates (truncates) the file and writes its header. 1 on success, 0 otherwise. */
KAVRI_API int oni_open(oni_file_t *file, const char *path);

/* Opens a stream and writes its node and property records. A resolution of
 * 0 x 0 (and 0 bytes per pixel) records a stream without a resolution. NULL
 * on null arguments or a negative size, when the file already holds
 * ONI_MAX_STREAMS streams, or when the records cannot be written. */
KAVRI_API oni_stream_t *oni_stream_open(oni_file_t *file, const oni_stream_config_t *config);

/* Saves one frame; timestamp 0 stamps it with the system clock (microseconds).
 * Write failures are logged; a failed frame is not counted. */
KAVRI_API void oni_stream_save_frame(oni_stream_t *stream, const void *data, uint32_t size,
                                     uint64_t timestamp);

/* Writes the stream's closing records and seek table and frees it. */
KAVRI_API void oni_stream_close(oni_stream_t *stream);

/* Closes every open stream, writes the end record and the final header,
 * closes the file and frees the record buffer. */
KAVRI_API void oni_close(oni_file_t *file);

/* Builds a real-property record in the record buffer without writing it.
 * 0 on success, 1 when the file object has no record buffer. */
KAVRI_API int emit_RECORD_REAL_PROPERTY(oni_file_t *file, uint32_t node_id, uint32_t undo_pos_low,
                                        uint32_t undo_pos_high, const char *name, double value);

/* Kept for interface compatibility; does nothing. */
KAVRI_API void oni_stream_save_property(void);

/* Name of a node type: "Device", "Depth", "Image", "IR", otherwise "Invalid". */
KAVRI_API const char *AsString(int32_t kind);

KAVRI_END_DECLS

#endif /* KAVRI_ONI_H */
