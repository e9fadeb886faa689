/* Calibration parameter file and loading calibration from the camera. */
#ifndef KAVRI_PARAM_H
#define KAVRI_PARAM_H

#include <stdint.h>
#include <stdio.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* ---- parameter file layout ------------------------------------------------
 * A 1202-byte header, then up to seven blocks. All fields little-endian. */
/* Room for a file name under the working path: the 255-character prefix,
 * the longest file name the library forms under it, and the NUL. */
#define KAVRI_PARAM_PATH_SIZE 320
#define KAVRI_PARAM_NAME_SIZE KAVRI_PARAM_PATH_SIZE
#define KAVRI_PARAM_HDR_SIZE 1202
#define KAVRI_PARAM_MAX_BLKS 7
#define KAVRI_PARAM_BLK_SLOTS 8
#define KAVRI_PARAM_UNIT_HDR_SIZE 5

/* Header field offsets. */
#define KAVRI_PARAM_HDR_OFF_VERSION 0       /* u8: 140 and up current, below legacy */
#define KAVRI_PARAM_HDR_OFF_TIMESTAMP 1     /* u32 calibration time stamp */
#define KAVRI_PARAM_HDR_OFF_MAGIC 5         /* u32 "KVP1", or 1000 in legacy files */
#define KAVRI_PARAM_HDR_OFF_HDR_CKSUM 18    /* u16 Fletcher-16 over bytes 20..1187 */
#define KAVRI_PARAM_HDR_OFF_LENS_NAME 20    /* 64 bytes of text */
#define KAVRI_PARAM_HDR_OFF_CX 84           /* f64 principal point x */
#define KAVRI_PARAM_HDR_OFF_CY 92           /* f64 principal point y */
#define KAVRI_PARAM_HDR_OFF_BLK_TS 1188     /* u32 */
#define KAVRI_PARAM_HDR_OFF_BLK_CNT 1192    /* u32, at most 7 */
#define KAVRI_PARAM_HDR_OFF_BLKS_SIZE 1196  /* u32 sum of (5 + block size) */
#define KAVRI_PARAM_HDR_OFF_BLKS_CKSUM 1200 /* u16 Fletcher-16 over the block area */

#define KAVRI_PARAM_VERSION_CURRENT 140
#define KAVRI_PARAM_MAGIC_CURRENT 0x3150564Bu /* "KVP1" */
#define KAVRI_PARAM_MAGIC_LEGACY 1000u
#define KAVRI_PARAM_UNIT_CALIB 1 /* block carrying one modulation frequency */

#if defined(__GNUC__)
#define KAVRI_PACKED __attribute__((packed))
#else
#define KAVRI_PACKED
#endif

/* One block's unit header as kept in the handle (host byte order). */
typedef struct KAVRI_PACKED kavri_param_unit_hdr {
    uint8_t type;
    uint32_t size; /* bytes of block data */
} kavri_param_unit_hdr_t;

/* An open parameter file; the caller owns the record, zeroed or not. */
typedef struct kavri_param {
    char name[KAVRI_PARAM_NAME_SIZE];  /* path the handle was opened with */
    FILE *file;                        /* open while the handle is valid */
    uint8_t hdr[KAVRI_PARAM_HDR_SIZE]; /* the file header as read */
    kavri_param_unit_hdr_t unit_hdr[KAVRI_PARAM_BLK_SLOTS];
    uint32_t data_off[KAVRI_PARAM_BLK_SLOTS]; /* file offset of each block's data */
    uint8_t valid;
} kavri_param_t;

KAVRI_STATIC_ASSERT(sizeof(kavri_param_unit_hdr_t) == KAVRI_PARAM_UNIT_HDR_SIZE,
                    "unit header is 5 packed bytes");

/* Receives one block: the data buffer belongs to the reader and is released
 * when the callback returns. A nonzero result means the block was accepted. */
typedef int32_t (*kavri_param_blk_cb_t)(kavri_param_t *param,
                                        const kavri_param_unit_hdr_t *unit_hdr, const uint8_t *data,
                                        uint32_t size, uint32_t user);

/* Library-wide set-up of the parameter file reader (nothing to do today): 1. */
KAVRI_API int kavri_param_init(void);
/* Counterpart of kavri_param_init (nothing to release today). */
KAVRI_API void kavri_param_uninit(void);

/* Opens and verifies a parameter file (header, blocks, checksums). Opening a
 * valid handle again does not close its earlier file: close it first. */
KAVRI_API uint8_t kavri_param_open_file(kavri_param_t *param, const char *path);
/* Closes the handle's file and marks it invalid; an invalid or NULL handle is left alone. */
KAVRI_API void kavri_param_close(kavri_param_t *param);
/* 1 while the handle holds a verified, open file, else 0. */
KAVRI_API uint8_t kavri_param_is_valid(const kavri_param_t *param);
/* The number of blocks of a valid handle's file (at most 7), 0 for an invalid handle. */
KAVRI_API uint32_t kavri_param_get_blk_cnt(const kavri_param_t *param);
/* Reads block blk_idx (0-based) of a valid handle and hands it to cb with user on the calling
 * thread; the data buffer is the reader's and valid only during the call. 1 when cb accepted it,
 * 0 for a bad index, a read failure (ERR line) or a refusal. Blocks for the file read. */
KAVRI_API uint8_t kavri_param_parse_blk(kavri_param_t *param, uint32_t blk_idx,
                                        kavri_param_blk_cb_t cb, uint32_t user);

/* ---- calibration package from the camera ---------------------------------- */

/* Pulls the calibration package from the camera (data upload mode, the
 * package streamed as calibration frames) into the device's working path and
 * stores it as the parameter file, unpacking a zip package there; the package
 * file and archive are removed once stored. 1 when a download was attempted:
 * open the parameter file to see whether it succeeded. The camera is back in
 * normal mode afterwards (unless the switch to upload mode failed). Runs a
 * capture: call it only while the device is not capturing. */
KAVRI_API uint8_t kavri_param_load_from_dev(kavri_dev_t *dev);

/* "<prefix>kavri_param_<id>.bin" and "<prefix>kavri_param_lens_<id>.txt" for
 * the camera's parameter id. NULL when the camera's chip information cannot
 * be read, or (with an ERR line) when the name does not fit the buffer: a
 * truncated name would name another file. KAVRI_PARAM_PATH_SIZE bytes hold
 * any name under any working path. */
KAVRI_API char *kavri_get_param_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size);
/* The lens parameter file's name; as kavri_get_param_absolute_name. */
KAVRI_API char *kavri_get_param_lens_absolute_name(kavri_dev_t *dev, char *buf, uint32_t size);

/* Progress callback of the package unpacking: arg points at the int32 entry
 * total; returns 0 to go on. */
KAVRI_API int on_extract_to_folder_entry(const char *filename, void *arg);

/* 0 when the directory exists or was created, else the libuv error. */
KAVRI_API int uv_fs_mkdir_ex(const char *dir, uint32_t mode);
/* 0 when the directory was removed, else the access or removal error. */
KAVRI_API int uv_fs_rmdir_ex(const char *dir);

KAVRI_END_DECLS

#endif /* KAVRI_PARAM_H */
