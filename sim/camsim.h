/*
 * Control interface of the camera simulator (libkavri_camsim.so).
 *
 * The simulator stands in for libusb-1.0: programs that link it ahead of
 * libusb (or run under camsim-run, which preloads it) talk to simulated
 * cameras through ordinary libusb calls. The same interface steers the
 * cameras of the usbfs front end (sim/usbfs), behind the real libusb.
 * This header lets tests steer the cameras: plug and unplug them, inject
 * faults, read counters, parameters, registers and the ground-truth
 * distance image.
 *
 * Cameras are named by a small integer id returned by camsim_plug (the
 * cameras configured from the environment get ids 0, 1, ... in plug order).
 * An id stays valid after an unplug, so the camera can be plugged in again.
 *
 * Every function is thread-safe. Functions returning int return 0 (or a
 * count) on success and a negative CAMSIM_E* code on failure.
 *
 * Later versions only add to this header.
 */
#ifndef KAVRI_CAMSIM_H
#define KAVRI_CAMSIM_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define CAMSIM_API __attribute__((visibility("default")))
#else
#define CAMSIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- results ------------------------------------------------------------ */
#define CAMSIM_OK 0
#define CAMSIM_EINVAL (-1)  /* bad argument */
#define CAMSIM_ENOCAM (-2)  /* no camera with that id */
#define CAMSIM_EBUSY (-3)   /* bus position taken, camera already plugged ... */
#define CAMSIM_ENOENT (-4)  /* no such parameter, register or target */
#define CAMSIM_EUNPLUG (-5) /* the camera is not plugged in */

/* ---- camera configuration ----------------------------------------------- */
/* Chip codes; the product string (parameter 3) carries the code. */
#define CAMSIM_CHIP_E1 0
#define CAMSIM_CHIP_E2 1
#define CAMSIM_CHIP_E3 2
#define CAMSIM_CHIP_T0 3

typedef struct camsim_camera_config {
    uint8_t bus;               /* 0: automatic (bus 1) */
    uint8_t port;              /* 0: automatic (the next free port on the bus) */
    uint8_t speed;             /* libusb speed code; default 3 (LIBUSB_SPEED_HIGH) */
    uint8_t chip;              /* CAMSIM_CHIP_*; default from CAMSIM_CHIP (E2) */
    char scene[64];            /* "default" or "wall:<mm>"; default from CAMSIM_SCENE */
    uint8_t pinhole_lens;      /* 1: no lens distortion (CAMSIM_LENS=pinhole) */
    uint8_t noise;             /* 0: no sample noise (CAMSIM_NOISE) */
    uint8_t fpn;               /* 0: no per-pixel fixed pattern (CAMSIM_FPN) */
    uint8_t free_run;          /* 1: frames as fast as transfers are queued (CAMSIM_FREE_RUN) */
    uint64_t seed;             /* noise and pattern seed (CAMSIM_SEED, default 1) */
    uint32_t fps;              /* initial parameter 12 (CAMSIM_FPS, default 30) */
    uint16_t width, height;    /* sensor size, default 320 x 240 */
    uint32_t chunk_payload;    /* payload bytes per stream chunk; 0 = a whole frame per chunk.
                                  Default 153600. */
    uint8_t frames_per_chunk;  /* >1 packs that many whole frames into one chunk (the chunk
                                  payload is then frames_per_chunk x frame bytes); default 1 */
    uint8_t data_checksum;     /* 1 (default): chunks carry a data checksum */
    uint8_t drift_temperature; /* 1 (default): temperatures drift slowly while streaming */
    uint8_t reserved0;
    uint32_t reset_delay_ms;  /* reset target 3: time off the bus, default 300 */
    uint32_t reboot_delay_ms; /* reset target 0: time off the bus, default 1000 */
    int16_t t_sensor;         /* initial sensor temperature, 0.1 degC, default 350 */
    int16_t t_ib;             /* initial illumination-board temperature, 0.1 degC, default 300 */
    uint32_t serial;          /* serial number in parameters 2 and 5; 0: derived from the id */
} camsim_camera_config_t;

/* Fills cfg with the defaults (the environment's CAMSIM_* values included). */
CAMSIM_API void camsim_camera_config_default(camsim_camera_config_t *cfg);

/* ---- bus ------------------------------------------------------------------ */
/* Back to the state at load: every camera unplugged and forgotten, faults
 * cleared, misuse counter and statistics zeroed, then the environment is read
 * again and CAMSIM_CAMERAS cameras are plugged with ids 0, 1, ... Objects
 * that tests still hold (contexts, handles, transfers) stay valid; handles on
 * the old cameras answer LIBUSB_ERROR_NO_DEVICE. */
CAMSIM_API void camsim_reset(void);

/* Unplugs and forgets every camera, plugs none (a bus without cameras). */
CAMSIM_API void camsim_clear(void);

/* Plugs a new camera (cfg NULL: defaults); returns its id (>= 0) or a
 * negative code (CAMSIM_EBUSY when bus/port is taken). */
CAMSIM_API int camsim_plug(const camsim_camera_config_t *cfg);

/* Pulls the camera off the bus: transfers in flight complete with
 * LIBUSB_TRANSFER_NO_DEVICE, later calls on its handles fail with
 * LIBUSB_ERROR_NO_DEVICE, listings no longer show it. */
CAMSIM_API int camsim_unplug(int cam);

/* Plugs an unplugged camera in again at the same bus and port with a new
 * device address. keep_state 0: parameters and registers back to defaults
 * (a power cycle); 1: kept. CAMSIM_EBUSY when another camera is on the bus
 * at that position now (camsim_replug_at put it there). */
CAMSIM_API int camsim_replug(int cam, int keep_state);

/* As camsim_replug, but at another position: bus (0: the camera's own) and
 * port (1..254), as if plugged into another socket. CAMSIM_EBUSY when the
 * camera is plugged in, or another camera is on the bus (or returning to it
 * after a reset) at that position; an unplugged camera's position may be
 * taken. The camera keeps the new position (a later camsim_replug brings it
 * back there). */
CAMSIM_API int camsim_replug_at(int cam, uint8_t bus, uint8_t port, int keep_state);

/* The value to pass to libusb_wrap_sys_device (as if it were the camera's
 * opened device node) to open the camera by "file descriptor". Stand-in
 * only: the usbfs front end answers -1. */
CAMSIM_API intptr_t camsim_sys_device(int cam);

/* Number of camera ids handed out (plugged or not). */
CAMSIM_API int camsim_camera_count(void);

/* Position on the bus; returns CAMSIM_OK, fields untouched on failure. */
typedef struct camsim_camera_info {
    uint8_t plugged; /* 1 while on the bus (0 while unplugged or resetting) */
    uint8_t bus, port, address, speed, chip;
    uint16_t width, height;
    uint32_t frame_bytes; /* bytes of one raw frame */
    uint16_t frame_format;
    uint8_t streaming; /* 1 between stream start and stop */
    uint8_t reserved;
} camsim_camera_info_t;
CAMSIM_API int camsim_camera_info(int cam, camsim_camera_info_t *out);

/* ---- stream layout (takes effect at the next frame) --------------------- */
CAMSIM_API int camsim_set_stream_layout(int cam, uint32_t chunk_payload, uint8_t frames_per_chunk,
                                        uint8_t data_checksum);
/* Frame pacing: fps 0 keeps the current parameter 12; free_run 1 ignores it. */
CAMSIM_API int camsim_set_pacing(int cam, uint32_t fps, uint8_t free_run);
/* Fixes the temperatures (0.1 degC); drift 1 lets them drift from there. */
CAMSIM_API int camsim_set_temperature(int cam, int16_t t_sensor, int16_t t_ib, uint8_t drift);

/* ---- scene ---------------------------------------------------------------- */
/* Points the camera at another scene ("default" or "wall:<mm>", as the
 * configuration's scene), also while it streams. The change takes effect
 * from the next frame the camera makes: frames already made (queued for the
 * host but not yet sent) keep the old scene. first_index (may be NULL)
 * receives the stream frame index that first frame of the new scene will
 * carry (the index camsim_last_frame reports and the host reads in the
 * frame's chunks); frames before it show the old scene. The fixed pattern
 * and the noise stream carry on; camsim_ground_truth reports the new scene
 * at once. The scene stays through resets, replugs and power cycles. While
 * parameter 0 selects the data upload, whose frames number themselves,
 * first_index does not name the next image frame. Returns CAMSIM_EINVAL for
 * a NULL or unknown scene (the camera keeps its scene), CAMSIM_ENOCAM. */
CAMSIM_API int camsim_set_scene(int cam, const char *scene, uint16_t *first_index);

/* ---- faults ----------------------------------------------------------------
 * camsim_inject(cam, fault, count, arg, message): the fault hits the next
 * `count` occasions of its kind; injecting again adds to the count. */
enum camsim_fault {
    /* The next `count` bulk IN transfers each halt endpoint 0x81: the transfer
     * completes with LIBUSB_TRANSFER_STALL and no data flows until
     * libusb_clear_halt. */
    CAMSIM_FAULT_STALL_BULK_IN = 1,
    /* The next `count` bulk IN transfers receive `arg` stream bytes (at most
     * their length) and then complete with LIBUSB_TRANSFER_TIMED_OUT. The
     * camera skips the wait: the time-out is reported at once. No stream byte
     * is lost: the next transfer continues the stream. */
    CAMSIM_FAULT_TIMEOUT_BULK_IN = 2,
    /* As above, but the transfer really waits for its own time-out. (Behind
     * the real libusb, usbfs front end, both kinds wait: only libusb's own
     * timer ends a transfer as timed out there.) */
    CAMSIM_FAULT_TIMEOUT_BULK_IN_WAIT = 3,
    /* The next `count` chunks carry one flipped payload byte (the data
     * checksum no longer matches). */
    CAMSIM_FAULT_CORRUPT_PAYLOAD = 4,
    /* The next `count` chunks carry a header with a bad header checksum. */
    CAMSIM_FAULT_CORRUPT_HEADER = 5,
    /* The next `count` chunks lose `arg` bytes (default 1000) from the middle
     * of their payload. */
    CAMSIM_FAULT_DROP_BYTES = 6,
    /* The next `count` chunks are not sent at all (their stream indexes are
     * used up all the same). */
    CAMSIM_FAULT_DROP_CHUNKS = 7,
    /* `arg` garbage bytes (default 100) go into the stream before each of the
     * next `count` chunks. */
    CAMSIM_FAULT_GARBAGE_BYTES = 8,
    /* The next `count` frames have four sub-frames that do not agree (the
     * camera is out of step until parameter 17 resynchronises it). */
    CAMSIM_FAULT_INCONSISTENT_FRAME = 9,
    /* The next `count` status polls answer 254 (busy). */
    CAMSIM_FAULT_STATUS_BUSY = 10,
    /* The next `count` commands (every control request other than the status
     * poll) are refused: status 255 with `message` (default "injected failure"). */
    CAMSIM_FAULT_FAIL_COMMAND = 11,
    /* The next `count` control transfers (status polls included) never
     * complete: they end only by their time-out or by cancellation. The
     * camera never sees them. */
    CAMSIM_FAULT_HANG_CONTROL = 12,
    /* The next `count` claims of interface `arg` fail with LIBUSB_ERROR_BUSY. */
    CAMSIM_FAULT_CLAIM_BUSY = 13,
    /* The next `count` libusb_open calls on the camera fail with LIBUSB_ERROR_ACCESS.
     * Stand-in only (the usbfs front end cannot refuse an open). */
    CAMSIM_FAULT_OPEN_FAIL = 14,
    /* The next `count` bulk OUT transfers on 0x01 complete with LIBUSB_TRANSFER_STALL. */
    CAMSIM_FAULT_STALL_BULK_OUT = 15,
    /* Unplugs the camera after `count` more bulk IN transfers have completed
     * (0: at once). */
    CAMSIM_FAULT_UNPLUG = 16,
    /* The next `count` calls of libusb_handle_events* on a context that has a
     * handle open on the camera return the libusb error -(int)`arg` at once
     * (arg 0: LIBUSB_ERROR_IO), delivering nothing; completions stay queued
     * for the next successful call. Stand-in only: behind the real libusb
     * its own event handling runs. */
    CAMSIM_FAULT_EVENT_ERROR = 17,
    /* The next `count` status polls name a last command type one higher than
     * the real one (same value), as if answering for another command. */
    CAMSIM_FAULT_STATUS_MISMATCH = 18,
    /* The next `count` status polls complete with only `arg` bytes (arg 0: 10)
     * of a good reply (status done, right type and value). */
    CAMSIM_FAULT_STATUS_SHORT = 19
};
CAMSIM_API int camsim_inject(int cam, int fault, uint32_t count, uint32_t arg, const char *message);
/* Clears every pending fault of the camera. */
CAMSIM_API int camsim_clear_faults(int cam);

/* ---- counters ------------------------------------------------------------- */
/* On the usbfs front end libusb's own objects live in the real libusb:
 * contexts, device_refs, devices and live_transfers count 0 there;
 * open_handles counts files open on the cameras' nodes and
 * inflight_transfers the transfers with a URB not yet reaped. */
typedef struct camsim_counters {
    int32_t contexts;           /* live libusb contexts (the default one included) */
    int32_t device_refs;        /* references held on libusb_device objects */
    int32_t devices;            /* libusb_device objects alive */
    int32_t open_handles;       /* open libusb_device_handle objects */
    int32_t claimed_interfaces; /* interfaces claimed over all handles */
    int32_t live_transfers;     /* allocated and not freed */
    int32_t inflight_transfers; /* submitted and not yet delivered */
    uint32_t misuse;            /* misuse reports (double submit, free in flight ...) */
    uint64_t control_transfers; /* control transfers submitted */
    uint64_t bulk_in_transfers; /* bulk IN transfers delivered */
    uint64_t bulk_out_transfers;
    uint64_t callbacks; /* completion callbacks run */
} camsim_counters_t;
CAMSIM_API void camsim_get_counters(camsim_counters_t *out);
/* Misuse reports so far (a quick check for tests: it must stay 0). */
CAMSIM_API uint32_t camsim_misuse_count(void);
/* Text of the latest misuse report, "" when none. */
CAMSIM_API const char *camsim_last_misuse(void);

typedef struct camsim_camera_stats {
    uint64_t commands; /* control requests other than the status poll */
    uint64_t status_polls;
    uint64_t busy_replies;           /* status polls answered 254 */
    uint64_t failed_commands;        /* commands answered 255 */
    uint64_t param_sets, param_gets; /* items */
    uint64_t reg_writes, reg_reads;  /* registers */
    uint64_t stream_starts, stream_stops;
    uint64_t resets;
    uint64_t frames;         /* frames put into the stream */
    uint64_t chunks;         /* chunks put into the stream */
    uint64_t stream_bytes;   /* bytes that reached the host over 0x81 */
    uint64_t bulk_out_bytes; /* bytes received over 0x01 */
    uint32_t last_start_arg; /* 32-bit argument of the latest stream start */
    uint8_t last_cmd_type;   /* latest command received (not the status poll) */
    uint8_t reserved;
    uint16_t last_cmd_value;
    uint32_t last_reset_target;
    uint16_t next_frame_index; /* frame index the next frame will carry */
    uint16_t next_stream_index;
} camsim_camera_stats_t;
CAMSIM_API int camsim_get_camera_stats(int cam, camsim_camera_stats_t *out);
/* When the frame with stream frame index `index` last reached the host: the
 * completion of the bulk IN transfer holding its last byte, CLOCK_MONOTONIC
 * nanoseconds. CAMSIM_ENOENT when it is not among the last 256 frames sent.
 * Stand-in only (behind the real libusb it answers CAMSIM_ENOENT). */
CAMSIM_API int camsim_frame_sent_ns(int cam, uint16_t index, uint64_t *t_ns);

/* ---- camera state for assertions ------------------------------------------ */
/* Parameter value (up to 18 bytes); *len receives its length. */
CAMSIM_API int camsim_param_get(int cam, uint8_t id, uint8_t *value, uint8_t *len);
/* Writes a parameter bypassing the command protocol (read-only ones too). */
CAMSIM_API int camsim_param_set(int cam, uint8_t id, const uint8_t *value, uint8_t len);
/* Register access; targets as the camera defines them (1: sensor, 256 registers). */
CAMSIM_API int camsim_reg_get(int cam, uint8_t target, uint32_t addr, uint32_t *value);
CAMSIM_API int camsim_reg_set(int cam, uint8_t target, uint32_t addr, uint32_t value);

/* The true radial distance (mm) of the current scene along each pixel's ray,
 * image order (row-major, top row first). Returns the pixel count
 * (width x height); writes min(count, capacity) values; dst may be NULL. */
CAMSIM_API int camsim_ground_truth(int cam, float *dst, uint32_t capacity);
/* The per-pixel fixed-pattern offset in mm, same layout. */
CAMSIM_API int camsim_fpn(int cam, float *dst, uint32_t capacity);

/* The bytes of the latest frame put into the stream (before fault
 * mutations) and its 12 description bytes; returns the frame size or a
 * negative code, copies min(size, capacity). */
CAMSIM_API int camsim_last_frame(int cam, uint8_t *dst, uint32_t capacity, uint8_t desc[12],
                                 uint16_t *frame_index);

#ifdef __cplusplus
}
#endif

#include "camsim_data.h"
#include "camsim_calib.h"

#endif /* KAVRI_CAMSIM_H */
