// How the library's log level maps onto the USB library's debug level: the
// chattier the log, the chattier libusb.
#pragma once

#include <array>
#include <cstdint>

namespace kavri::ll {

// Index: log level 0 TRC .. 5 off; value: libusb level 0 none .. 4 debug.
inline constexpr std::array<int, 6> kUsbDebugLevelOf = {4, 4, 3, 2, 1, 0};

constexpr int usb_debug_level_for(uint32_t log_level) {
    return log_level < kUsbDebugLevelOf.size() ? kUsbDebugLevelOf[log_level] : 0;
}

}  // namespace kavri::ll
