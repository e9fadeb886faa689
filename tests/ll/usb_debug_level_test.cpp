// The log level selects how much libusb itself reports.
#include <gtest/gtest.h>

#include "ll/usb_debug_level.h"

namespace {

TEST(UsbDebugLevel, MapsLogLevelsToLibusbLevels) {
    struct Case {
        uint32_t log_level;
        int libusb_level;
    };
    const Case cases[] = {{0, 4}, {1, 4}, {2, 3}, {3, 2},          {4, 1},
                          {5, 0}, {6, 0}, {7, 0}, {0xFFFFFFFFu, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(kavri::ll::usb_debug_level_for(c.log_level), c.libusb_level) << c.log_level;
}

}  // namespace
