// What a front end of the camera model gives the control interface that every
// front end shares (camera_api.cpp, calib_api.cpp, data_api.cpp). Two front
// ends exist: the libusb stand-in (libkavri_camsim.so) and the emulated usbfs
// device behind the real libusb (sim/usbfs). Each defines these functions,
// so a program that links both fails to link instead of running with the
// stand-in silently replacing the real libusb.
#pragma once

#include <functional>

#include "camera.h"

// The control interface's functions are the only ones a front end exports.
#ifndef CAMSIM_EXPORT
#define CAMSIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace camsim::front {

// Runs f on camera `cam` under the front end's lock, after bringing the
// front end up to now; CAMSIM_ENOCAM for an id never handed out. f runs on
// the calling thread and must not call back into the control interface.
int with_camera(int cam, const std::function<int(Camera &)> &f);

// A test changed something (a fault, the pacing) that may make a transfer
// due at once: the front end delivers what is due and wakes its waiters.
void changed();

// The camera's part of camsim_camera_info_t (chip, size, frame, streaming);
// the front end fills in the bus position. Called with the front end's lock.
void describe(Camera &cam, camsim_camera_info_t &out);

}  // namespace camsim::front
