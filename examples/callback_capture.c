/* Callback capture: the library calls on_frame for every frame while the
 * main thread waits in kavri_cap_wait; the callback stops the capture after
 * a few dozen frames, which ends the wait. */
#include <kavri.h>
#include <stdio.h>
#include <stdlib.h>

#define FRAMES 30
#define WAIT_MS 10000u

static int frames_seen;
static double distance_sum; /* centre distances, metres */
static float *dist;
static uint32_t dist_len;

static void on_frame(kavri_dev_t *dev, kavri_frame_t *frame) {
    const kavri_frame_info_t *info = &frame->frame_info;
    const uint32_t pixels = info->width * info->height;
    if (pixels > dist_len) {
        free(dist);
        dist = malloc(pixels * sizeof *dist);
        dist_len = dist ? pixels : 0;
    }
    if (dist != NULL &&
        kavri_frame_get_distance(dev, dist, dist_len, frame->frame_data, info->frame_size, info))
        distance_sum += dist[info->height / 2 * info->width + info->width / 2];
    if (++frames_seen == FRAMES) kavri_cap_stop(dev); /* allowed from a callback */
}

static uint8_t on_error(kavri_dev_t *dev, int32_t error, uint32_t arg) {
    (void)dev;
    fprintf(stderr, "capture error %s (%u)\n", kavri_error_name(error), arg);
    return error == KAVRI_ERR_CAP_FRAME_DISCARD; /* go on after damaged frames only */
}

int main(void) {
    kavri_init(NULL);
    kavri_dev_t *dev = kavri_dev_open(NULL);
    if (dev == NULL) {
        fprintf(stderr, "no camera could be opened (try: kavri-cli doctor)\n");
        kavri_uninit();
        return 1;
    }
    kavri_cap_set_callback_on_frame_ready(dev, on_frame);
    kavri_cap_set_callback_on_error(dev, on_error);
    int ok = kavri_cap_start(dev) && kavri_cap_wait(dev, WAIT_MS);
    kavri_cap_stop(dev);
    kavri_dev_close(dev);
    kavri_uninit();
    free(dist);
    if (!ok || frames_seen < FRAMES) {
        fprintf(stderr, "capture ended after %d frames\n", frames_seen);
        return 1;
    }
    printf("%d frames, mean centre distance %.3f m\n", frames_seen, distance_sum / frames_seen);
    return 0;
}
