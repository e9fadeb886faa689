// Consistency of the four sub-frames: opposite phase samples of a lit pixel
// add up to about twice the mid level. When most pixels disagree the camera is
// out of step and is told to resynchronise, at most once per second.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/le.h"
#include "drv/epc_decode_steps.h"
#include "drv/drv_counters.h"
#include "drv/epc_io.h"
#include "kavri/epc.h"
#include "kavri/log.h"

namespace kavri::epc {
namespace {

constexpr uint32_t kPairSumMin = 4017, kPairSumMax = 4175;
constexpr uint64_t kConsistentPct = 60;  // both pairs must exceed this share
constexpr uint16_t kMask = 0x0FFF;

int64_t wall_clock_s() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return now.tv_sec;
}

// The clock the once-a-second limit reads; tests set their own so that they
// need not align themselves to the wall clock.
std::atomic<SyncClock> g_clock{wall_clock_s};

}  // namespace

void set_sync_clock(SyncClock clock) {
    g_clock.store(clock != nullptr ? clock : wall_clock_s, std::memory_order_relaxed);
}

bool frame_consistent(const uint16_t *src, size_t n, size_t examined) {
    if (examined == 0 || n == 0) return false;
    const uint16_t *s0 = src, *s1 = src + n, *s2 = src + 2 * n, *s3 = src + 3 * n;
    uint32_t c02 = 0, c13 = 0;
    for (size_t i = 0; i < examined; ++i) {
        const uint32_t a = (s0[i] & kMask) + (s2[i] & kMask);
        const uint32_t b = (s1[i] & kMask) + (s3[i] & kMask);
        c02 += (a >= kPairSumMin) & (a <= kPairSumMax);
        c13 += (b >= kPairSumMin) & (b <= kPairSumMax);
    }
    return uint64_t{c02} * 100 / n > kConsistentPct && uint64_t{c13} * 100 / n > kConsistentPct;
}

bool sync_check(kavri_drv_t *drv, State &st, int16_t sync_value, const uint16_t *src, size_t n,
                uint32_t src_bytes) {
    const int64_t now_s = g_clock.load(std::memory_order_relaxed)();
    // Never past the first sub-frame, whatever the byte count says.
    const size_t examined = std::min<size_t>(src_bytes / 8, n);
    if (frame_consistent(src, n, examined)) return true;
    if (now_s <= st.resync_last_s.load(std::memory_order_relaxed)) return true;
    uint8_t val[3];
    val[0] = sync_value == 0 ? 1 : 0;
    le::put_u16(val + 1, static_cast<uint16_t>(sync_value));
    param_write(drv, KAVRI_PARAM_RESYNC, val, sizeof val);
    st.resync_last_s.store(now_s, std::memory_order_relaxed);
    st.sync_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
}

}  // namespace kavri::epc

namespace kavri::drv {

uint64_t refused_frames(kavri_drv_t *drv) {
    if (drv == nullptr || drv->ops != &kavri_epc_ops_internal) return 0;
    const epc::State *st = epc::state_of(drv);
    return st != nullptr ? st->sync_refused.load(std::memory_order_relaxed) : 0;
}

}  // namespace kavri::drv
