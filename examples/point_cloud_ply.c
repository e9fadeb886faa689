/* One frame as a point cloud: snapshot, distances, points through the
 * driver's lens parameters, written as an ASCII PLY file.
 *   point_cloud_ply [out.ply]     (default cloud.ply) */
#include <kavri.h>
#include <stdio.h>
#include <stdlib.h>

#define RAW_BYTES (4u << 20)

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "cloud.ply";
    kavri_init(NULL);
    kavri_dev_t *dev = kavri_dev_open(NULL);
    if (dev == NULL) {
        fprintf(stderr, "no camera could be opened (try: kavri-cli doctor)\n");
        kavri_uninit();
        return 1;
    }
    int status = 1;
    uint8_t *raw = malloc(RAW_BYTES);
    float *dist = NULL, *xyz = NULL;
    kavri_frame_info_t info;
    if (raw == NULL || !kavri_cap_snapshot(dev, raw, RAW_BYTES, &info)) goto done;
    const uint32_t pixels = info.width * info.height;
    dist = malloc(pixels * sizeof *dist);
    xyz = malloc((3 * pixels + 3) * sizeof *xyz);
    if (dist == NULL || xyz == NULL) goto done;
    if (!kavri_frame_get_distance(dev, dist, pixels, raw, info.frame_size, &info)) goto done;
    const int points =
        kavri_frame_get_pcl(dev, xyz, 3 * pixels + 3, dist, pixels, info.width, info.height, NULL);
    FILE *f = fopen(path, "w");
    if (f == NULL) goto done;
    fprintf(f,
            "ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
            "property float z\nend_header\n",
            points);
    for (int i = 0; i < points; ++i)
        fprintf(f, "%.4f %.4f %.4f\n", xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]);
    if (fclose(f) == 0) {
        printf("%d points written to %s\n", points, path);
        status = 0;
    }
done:
    kavri_dev_close(dev);
    free(xyz);
    free(dist);
    free(raw);
    kavri_uninit();
    if (status != 0) fprintf(stderr, "no point cloud written\n");
    return status;
}
