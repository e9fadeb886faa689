/*
 * Records that cross the library's interface: the device handle, frame
 * descriptions, parameter items, the stream parser's records, the lens
 * parameters, the chip driver and transport operation tables.
 * Layouts are fixed: applications and stored files rely on them.
 */
#ifndef KAVRI_TYPES_H
#define KAVRI_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "export.h"

KAVRI_BEGIN_DECLS

/* ---- capture error codes ---------------------------------------------- */
#define KAVRI_OK 0
#define KAVRI_ERR_CAP_CANCELLED (-3) /* transfers cancelled; has no name */
#define KAVRI_ERR_CAP_TIMEOUT (-5)
#define KAVRI_ERR_CAP_STALL (-7)
#define KAVRI_ERR_CAP_ERROR (-8)
#define KAVRI_ERR_CAP_UNKNOWN (-10)
/* The camera left the bus; the handle waits for it (kavri/reconnect.h). */
#define KAVRI_ERR_CAP_DISCONNECTED (-11)
#define KAVRI_ERR_CAP_FRAME_DISCARD 3
/* Notice: the camera is back and the capture runs again; arg: frames lost. */
#define KAVRI_ERR_CAP_RECONNECTED 4

/* ---- log levels --------------------------------------------------------- */
#define KV_LOG_TRC 0u
#define KV_LOG_DBG 1u
#define KV_LOG_INF 2u
#define KV_LOG_WRN 3u
#define KV_LOG_ERR 4u
#define KV_LOG_OFF 5u

/* ---- parameter ids used inside the library ------------------------------ */
#define KAVRI_PARAM_MODE 0u        /* u8: 0 normal, 9 calibration upload */
#define KAVRI_PARAM_MOD_FREQ 1u    /* u32 Hz */
#define KAVRI_PARAM_IDENT 2u       /* text */
#define KAVRI_PARAM_PRODUCT 3u     /* text "<model>-<chip>-<variant>" */
#define KAVRI_PARAM_UID 5u         /* bytes */
#define KAVRI_PARAM_VERSION 6u     /* 4 x u16: HW, SW, BT, fourth */
#define KAVRI_PARAM_CHIP_INFO 7u   /* u32 at value bytes 2..5 */
#define KAVRI_PARAM_INFO_CALIB 8u  /* calibration information */
#define KAVRI_PARAM_FPS 12u        /* u32 frames per second */
#define KAVRI_PARAM_INTG_TIME 13u  /* u16 integration time */
#define KAVRI_PARAM_INTG_TIME2 16u /* u16 second integration time */
#define KAVRI_PARAM_RESYNC 17u     /* u8 flag, then u16 value */

#define KAVRI_MODE_NORMAL 0u
#define KAVRI_MODE_CALIB_UPLOAD 9u

/* ---- transport kinds ----------------------------------------------------- */
#define KAVRI_IF_USB 0u
#define KAVRI_IF_INFO_SIZE 40

struct kavri_ll;
struct kavri_drv;

/* The transport location as the USB transport fills it. */
typedef struct kavri_usb_info {
    uint8_t usb_bus;
    uint8_t usb_port;
    uint8_t usb_addr;
    uint8_t usb_speed; /* libusb speed code: 0 unknown, 1 low, 2 full, 3 high, 4 super */
    uint8_t reserved[36];
} kavri_usb_info_t;

/* The device handle of the public interface. */
typedef struct kavri_dev {
    struct kavri_ll *ll; /* private record; NULL while closed */
    uint32_t if_type;
    uint8_t if_info[KAVRI_IF_INFO_SIZE];
    char product[32];
    char ident[32];
    uint8_t uid[32];
    uint16_t version[4]; /* HW, SW, BT, fourth */
    const char *path;
    uint8_t reserved[12];
    uint8_t located;
    uint8_t alloc_by_lib;
    uint8_t api_busy;
} kavri_dev_t;

#define KAVRI_VERSION_HW 0
#define KAVRI_VERSION_SW 1
#define KAVRI_VERSION_BT 2
#define KAVRI_VERSION_4TH 3

/* Description of one frame. */
typedef struct kavri_frame_info {
    uint32_t frame_size;
    uint16_t frame_format;
    uint16_t frame_idx;
    uint32_t width;
    uint32_t height;
    uint8_t pixel_width;
    uint8_t reserved0;
    uint16_t reserved1;
} kavri_frame_info_t;

/* What the frame-ready callback receives. */
typedef struct kavri_frame {
    kavri_frame_info_t frame_info;
    uint8_t *frame_data;
} kavri_frame_t;

/* One parameter of a batch; 24 bytes, value at byte 5. */
#define KAVRI_PARAM_VAL_SIZE 19
#define KAVRI_PARAM_WIRE_VAL_SIZE 18
typedef struct kavri_param_item {
    uint32_t param_id;
    uint8_t param_val_len;
    uint8_t param_val[KAVRI_PARAM_VAL_SIZE];
} kavri_param_item_t;

/* The same item as it travels to the camera: 20 bytes. */
typedef struct kavri_ll_param_item {
    uint8_t param_id;
    uint8_t param_val_len;
    uint8_t param_val[KAVRI_PARAM_WIRE_VAL_SIZE];
} kavri_ll_param_item_t;

/* ---- stream parser records ---------------------------------------------- */
typedef struct kv_stream_cfg {
    uint32_t max_frames;
} kv_stream_cfg_t;

/* Raw frame info: bytes 8..27 of the chunk header that began the frame. */
typedef struct kv_stream_frame_info {
    uint32_t frlen;
    uint16_t fridx;
    uint16_t frfmt;
    uint32_t desc[3];
} kv_stream_frame_info_t;

typedef struct kv_stream_state {
    uint32_t frames_done;
    uint32_t frames_out;
    uint32_t frames_discarded;
    uint32_t frames_dropped;
    uint32_t frames_ready;
    uint32_t reserved5;
    uint32_t bytes_skipped;
    uint32_t reserved7;
    uint32_t t_sec;
    uint32_t t_usec;
} kv_stream_state_t;

typedef struct kv_stream kv_stream_t;

/* ---- lens ---------------------------------------------------------------- */
typedef struct kv_lens_param {
    double cx, cy, fx, fy;
    double dcoeff[5]; /* k1, k2, p1, p2, k3 */
    int32_t img_w, img_h;
} kv_lens_param_t;

/* Undistortion map: for every output pixel the source index or -1. */
typedef struct kv_calib_len_map {
    int32_t *map;
    int32_t count;
    int32_t width, height;
    int32_t roi_x, roi_y, roi_w, roi_h;
    uint8_t valid;
} kv_calib_len_map_t;

/* ---- chip drivers --------------------------------------------------------- */
/* A chip driver's operations. Every slot takes the driver record as its
 * first argument (the device through its dev, the driver's state through its
 * priv). A null slot means the operation is absent: callers test before
 * calling. All slots are called from application threads, inside the camera
 * API call named below; none runs on a device's event thread. */
typedef struct kavri_drv_op {
    /* 0: at device open, before calib_load. Binds the record to dev and
     * creates the driver's state and programs the sensor. 1 on success, 0 on
     * failure. */
    uint8_t (*init)(struct kavri_drv *drv, kavri_dev_t *dev);
    /* 1: at device close. Releases everything init created; the record is
     * not used again until the next init. */
    void (*uninit)(struct kavri_drv *drv);
    /* 2: from the capture calls, for every frame handed to the application.
     * Fills out (size, format, index, width, height, bytes per pixel) from
     * the parser's raw description. 1 on success, 0 when the frame is not
     * usable. */
    uint8_t (*frame_get_info)(struct kavri_drv *drv, kavri_frame_info_t *out,
                              const kv_stream_frame_info_t *raw);
    /* 3: from the frame conversions. Decodes the raw frame src (src_bytes
     * long, described by info) into dst (dst_bytes long) as the given kind
     * (KAVRI_DECODE_DISTANCE or KAVRI_DECODE_GRAY); what dst receives is the
     * record's decode_out entry for that kind. Returns the number of bytes
     * written for 16-bit output, the number of pixels for float output, or a
     * negative value on failure. */
    int32_t (*frame_decode)(struct kavri_drv *drv, void *dst, uint32_t dst_bytes, uint32_t kind,
                            const uint16_t *src, uint32_t src_bytes,
                            const kavri_frame_info_t *info);
    /* 4: from the point-cloud calls. Fills out with the lens parameters
     * scaled to a width x height image. 1 on success, 0 on failure. */
    uint8_t (*lens_param_get)(struct kavri_drv *drv, kv_lens_param_t *out, uint32_t width,
                              uint32_t height);
    /* 5: reserved, never called. */
    int32_t (*reserved5)(struct kavri_drv *drv);
    /* 6: from a parameter batch write that sets an integration time: the new
     * value and which time it is. No result. */
    void (*update_intg_time)(struct kavri_drv *drv, uint16_t value, uint32_t which);
    /* 7: from a parameter batch write that sets the modulation frequency, in
     * hertz; the driver takes the new frequency (and its calibration). No
     * result. */
    void (*update_mod_freq)(struct kavri_drv *drv, uint32_t freq_hz, uint32_t unused);
    /* 8: reserved, never called. */
    int32_t (*reserved8)(struct kavri_drv *drv, int32_t arg);
    /* 9: at device open, after init. Finds, refreshes and mounts the
     * calibration. Negative on a failure that makes the open fail, 0 or
     * more otherwise. */
    int32_t (*calib_load)(struct kavri_drv *drv, int32_t a0, int32_t a1, int32_t a2);
    /* 10: reserved, never called. */
    int32_t (*reserved10)(struct kavri_drv *drv);
    /* 11: from the filter switch. Turns processing step filter_id on with
     * its argument (arg_size bytes, may be null). 1 on success, 0 for an
     * unknown step or a bad argument. */
    uint8_t (*filter_enable)(struct kavri_drv *drv, uint32_t filter_id, const void *arg,
                             uint32_t arg_size);
    /* 12: from the filter switch. Turns processing step filter_id off. 1 on
     * success, 0 for an unknown step. */
    uint8_t (*filter_disable)(struct kavri_drv *drv, uint32_t filter_id);
    /* 13..15: empty, null. */
    void *empty[3];
} kavri_drv_op_t;

/* What frame_decode writes into dst for one decode kind. */
#define KAVRI_DECODE_OUT_U16_MM 0u   /* unsigned 16-bit distances in millimetres */
#define KAVRI_DECODE_OUT_U16_GRAY 1u /* unsigned 16-bit gray (amplitude) units */
#define KAVRI_DECODE_OUT_F32_M 2u    /* 32-bit float distances in metres */
#define KAVRI_DECODE_OUT_F32_GRAY 3u /* 32-bit float gray, a fraction of full scale */

/* A chip driver record. The registry's entries are templates; each open
 * device has its own copy, whose dev and priv its driver's init fills. */
typedef struct kavri_drv {
    const char *name;
    const char *chip_code;
    const kavri_drv_op_t *ops;
    kavri_dev_t *dev;
    void *priv;
    /* What ops->frame_decode writes for KAVRI_DECODE_DISTANCE and for
     * KAVRI_DECODE_GRAY (KAVRI_DECODE_OUT_*). A zeroed record reads as
     * 16-bit output for both. */
    uint8_t distance_out;
    uint8_t gray_out;
} kavri_drv_t;

/* ---- transport ------------------------------------------------------------ */
struct kavri_ll_op;

/* The transport's part of a device's private record. */
typedef struct kavri_ll {
    void *state;
    uint32_t if_type;
    uint8_t if_info[KAVRI_IF_INFO_SIZE];
    const struct kavri_ll_op *ops;
    uint8_t located;
} kavri_ll_t;

/* Capture callback: runs on the device's event thread for every stream
 * transfer completion; code is 0 (data), -3, -5, -7 or -10. */
typedef int32_t (*kavri_ll_cap_cb_t)(kavri_ll_t *ll, int32_t code, uint8_t *data, uint32_t len,
                                     void *arg);

typedef struct kavri_ll_op {
    /* 0 */ uint8_t (*init)(void);
    /* 1 */ void (*uninit)(void);
    /* 2 */ void (*set_debug)(uint32_t level);
    /* 3 */ kavri_ll_t *(*dev_open)(kavri_ll_t *ll);
    /* 4 */ kavri_ll_t *(*dev_open_by_fd)(kavri_ll_t *ll);
    /* 5 */ void (*dev_close)(kavri_ll_t *ll);
    /* 6 */ uint32_t (*dev_list)(kavri_ll_t *list, uint32_t max);
    /* 7 */ uint8_t (*exe_cmd)(kavri_ll_t *ll, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                               uint32_t len, uint32_t timeout_ms);
    /* 8 */ int32_t (*tx_data)(kavri_ll_t *ll, const void *buf, uint32_t len);
    /* 9 */ void (*cap_abort)(kavri_ll_t *ll);
    /* 10 */ uint8_t (*cap_start)(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg);
    /* 11 */ uint8_t (*cap_stop)(kavri_ll_t *ll);
    /* 12 */ uint8_t (*dev_reset)(kavri_ll_t *ll, uint8_t target);
    /* 13 */ uint8_t (*reg_write)(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                                  uint16_t count);
    /* 14 */ uint8_t (*reg_read)(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                                 uint16_t count);
    /* 15 */ uint8_t (*param_set)(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
    /* 16 */ uint8_t (*param_get)(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count);
} kavri_ll_op_t;

/* ---- layout checks ---------------------------------------------------------- */
KAVRI_STATIC_ASSERT(sizeof(kavri_usb_info_t) == KAVRI_IF_INFO_SIZE, "usb info is 40 bytes");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, if_type) == 8, "kavri_dev_t.if_type");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, if_info) == 12, "kavri_dev_t.if_info");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, product) == 52, "kavri_dev_t.product");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, ident) == 84, "kavri_dev_t.ident");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, uid) == 116, "kavri_dev_t.uid");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, version) == 148, "kavri_dev_t.version");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, path) == 160, "kavri_dev_t.path");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, located) == 180, "kavri_dev_t.located");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, alloc_by_lib) == 181, "kavri_dev_t.alloc_by_lib");
KAVRI_STATIC_ASSERT(offsetof(kavri_dev_t, api_busy) == 182, "kavri_dev_t.api_busy");
KAVRI_STATIC_ASSERT(sizeof(kavri_dev_t) == 184, "kavri_dev_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_frame_info_t) == 20, "kavri_frame_info_t size");
KAVRI_STATIC_ASSERT(offsetof(kavri_frame_info_t, width) == 8, "kavri_frame_info_t.width");
KAVRI_STATIC_ASSERT(offsetof(kavri_frame_info_t, pixel_width) == 16, "pixel_width");
KAVRI_STATIC_ASSERT(offsetof(kavri_frame_t, frame_data) == 24, "kavri_frame_t.frame_data");
KAVRI_STATIC_ASSERT(sizeof(kavri_frame_t) == 32, "kavri_frame_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_param_item_t) == 24, "kavri_param_item_t is 24 bytes");
KAVRI_STATIC_ASSERT(offsetof(kavri_param_item_t, param_val) == 5, "value at byte 5");
KAVRI_STATIC_ASSERT(sizeof(kavri_ll_param_item_t) == 20, "wire item is 20 bytes");
KAVRI_STATIC_ASSERT(sizeof(kv_stream_frame_info_t) == 20, "raw frame info is 20 bytes");
KAVRI_STATIC_ASSERT(sizeof(kv_stream_state_t) == 10 * sizeof(uint32_t), "ten u32");
KAVRI_STATIC_ASSERT(sizeof(kv_lens_param_t) == 80, "kv_lens_param_t size");
KAVRI_STATIC_ASSERT(offsetof(kavri_ll_t, if_type) == 8, "kavri_ll_t.if_type");
KAVRI_STATIC_ASSERT(offsetof(kavri_ll_t, if_info) == 12, "kavri_ll_t.if_info");
KAVRI_STATIC_ASSERT(offsetof(kavri_ll_t, ops) == 56, "kavri_ll_t.ops");
KAVRI_STATIC_ASSERT(offsetof(kavri_ll_t, located) == 64, "kavri_ll_t.located");
KAVRI_STATIC_ASSERT(sizeof(kavri_drv_op_t) == 16 * sizeof(void *), "16 driver slots");
KAVRI_STATIC_ASSERT(offsetof(kavri_drv_op_t, empty) == 13 * sizeof(void *), "driver slot 13");
KAVRI_STATIC_ASSERT(offsetof(kavri_drv_t, priv) == 4 * sizeof(void *), "kavri_drv_t.priv");
KAVRI_STATIC_ASSERT(offsetof(kavri_drv_t, distance_out) == 5 * sizeof(void *),
                    "kavri_drv_t.distance_out");
KAVRI_STATIC_ASSERT(sizeof(kavri_drv_t) == 6 * sizeof(void *), "kavri_drv_t size");
KAVRI_STATIC_ASSERT(sizeof(kavri_ll_op_t) == 17 * sizeof(void *), "17 transport slots");

KAVRI_END_DECLS

#endif /* KAVRI_TYPES_H */
