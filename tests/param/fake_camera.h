// A stand-in for the camera API's parameter read, so the file naming and
// the package handling can be tested without a camera.
#pragma once

#include <cstdint>

#include "kavri/types.h"

namespace kavri::param::test {

struct FakeChipInfo {
    uint32_t chip_word = 0x12345678;  // parameter 7, value bytes 2..5
    uint32_t uid_word = 0x00000001;   // parameter 5, value bytes 0..3
    bool fail_chip = false;
    bool fail_uid = false;
    int reads = 0;
};

// The state the fake answers from; reset by each test.
FakeChipInfo &fake_camera();

inline int32_t fake_param_id() {
    return static_cast<int32_t>(fake_camera().chip_word ^ fake_camera().uid_word);
}

}  // namespace kavri::param::test
