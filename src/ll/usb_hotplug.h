// The camera watcher: one thread with its own libusb context that follows
// arrivals and removals on the USB buses (libusb's hotplug where libusb has
// it, else a poll of the bus list) and hands them to subscribers. The public
// device-change callback is one subscriber; others in the library (a handle
// waiting for its camera to come back) subscribe the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "kavri/hotplug.h"

namespace kavri::ll {

// How often the bus list is read where libusb has no hotplug.
inline constexpr std::chrono::milliseconds kDevicePollInterval{KAVRI_DEVICE_POLL_MS};
// Set (to anything but "0") in the environment, the watcher polls even where
// libusb has hotplug: the path of platforms without it, on any machine.
inline constexpr const char *kForcePollingEnv = "KAVRI_HOTPLUG_POLL";

using DeviceChangeFn = std::function<void(const kavri_device_event_t &)>;
using DeviceSubscription = uint64_t;  // 0: none

// Adds a subscriber, starting the watcher if it is the first. The subscriber
// gets the cameras present first (KAVRI_DEVICE_FLAG_PRESENT), then every
// change, all on the watcher thread with no lock held. Returns 0 when the
// watcher cannot start.
DeviceSubscription device_change_subscribe(DeviceChangeFn fn);
// Removes a subscriber; the last one stops the watcher. Off the watcher
// thread, returns once a call of that subscriber in progress has returned.
void device_change_unsubscribe(DeviceSubscription id);
// Drops every subscriber and stops the watcher (kavri_uninit).
void device_watch_shutdown();
// True on the watcher thread (a subscriber's callback runs there).
bool on_device_watch_thread();

}  // namespace kavri::ll
