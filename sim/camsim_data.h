/*
 * Camera simulator: the data images in the simulated camera's flash
 * (firmware, calibration data ...), one per 8-bit data type, and the faults
 * of the data transfer. Part of camsim.h's interface (camsim.h includes it).
 */
#ifndef KAVRI_CAMSIM_DATA_H
#define KAVRI_CAMSIM_DATA_H

#include "camsim.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- faults of the data transfer (camsim_inject) --------------------------- */
/* The next `count` start actions are acknowledged with status `arg` (0: 2,
 * "refused") instead of 3; the camera then waits for a new start action. */
#define CAMSIM_FAULT_DATA_REJECT_START 20
/* The next `count` erases never finish: every acknowledgement says 4
 * (erasing) until the next start action. */
#define CAMSIM_FAULT_DATA_ERASE_STUCK 21
/* The next `count` data blocks arrive with one byte flipped: their CRC no
 * longer matches and the camera asks for the same block again. */
#define CAMSIM_FAULT_DATA_CORRUPT_BLOCK 22
/* The next `count` acknowledgement requests (action 4, read form) are
 * refused with status 255. */
#define CAMSIM_FAULT_DATA_ACK_FAIL 23
/* The next `count` payload requests (action 0x11) are refused with status
 * 255; the upload position does not move. */
#define CAMSIM_FAULT_DATA_PAYLOAD_FAIL 24

/* ---- flash store ------------------------------------------------------------ */
/* Largest image one data type can hold. */
#define CAMSIM_DATA_CAPACITY (4u * 1024u * 1024u)

typedef struct camsim_data_info {
    uint8_t valid; /* 1 when the camera holds an image of this type */
    uint8_t type;
    uint16_t version;
    uint32_t size;    /* bytes; 0xFFFFFFFF when not valid (as data info reports it) */
    uint32_t address; /* where the image lives in the camera's memory */
} camsim_data_info_t;

/* Copies min(size, capacity) bytes of the image of `type` to dst (may be
 * NULL) and fills info (may be NULL). Returns the image size, or
 * CAMSIM_ENOENT when the camera holds no valid image of that type. */
CAMSIM_API int camsim_data_get(int cam, uint8_t type, uint8_t *dst, uint32_t capacity,
                               camsim_data_info_t *info);
/* Stores an image as if it had been downloaded (size 0 allowed, at most
 * CAMSIM_DATA_CAPACITY). */
CAMSIM_API int camsim_data_put(int cam, uint8_t type, uint16_t version, const uint8_t *bytes,
                               uint32_t size);
/* Erases the image of `type` (data info then reports 0xFFFFFFFF). */
CAMSIM_API int camsim_data_erase(int cam, uint8_t type);
/* How long an erase keeps the camera busy (status 4), default 100 ms. The
 * first acknowledgement after an erase action always says 4 when ms > 0. */
CAMSIM_API int camsim_data_set_erase_time(int cam, uint32_t ms);
/* How long the camera answers its status poll with 254 (busy) while it works
 * on flash, default 0: after an erase action, and after the acknowledgement
 * read that follows an image's last block (the camera takes the image). A
 * real camera stays busy there for tens of seconds. */
CAMSIM_API int camsim_data_set_busy_time(int cam, uint32_t ms);

typedef struct camsim_data_stats {
    uint32_t info_requests;    /* data info reads (action 0) */
    uint32_t starts;           /* start actions (action 1) */
    uint32_t erases;           /* erase actions (action 7) */
    uint32_t ack_reads;        /* acknowledgements handed out (action 4) */
    uint32_t erase_busy_acks;  /* of them: status 4 */
    uint32_t blocks;           /* data blocks received on bulk OUT */
    uint32_t bad_blocks;       /* of them: refused (CRC, length, out of turn) */
    uint32_t images_written;   /* images completed into the flash */
    uint32_t payload_requests; /* payload requests (action 0x11) answered */
    uint32_t payload_bytes;    /* bytes handed over by them */
    uint32_t last_block_len;   /* data length of the latest good block */
    uint32_t reserved;
} camsim_data_stats_t;
CAMSIM_API int camsim_data_get_stats(int cam, camsim_data_stats_t *out);

#ifdef __cplusplus
}
#endif

#endif /* KAVRI_CAMSIM_DATA_H */
