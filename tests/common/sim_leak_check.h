// The "nothing left behind" check every simulator fixture runs at tear-down,
// once the test's handles are closed: no USB context, device reference or
// object, open handle, claimed interface, allocated or in-flight transfer remains, and the
// simulator saw no misuse beyond what the test provoked on purpose.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "camsim.h"

namespace kavri_testing {

inline void expect_nothing_left_behind(uint32_t expected_misuse = 0) {
    camsim_counters_t c{};
    camsim_get_counters(&c);
    EXPECT_EQ(c.contexts, 0) << "USB contexts left";
    EXPECT_EQ(c.device_refs, 0) << "device references left";
    EXPECT_EQ(c.devices, 0) << "device objects alive";
    EXPECT_EQ(c.open_handles, 0) << "open handles left";
    EXPECT_EQ(c.claimed_interfaces, 0) << "claimed interfaces left";
    EXPECT_EQ(c.live_transfers, 0) << "transfers not freed";
    EXPECT_EQ(c.inflight_transfers, 0) << "transfers in flight";
    EXPECT_EQ(camsim_misuse_count(), expected_misuse) << camsim_last_misuse();
}

}  // namespace kavri_testing
