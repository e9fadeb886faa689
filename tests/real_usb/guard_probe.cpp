// Linked with both front ends on purpose: the usbfs front end must refuse to
// run when the libusb stand-in has replaced the real libusb.
#include "camsim.h"

int main() {
    return camsim_camera_count() >= 0 ? 0 : 1;
}
