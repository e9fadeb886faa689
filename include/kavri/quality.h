/* Depth quality for static scenes and for thresholding: the temporal
 * filter's settings, the per-pixel confidence image, and point clouds that
 * keep only confident pixels.
 *
 * The temporal filter itself is a switch of the chip driver's filters:
 * kavri_filter_enable(dev, KAVRI_FILTER_TEMPORAL, &weight, sizeof weight)
 * with a uint16_t weight of the new frame in per mille (1..1000; 1000 leaves
 * every frame as it is), kavri_filter_disable(dev, KAVRI_FILTER_TEMPORAL)
 * to switch it off (the default). It runs on each distance image
 * kavri_frame_get_distance produces, after the driver's other steps and
 * before lens undistortion, and keeps a history per pixel and per device:
 * - a pixel with a distance blends it into its history:
 *   history += weight / 1000 x (distance - history), the weight taken in
 *   steps of 1/1024 and the history in 1/16 mm;
 * - a pixel whose distance differs from its history by more than the motion
 *   threshold starts again from the new distance, so moving edges do not
 *   smear;
 * - a pixel without a distance keeps showing its history for at most the
 *   hole persistence in frames, then shows the new frame's mark (no
 *   distance) until it has a distance again.
 * The history starts afresh at a capture start, when the modulation
 * frequency, the frame rate or an integration time is set (the automatic
 * integration control included), when another filter is switched, at a seek
 * in a replay, and when the image size changes. Frames enter the history in
 * the order they are converted: convert each frame once, oldest first.
 * Only the EPC chips' driver has the filter; on others the switch answers 0. */
#ifndef KAVRI_QUALITY_H
#define KAVRI_QUALITY_H

#include <stdint.h>

#include "api.h"
#include "types.h"

KAVRI_BEGIN_DECLS

/* Defaults of the temporal filter's settings. */
#define KAVRI_TEMPORAL_MOTION_MM_DEFAULT 50u
#define KAVRI_TEMPORAL_HOLE_FRAMES_DEFAULT 2u
/* Largest hole persistence, in frames. */
#define KAVRI_TEMPORAL_HOLE_FRAMES_MAX 100u

/* Sets the temporal filter's motion threshold (mm, 1..60000: a distance that
 * differs from the pixel's history by more restarts it) and hole persistence
 * (frames, 0..KAVRI_TEMPORAL_HOLE_FRAMES_MAX: how long a pixel without a
 * distance keeps showing its history). Kept by the device whether or not the
 * filter is on, and kept through a reconnect. Returns 1; 0 for a value out of
 * range (ERR line) or a driver without the filter; -1 without a device or
 * driver. Lands between two conversions (takes the driver's state lock; sends
 * no command). Any thread. */
KAVRI_API int kavri_temporal_set(kavri_dev_t *dev, uint16_t motion_mm, uint8_t hole_frames);

/* The temporal filter's state for the device: its weight in per mille (1000
 * while it is off), motion threshold and hole persistence; each pointer may
 * be NULL. Returns 1 on with the filter on, 0 with it off or on a driver
 * without it, -1 without a device or driver. Any thread. */
KAVRI_API int kavri_temporal_get(kavri_dev_t *dev, uint16_t *weight_permille, uint16_t *motion_mm,
                                 uint8_t *hole_frames);

/* Confidence of each pixel of a raw frame, 0 (none) to 255 (best), into dst
 * (at least width x height bytes of dst_len), in the same pixel order and
 * geometry as the frame's distance image (the row merge of two integration
 * times and lens undistortion are followed when they are on). For a pixel
 * whose four samples s0..s3 (12 bits each) have the amplitude
 * A = sqrt(((s3 - s1)^2 + (s2 - s0)^2) / 4) (the gray image's value) and
 * the largest sample P:
 *   confidence = 0 when a sample is 0 or 4095 (saturated: the decode marks
 *                the pixel as without distance);
 *   otherwise  = floor(min(A, 255) x H), with the saturation headroom
 *                H = 1 for P <= 3584 and H = (4095 - P) / 511 above;
 * so it rises with the amplitude (the distance noise falls as 1 / A) and
 * falls as the samples near saturation. dist, when not NULL, is the same
 * frame's distance image from kavri_frame_get_distance (dist_len values):
 * its pixels without a distance (not inside 0 < d < 60 m) get 0 as well.
 * Returns the pixel count; 0 for bad arguments, a frame too short for its
 * description, a frame that is not a four-phase frame, or a driver without
 * confidence (the T0 chip's). Blocks for one pass over the frame; allocates
 * only when a thread first meets a larger image. Any thread. */
KAVRI_API int kavri_frame_get_confidence(kavri_dev_t *dev, uint8_t *dst, uint32_t dst_len,
                                         const void *raw, uint32_t raw_len,
                                         const kavri_frame_info_t *info, const float *dist,
                                         uint32_t dist_len);

/* Points as kavri_frame_get_pcl (x, y, z in metres, three floats each, at
 * most dst_len / 3), of only the pixels with a distance whose confidence
 * (conf, width x height values of conf_len, from kavri_frame_get_confidence)
 * is above threshold. Returns the point count; 0 for bad arguments (dist or
 * conf shorter than width x height, NULL buffers) or without lens
 * parameters. Any thread. */
KAVRI_API int kavri_frame_get_pcl_confident(kavri_dev_t *dev, float *dst, uint32_t dst_len,
                                            const float *dist, uint32_t dist_len,
                                            const uint8_t *conf, uint32_t conf_len,
                                            uint8_t threshold, uint32_t width, uint32_t height,
                                            const kavri_lens_param_t *lens);

KAVRI_END_DECLS

#endif /* KAVRI_QUALITY_H */
