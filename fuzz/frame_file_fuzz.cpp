// Frame files of any content loaded as distance and as gray images into a
// buffer of input-chosen size: never more values than the buffer holds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "kavri.h"

namespace {

constexpr float kGuard = -12345.0f;

void load(bool gray, int fd, int dst_len) {
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    std::vector<float> dst(static_cast<size_t>(dst_len) + 1, kGuard);
    uint32_t w = 0, h = 0;
    const int n = gray ? kavri_frame_load_gray(fd, dst.data(), dst_len, &w, &h)
                       : kavri_frame_load_distance(fd, dst.data(), dst_len, &w, &h);
    FUZZ_CHECK(n <= dst_len);
    FUZZ_CHECK(dst[static_cast<size_t>(dst_len)] == kGuard);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    return 0;
}

// Input: [buffer size byte][file bytes ...]
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    static const int kLens[] = {0, 1, 16, 320 * 240};
    const int dst_len = kLens[data[0] % 4];
    const int fd = memfd_create("kvfuzz_frame", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1));
    load(false, fd, dst_len);
    load(true, fd, dst_len);
    close(fd);
    return 0;
}
