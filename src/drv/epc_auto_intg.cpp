// Automatic integration time: from the share of saturated or empty samples of
// each frame the camera's integration time is stepped down, or up while the
// frame is dark, within 50..1500.
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/le.h"
#include "drv/epc_decode_steps.h"
#include "drv/epc_io.h"
#include "core/log_internal.h"

namespace kavri::epc {
namespace {

constexpr uint16_t kLowMin = 2, kLowMax = 511;
constexpr uint16_t kHighMin = 3585, kHighMax = 4094;
constexpr uint16_t kMidMax = 3584;
constexpr int32_t kStepUp = 50;
constexpr int32_t kStepDownSmall = -10;
constexpr uint32_t kFewHigh = 10;
constexpr uint32_t kFewLow = 512;
constexpr uint32_t kFewHighSaturated = 512;
constexpr uint32_t kBadPctFine = 10;  // per mille
constexpr uint32_t kPerMille = 1000;
constexpr int32_t kIntgMin = 50, kIntgMax = 1500;
constexpr int64_t kMinIntervalMs = 1;

int32_t step_when_ok(const SampleCounts &c) {
    return c.high <= kFewHigh && c.low <= kFewLow ? kStepUp : 0;
}

}  // namespace

SampleCounts count_samples(const uint16_t *src, size_t count) {
    uint32_t bad = 0, high = 0, low = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t s = src[i];
        low += (s >= kLowMin) & (s <= kLowMax);
        high += (s >= kHighMin) & (s <= kHighMax);
        bad += (s < kLowMin) | (s > kHighMax);
    }
    (void)kMidMax;  // 512..3584 are not counted
    return {bad, high, low, static_cast<uint32_t>(count)};
}

int32_t auto_intg_step(const SampleCounts &c, uint16_t sat_ratio) {
    constexpr const char *kTag = "_feature_auto_intg_calc_step";
    if (c.total == 0) {
        KV_TRC("[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", kTag, 0, 0, 0, 0,
               sat_ratio);
        return kStepUp;
    }
    const auto bad_pct = static_cast<uint32_t>(static_cast<uint64_t>(c.bad) * kPerMille / c.total);
    KV_TRC("[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n", kTag,
           static_cast<int>(bad_pct), static_cast<int>(c.bad), static_cast<int>(c.high),
           static_cast<int>(c.low), sat_ratio);
    if (bad_pct < sat_ratio) return step_when_ok(c);
    if (bad_pct < kBadPctFine) {
        if (bad_pct == 0 || c.high <= kFewHighSaturated) return step_when_ok(c);
        return kStepDownSmall;
    }
    return -static_cast<int32_t>(bad_pct / 10 * 10);
}

void auto_intg(kavri_drv_t *drv, State &st, const PreDecode &pre, const uint16_t *src,
               uint32_t src_bytes) {
    constexpr const char *kTag = "_feature_auto_intg";
    if (!pre.auto_intg_en || pre.sat_ratio == 0 || pre.hdr_en) return;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const int64_t last_s = st.auto_intg_last_s.load(std::memory_order_relaxed);
    const int64_t last_us = st.auto_intg_last_us.load(std::memory_order_relaxed);
    const int64_t elapsed_ms = (now.tv_sec - last_s) * 1000 + (now.tv_usec - last_us) / 1000;
    if (last_s != 0 && elapsed_ms <= kMinIntervalMs) return;

    const SampleCounts c = count_samples(src, src == nullptr ? 0 : src_bytes / 2);
    const int32_t step = auto_intg_step(c, pre.sat_ratio);
    uint8_t cur_b[2] = {};
    if (!param_read(drv, KAVRI_PARAM_INTG_TIME, cur_b, sizeof cur_b)) {
        KV_ERR("[%s] get intg failed\n", kTag);
        return;
    }
    const int32_t cur = le::get_u16(cur_b);
    const int32_t next = std::max(kIntgMin, std::min(kIntgMax, cur + step));
    if (next != cur) {
        KV_DBG("[%s] AUTO_INTG: %d->%d\n", kTag, cur, next);
        uint8_t val[2];
        le::put_u16(val, static_cast<uint16_t>(next));
        if (!param_write(drv, KAVRI_PARAM_INTG_TIME, val, sizeof val))
            KV_ERR("[%s] adjust intg from %d to %d failed\n", kTag, cur, next);
    }
    st.auto_intg_last_s.store(now.tv_sec, std::memory_order_relaxed);
    st.auto_intg_last_us.store(now.tv_usec, std::memory_order_relaxed);
}

}  // namespace kavri::epc
