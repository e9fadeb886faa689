// The camera's USB identity. The only thing the transport and the camera
// simulator share: everything else on the wire each side writes on its own.
#pragma once

#define KAVRI_USB_VENDOR_ID 0x3a7cu
#define KAVRI_USB_PRODUCT_ID 0x0d01u
