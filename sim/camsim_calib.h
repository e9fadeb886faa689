/*
 * Camera simulator: the calibration package in the simulated camera's
 * memory. The camera reports the package's 18-byte header as parameter 8
 * and, while parameter 0 is 9 (data upload), streams the package (header,
 * then payload, zero padded to whole frames) as frames of 153600 bytes,
 * format 171, frame indexes from 0, after each stream start.
 * Part of camsim.h's interface (camsim.h includes it).
 */
#ifndef KAVRI_CAMSIM_CALIB_H
#define KAVRI_CAMSIM_CALIB_H

#include "camsim.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CAMSIM_CALIB_FRAME_BYTES 153600u
#define CAMSIM_CALIB_FRAME_FORMAT 171u
#define CAMSIM_CALIB_HEADER_BYTES 18u
/* Payload type of a zip archive; any other value means a parameter file. */
#define CAMSIM_CALIB_PAYLOAD_ZIP 1u
/* For package_size and payload_size: let the camera compute the value. */
#define CAMSIM_CALIB_AUTO 0xFFFFFFFFu

/* The header fields the camera reports and streams (bytes 2..5 stay 0). */
typedef struct camsim_calib_header {
    uint8_t valid;        /* 1: a package is stored */
    uint8_t payload_type; /* CAMSIM_CALIB_PAYLOAD_ZIP or a parameter file */
    uint8_t reserved[2];
    uint32_t timestamp;
    uint32_t package_size; /* header included; AUTO: header + payload rounded up to whole
                              frames (what the host expects) */
    uint32_t payload_size; /* AUTO: the payload's length */
} camsim_calib_header_t;

/* Stores payload bytes (len may be 0) as the camera's package. hdr NULL:
 * valid 1, payload type 1 when the payload begins with "PK\3\4" (0
 * otherwise), the timestamp of a parameter file's header (bytes 1..4) or 1,
 * sizes AUTO. The stream carries max(18 + len, package_size) bytes rounded up
 * to whole frames, zeros after the payload. */
CAMSIM_API int camsim_calib_set(int cam, const uint8_t *payload, uint32_t len,
                                const camsim_calib_header_t *hdr);
/* The package CAMSIM_CALIB would give: "bin" (the parameter file made from
 * the camera's own phase model), "zip" (that file as "kavri_param_<id>.bin"
 * inside a zip archive), "none" (parameter 8 all zeros, nothing streamed) or
 * a file's path (its bytes as the payload, header as for hdr NULL above). */
CAMSIM_API int camsim_calib_use(int cam, const char *spec);
/* No package: camsim_calib_use(cam, "none"). */
CAMSIM_API int camsim_calib_none(int cam);
/* Copies min(payload length, capacity) payload bytes to dst (may be NULL)
 * and the header to hdr (may be NULL, sizes as reported); returns the
 * payload length. */
CAMSIM_API int camsim_calib_get(int cam, uint8_t *dst, uint32_t capacity,
                                camsim_calib_header_t *hdr);
/* The software version the camera reports (second 16-bit word of
 * parameter 6), kept across power cycles like CAMSIM_SW_VERSION. */
CAMSIM_API int camsim_calib_set_sw_version(int cam, uint16_t version);

typedef struct camsim_calib_stats {
    uint32_t uploads;        /* uploads begun (first frame of the package sent) */
    uint32_t frames_sent;    /* package frames put into the stream */
    uint32_t package_frames; /* frames the stored package fills */
    uint32_t reserved;
} camsim_calib_stats_t;
CAMSIM_API int camsim_calib_get_stats(int cam, camsim_calib_stats_t *out);

#ifdef __cplusplus
}
#endif

#endif /* KAVRI_CAMSIM_CALIB_H */
