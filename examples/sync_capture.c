/* Synchronous capture: open the first camera, fetch ten frames one after
 * the other and print the distance at the centre of each. */
#include <kavri.h>
#include <stdio.h>
#include <stdlib.h>

#define FRAMES 10
#define RAW_BYTES (4u << 20) /* room for one raw frame */

int main(void) {
    kavri_init(NULL);
    kavri_dev_t *dev = kavri_dev_open(NULL);
    if (dev == NULL) {
        fprintf(stderr, "no camera could be opened (try: kavri-cli doctor)\n");
        kavri_uninit();
        return 1;
    }
    uint8_t *raw = malloc(RAW_BYTES);
    float *dist = NULL;
    int status = 1;
    if (raw == NULL || !kavri_cap_start(dev)) goto done;
    for (int i = 0; i < FRAMES; ++i) {
        kavri_frame_info_t info;
        if (kavri_cap_get_frames(dev, 1, raw, RAW_BYTES, &info) != 1) goto done;
        const uint32_t pixels = info.width * info.height;
        if (dist == NULL && (dist = malloc(pixels * sizeof *dist)) == NULL) goto done;
        if (kavri_frame_get_distance(dev, dist, pixels, raw, info.frame_size, &info) == 0)
            goto done;
        const uint32_t centre = info.height / 2 * info.width + info.width / 2;
        printf("frame %u: %ux%u, centre %.3f m\n", info.frame_idx, info.width, info.height,
               dist[centre]);
    }
    status = 0;
done:
    kavri_cap_stop(dev);
    kavri_dev_close(dev);
    free(dist);
    free(raw);
    kavri_uninit();
    if (status != 0) fprintf(stderr, "capture failed\n");
    return status;
}
