/* Counts the cameras libusb sees and prints "cameras=N". Linked against the
 * real libusb: under camsim-run it must see the simulated ones. */
#include <libusb-1.0/libusb.h>
#include <stdio.h>

int main(void) {
    libusb_context *ctx = NULL;
    if (libusb_init(&ctx) != 0) return 2;
    libusb_device **list = NULL;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int cameras = 0;
    for (ssize_t i = 0; i < n; ++i) {
        struct libusb_device_descriptor d;
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == 0x3a7c &&
            d.idProduct == 0x0d01)
            ++cameras;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    printf("cameras=%d\n", cameras);
    return 0;
}
