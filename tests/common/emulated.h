// Whether the test runs under an emulator: the arm64 cross build's tests run
// through qemu-user, started with KAVRI_TEST_EMULATED=1 (see
// cmake/KavriTesting.cmake). An emulated process runs many times slower
// than the processor it stands for, so checks of a camera's pace or of
// throughput step aside there, as they do under the sanitizers.
#pragma once

#include <cstdlib>

namespace kavri_testing {

inline bool emulated() {
    const char *flag = std::getenv("KAVRI_TEST_EMULATED");
    return flag != nullptr && flag[0] != '\0' && flag[0] != '0';
}

}  // namespace kavri_testing
