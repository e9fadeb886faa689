/* Camera arrival and removal: one application callback, told of every
 * camera that appears on or leaves the USB buses. */
#ifndef KAVRI_HOTPLUG_H
#define KAVRI_HOTPLUG_H

#include <stddef.h>
#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* kavri_device_event_t.kind */
#define KAVRI_DEVICE_ARRIVED 1u
#define KAVRI_DEVICE_REMOVED 2u

/* kavri_device_event_t.flags (bits) */
/* The camera was already there when the callback was set: the arrival is
 * reported once at registration, before any later change. */
#define KAVRI_DEVICE_FLAG_PRESENT 0x1u
/* dev.product and dev.ident were read from the camera (at its arrival; a
 * removal repeats what its arrival read). Without it they are empty: the
 * camera could not be opened (another process or handle holds it, or it
 * left again at once). */
#define KAVRI_DEVICE_FLAG_IDENTIFIED 0x2u
/* Found by polling the bus list (the platform's libusb has no hotplug
 * support): reported up to KAVRI_DEVICE_POLL_MS late, and a camera that
 * leaves and comes back at the same address within one poll is missed. */
#define KAVRI_DEVICE_FLAG_POLLED 0x4u

/* How often the bus list is read where libusb has no hotplug (milliseconds).
 * KAVRI_HOTPLUG_POLL=1 in the environment (read when the watcher starts)
 * makes the library poll even where libusb has hotplug. */
#define KAVRI_DEVICE_POLL_MS 250u

/* One arrival or removal. */
typedef struct kavri_device_event {
    uint32_t kind;  /* KAVRI_DEVICE_ARRIVED or KAVRI_DEVICE_REMOVED */
    uint32_t flags; /* KAVRI_DEVICE_FLAG_* */
    /* A listed record, as kavri_dev_list fills one: if_type, if_info (bus,
     * port, address and speed of a kavri_usb_info_t) and located; product and
     * ident with KAVRI_DEVICE_FLAG_IDENTIFIED. Not open (ll is NULL): copy it
     * and pass the copy to kavri_dev_open to open that camera. */
    kavri_dev_t dev;
    uint8_t reserved[16];
} kavri_device_event_t;

/* Called once per event. `event` is valid during the call only (copy what is
 * kept); `user` is the pointer given with the callback. */
typedef void (*kavri_device_change_cb_t)(const kavri_device_event_t *event, void *user);

/* Sets the process's one device-change callback, replacing any earlier one;
 * cb NULL removes it. Returns 1; 0 when the watcher could not start (no USB
 * context), and then no callback is set.
 *
 * Threads: the callbacks run on one thread the library starts with the first
 * callback and stops when the callback is removed or at kavri_uninit. No lock
 * of the library is held during a call: the callback may list, open and
 * close cameras, and call this function (to replace or remove itself). A
 * long callback delays the events after it, never capture.
 * Blocking: a new callback first gets arrivals of the cameras present
 * (KAVRI_DEVICE_FLAG_PRESENT), then changes as they happen. Removing or
 * replacing waits until a call of the old callback in progress on the
 * watcher thread has returned (except from inside that callback), so after
 * this returns the old callback is never called again and `user` may be
 * freed. A camera's arrival is reported after its identity is read, which
 * opens the camera briefly. */
KAVRI_API int kavri_set_callback_on_device_change(kavri_device_change_cb_t cb, void *user);

/* ---- layout checks ---------------------------------------------------------- */
KAVRI_STATIC_ASSERT(offsetof(kavri_device_event_t, dev) == 8, "kavri_device_event_t.dev");
KAVRI_STATIC_ASSERT(sizeof(kavri_device_event_t) == 8 + sizeof(kavri_dev_t) + 16,
                    "kavri_device_event_t size");

KAVRI_END_DECLS

#endif /* KAVRI_HOTPLUG_H */
