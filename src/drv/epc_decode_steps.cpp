// Per-pixel steps of the distance pipeline; plain loops the compiler turns
// into vector code.
#include "drv/epc_decode_steps.h"

#include <cstdint>

#include "drv/calc_pixel.h"
#include "kavri/epc.h"

namespace kavri::epc {

constexpr uint32_t kRangeMinMm = 100;

KV_ISA_CLONES(void, merge_rows, (uint16_t * dist, uint16_t *amp, uint32_t width, uint32_t height),
              (dist, amp, width, height)) {
    for (uint32_t r = 0; r + 1 < height; r += 2) {
        uint16_t *m0 = amp + size_t{r} * width;
        uint16_t *m1 = m0 + width;
        uint16_t *d0 = dist + size_t{r} * width;
        uint16_t *d1 = d0 + width;
        for (uint32_t x = 0; x < width; ++x) {
            const auto a = static_cast<int16_t>(m0[x]);
            const auto b = static_cast<int16_t>(m1[x]);
            const bool upper_wins = b < a;
            const uint16_t m = upper_wins ? m0[x] : m1[x];
            const uint16_t d = upper_wins ? d0[x] : d1[x];
            m0[x] = m1[x] = m;
            d0[x] = d1[x] = d;
        }
    }
}

KV_ISA_CLONES(void, merge_rows_gray, (uint16_t * gray, uint32_t width, uint32_t height),
              (gray, width, height)) {
    for (uint32_t r = 0; r + 1 < height; r += 2) {
        uint16_t *g0 = gray + size_t{r} * width;
        uint16_t *g1 = g0 + width;
        for (uint32_t x = 0; x < width; ++x) {
            const auto a = static_cast<int16_t>(g0[x]);
            const auto b = static_cast<int16_t>(g1[x]);
            const uint16_t m = b < a ? g0[x] : g1[x];
            g0[x] = g1[x] = m;
        }
    }
}

KV_ISA_CLONES(void, amp_filter_hyst,
              (uint16_t * dist, const uint16_t *amp, uint8_t *state, size_t n, uint16_t amp_min,
               uint16_t hyst),
              (dist, amp, state, n, amp_min, hyst)) {
    const int32_t lo = static_cast<int32_t>(amp_min) - hyst;  // off below this
    for (size_t i = 0; i < n; ++i) {
        const int32_t m = amp[i];
        const uint8_t on = m >= amp_min ? 1 : (m < lo ? 0 : state[i]);
        state[i] = on;
        dist[i] = on ? dist[i] : static_cast<uint16_t>(KAVRI_DIST_REMOVED);
    }
}

KV_ISA_CLONES(void, amp_filter, (uint16_t * dist, const uint16_t *amp, size_t n, uint16_t amp_min),
              (dist, amp, n, amp_min)) {
    for (size_t i = 0; i < n; ++i)
        dist[i] = amp[i] < amp_min ? static_cast<uint16_t>(KAVRI_DIST_REMOVED) : dist[i];
}

KV_ISA_CLONES(void, range_check, (uint16_t * dist, size_t n, uint32_t range_mm),
              (dist, n, range_mm)) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t v = dist[i];
        const bool out = v <= KAVRI_DIST_MAX_VALID && (v >= range_mm || v <= kRangeMinMm);
        dist[i] = out ? static_cast<uint16_t>(KAVRI_DIST_REMOVED) : dist[i];
    }
}

}  // namespace kavri::epc
