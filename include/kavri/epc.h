/*
 * EPC chip driver, calibration mount and distance calculation.
 * Every function takes the driver record whose priv holds the EPC state
 * (created by the table's init operation). Each open device has its own
 * record and state (kavri_dev_get_drv).
 *
 * Threads. The driver operations may be called concurrently on one record:
 * epc_frame_decode, epc_frame_get_info, epc_filter_enable/_disable,
 * epc_update_mod_freq and epc_calib_save take the state's lock for what they
 * read or change, so a change lands between two decodes; decodes of one
 * record run one after the other. The commands the driver sends itself (the
 * sensor set-up at init, automatic integration and the consistency check's
 * resynchronisation inside a decode, the temperature report inside
 * epc_frame_get_info, the calibration check and pull inside epc_calib_save)
 * go through the device's serialised command path, never under the state's
 * lock. epc_init and epc_uninit must not run beside any other call on the
 * same record. The epc_calc_* and calc_* functions take no lock: callers
 * outside the operations serialise them with their own use of the record.
 */
#ifndef KAVRI_EPC_H
#define KAVRI_EPC_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Filter ids of the EPC driver's filter switch (kavri_filter_enable). */
#define KAVRI_FILTER_UNDISTORT 0    /* no argument */
#define KAVRI_FILTER_CALIB 1        /* no argument; 0 when no calibration is mounted */
#define KAVRI_FILTER_SMOOTH 2       /* uint8_t level; the chain runs from level 2 */
#define KAVRI_FILTER_AMP_MIN 4      /* uint16_t amplitude threshold */
#define KAVRI_FILTER_AUTO_INTG 5    /* uint16_t per-mille limit of saturated samples */
#define KAVRI_FILTER_SYNC_CHECK 6   /* int16_t value sent with the resync parameter */
#define KAVRI_FILTER_TEMP_MONITOR 7 /* uint16_t, stored only */
#define KAVRI_FILTER_HDR 8          /* no argument */
#define KAVRI_FILTER_OFFSET 9       /* int32_t distance offset in mm */
#define KAVRI_FILTER_TEMPORAL 10    /* uint16_t weight of the new frame, per mille (quality.h) */

/* Frame decode kinds. */
#define KAVRI_DECODE_DISTANCE 1u
#define KAVRI_DECODE_GRAY 2u
#define KAVRI_DECODE_CONFIDENCE 3u /* 0..255 per pixel (quality.h), gray geometry */

/* Decoded pixel markers. */
#define KAVRI_DIST_MAX_VALID 60000u
#define KAVRI_DIST_REMOVED 65300u /* removed by a processing step */
#define KAVRI_DIST_NO_DIST 65500u /* saturated or zero sample, or no defined result */

/* The EPC driver's operation table; the registry hands it to devices whose product string names
 * the EPC chip. Read-only. */
KAVRI_API extern const kavri_drv_op_t g_kavri_driver_op_epc;

/* ---- driver operations (also reached through the table) ------------------ */
/* Creates the record's EPC state (first call) or counts one more user, loads the lens parameter
 * file from the device's working path, builds the undistortion map and programs the sensor
 * (commands to the camera). 1, or 0 for a NULL record; ends the process when memory for the
 * state is short. */
KAVRI_API uint8_t epc_init(kavri_drv_t *drv, kavri_dev_t *dev);
/* Drops one user; the last one frees the state, the map and any mounted calibration. Must not
 * run beside another call on the record. */
KAVRI_API void epc_uninit(kavri_drv_t *drv);
/* The frame's description for the application (size, format, width x height, defaulting to 320 x
 * 240) from the parser's raw info; stores the frame's temperatures for the drift correction and,
 * with the temperature monitor on, may log them (a command). 1, or 0 when out or raw is NULL. */
KAVRI_API uint8_t epc_frame_get_info(kavri_drv_t *drv, kavri_frame_info_t *out,
                                     const kv_stream_frame_info_t *raw);
/* Returns the bytes written to dst (width x height x 2) or -1. */
KAVRI_API int32_t epc_frame_decode(kavri_drv_t *drv, void *dst, uint32_t dst_bytes, uint32_t kind,
                                   const uint16_t *src, uint32_t src_bytes,
                                   const kavri_frame_info_t *info);
/* The lens parameters scaled to width x height (a whole divisor of the lens file's image size)
 * into out. 1, or 0 (warning line) for a size that does not divide it. */
KAVRI_API uint8_t epc_lens_param_get(kavri_drv_t *drv, kv_lens_param_t *out, uint32_t width,
                                     uint32_t height);
/* Integration time change: the calculation keeps nothing of it; the temporal filter's history
 * starts afresh. */
KAVRI_API void epc_update_intg_time(kavri_drv_t *drv, uint16_t value, uint32_t which);
/* Modulation frequency change (Hz): remounts the calibration for the new frequency and updates
 * the range, and the temporal filter's history starts afresh; a frequency without calibration
 * leaves none mounted. Takes the state's lock: lands
 * between two decodes. */
KAVRI_API void epc_update_mod_freq(kavri_drv_t *drv, uint32_t freq_hz, uint32_t unused);
/* The calib_load operation: 0, or -1 when the parameter file name cannot be formed. */
KAVRI_API int32_t epc_calib_save(kavri_drv_t *drv, int32_t a0, int32_t a1, int32_t a2);
/* Switches filter filter_id (KAVRI_FILTER_*) on with its argument (read as the id's type; arg
 * NULL reads as 0; arg_size is not used). 1 done (an unknown id changes nothing), or 0 for a record
 * without state, for KAVRI_FILTER_CALIB without a calibration mounted for the current
 * frequency, and for a KAVRI_FILTER_TEMPORAL weight outside 1..1000 (ERR line; nothing changes).
 * Switching any filter but the temporal filter and the temperature monitor, on or off, starts the
 * temporal filter's history afresh. Takes the state's lock: lands between two decodes. */
KAVRI_API uint8_t epc_filter_enable(kavri_drv_t *drv, uint32_t filter_id, const void *arg,
                                    uint32_t arg_size);
/* Switches filter filter_id off. 1 (an unknown id changes nothing), or 0 for a record without
 * state. Takes the state's lock: lands between two decodes. KAVRI_FILTER_HDR also sets the
 * camera's second integration time to 0 (a command, sent outside the lock). */
KAVRI_API uint8_t epc_filter_disable(kavri_drv_t *drv, uint32_t filter_id);
/* dir 'w' or 'r'; count sensor registers from address (below 256). 0 or -1. */
KAVRI_API int32_t _epc_reg_rw(kavri_drv_t *drv, uint8_t dir, uint32_t address, uint32_t count,
                              uint32_t *values);

/* ---- calibration mount ---------------------------------------------------- */
/* Creates the empty calibration record of the state. 1, or 0 without state or memory. */
KAVRI_API uint8_t epc_calc_init(kavri_drv_t *drv);
/* Unmounts the calibration and frees the calibration record. */
KAVRI_API void epc_calc_uninit(kavri_drv_t *drv);
/* 1 mounted, -1 no calibration (default scale and offset set). */
KAVRI_API int32_t epc_calc_mount_calib(kavri_drv_t *drv);
/* Releases the mounted calibration blocks; distances are then computed without calibration. */
KAVRI_API void epc_calc_unmount_clib(kavri_drv_t *drv);
/* 1 when a calibration is mounted for the current modulation frequency, else 0. */
KAVRI_API uint8_t epc_calc_calib_loaded(kavri_drv_t *drv);
/* The scale/offset fit over plane 0 and the middle plane (each plane header
 * followed by 320 x 240 values). */
KAVRI_API void _calc_scale_offset(kavri_drv_t *drv, float *scale, float *offset,
                                  const uint8_t *plane0, const uint8_t *plane_mid);

/* ---- per-pixel arithmetic --------------------------------------------------
 * src holds `count` sub-frames of width x height samples, sensor row order.
 * Results are 1, or 0 unless count is 4 and width x height is a multiple of 4. */
KAVRI_API uint8_t calc_dist_calib_drnu(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *src, uint32_t width, uint32_t height,
                                       uint32_t count);
/* Distance (mm, into dist) and amplitude (into amp), width x height each, with the mounted
 * calibration's scale and offset but no per-pixel correction. */
KAVRI_API uint8_t calc_dist_calib_simple(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                         const uint16_t *src, uint32_t width, uint32_t height,
                                         uint32_t count);
/* Distance (mm) and amplitude without calibration: scale_um micrometres per phase step and
 * offset_mm added (plus the user offset when KAVRI_FILTER_OFFSET is on). */
KAVRI_API uint8_t calc_dist_calib_none(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp,
                                       const uint16_t *src, uint32_t width, uint32_t height,
                                       uint32_t count, int32_t scale_um, int32_t offset_mm);
/* Gray image (amplitude units) of width x height into amp. */
KAVRI_API uint8_t calc_gray(kavri_drv_t *drv, uint16_t *amp, const uint16_t *src, uint32_t width,
                            uint32_t height, uint32_t count);
/* Sensor readout row order to image order, width x height samples; dst may be src (a copy is
 * taken; on short memory an ERR line and dst untouched). */
KAVRI_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height);
/* Image row order back to sensor readout order, width x height samples; dst may be src (a copy
 * is taken; on short memory an ERR line and dst untouched). */
KAVRI_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int32_t width, int32_t height);

KAVRI_END_DECLS

#endif /* KAVRI_EPC_H */
