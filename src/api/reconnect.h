// Automatic reconnect (kavri/reconnect.h): the camera layer's side of a
// camera that leaves the bus and comes back.
#pragma once

#include <cstdint>

#include "api/dev_priv.h"

namespace kavri::api {

// kavri_dev_priv_t::link
enum class Link : uint8_t {
    up = 0,    // the camera is there
    gone = 1,  // it left; the handle waits for it
    back = 2,  // the reconnect worker is taking it back
};

inline bool link_up(const kavri_dev_priv_t *p) {
    return p->link.load() == static_cast<uint8_t>(Link::up);
}

// True when the capture's transfer errors of p mean that the camera went and
// the handle waits for it (reconnect on), rather than a failed capture.
bool waits_for_camera(const kavri_dev_priv_t *p);

// The camera of p went: the handle now waits for it, a running capture
// stops its transfers and its waiters wake with KAVRI_ERR_CAP_DISCONNECTED.
// From the event thread or the reconnect worker; takes `mutex` (level 1)
// only. False when the camera was already away or being taken back.
bool link_lost(kavri_dev_priv_t *p);

// The location as kavri_dev_priv_t::where keeps it.
uint32_t pack_where(const uint8_t (&if_info)[KAVRI_IF_INFO_SIZE]);

// Takes p out of the reconnect service: called by close once no other call
// is inside the record, with no lock held. The service's thread and its
// watcher subscription end with the last device.
void reconnect_forget(kavri_dev_priv_t *p);

}  // namespace kavri::api
