// The temporal filter's per-pixel pass and its history bookkeeping.
#include "drv/epc_temporal.h"

#include <algorithm>
#include <new>

#include "drv/calc_pixel.h"
#include "kavri/epc.h"
#include "core/log_internal.h"

namespace kavri::epc {
namespace {

constexpr int32_t kNoHistory = -1;
constexpr int32_t kFracBits = 4;  // history in 1/16 mm
constexpr int32_t kHalf = 1 << (kFracBits - 1);
constexpr int32_t kWeightBits = 10;  // weights in 1/1024
constexpr int32_t kWeightHalf = 1 << (kWeightBits - 1);
constexpr int32_t kPermille = 1000;
constexpr int32_t kMaxValid = KAVRI_DIST_MAX_VALID;

}  // namespace

int32_t weight_q10(uint16_t permille) {
    const int32_t w = std::clamp<int32_t>(permille, 1, kPermille);
    return (w * (1 << kWeightBits) + kPermille / 2) / kPermille;
}

// Branch-free, so that it vectorises: every lane computes both outcomes and
// keeps one through all-ones/all-zeros masks (conditional expressions on
// flags keep GCC from vectorising the AVX2 and baseline clones). The products
// stay inside 32 bits: |history - new| is at most 60000 x 16, times a weight
// of at most 1024.
KV_ISA_CLONES(void, temporal_pass,
              (uint16_t *__restrict dist, int32_t *__restrict history, uint8_t *__restrict held,
               size_t n, int32_t weight_q10, int32_t motion_q, uint8_t hole_frames),
              (dist, history, held, n, weight_q10, motion_q, hole_frames)) {
    const int32_t holes = hole_frames;
    for (size_t i = 0; i < n; ++i) {
        const int32_t v = dist[i];
        const int32_t h = history[i];
        const int32_t k = held[i];
        const int32_t valid = -static_cast<int32_t>(v <= kMaxValid);
        const int32_t has = -static_cast<int32_t>(h >= 0);
        const int32_t vq = v << kFracBits;
        const int32_t d = vq - h;
        const int32_t moved = -static_cast<int32_t>((d > motion_q) | (d < -motion_q));
        const int32_t restart = ~has | moved;
        const int32_t blended = h + ((d * weight_q10 + kWeightHalf) >> kWeightBits);
        const int32_t updated = (vq & restart) | (blended & ~restart);
        const int32_t keep = ~valid & has & -static_cast<int32_t>(k < holes);
        const int32_t kept = (h & keep) | (kNoHistory & ~keep);
        history[i] = (updated & valid) | (kept & ~valid);
        held[i] = static_cast<uint8_t>((k + (keep & 1)) & ~valid);
        const int32_t shown = (((updated & valid) | (h & ~valid)) + kHalf) >> kFracBits;
        const int32_t visible = valid | keep;
        dist[i] = static_cast<uint16_t>((shown & visible) | (v & ~visible));
    }
}

void Temporal::release() {
    std::vector<int32_t>().swap(history);
    std::vector<uint8_t>().swap(held);
}

void temporal_apply(Temporal &t, uint16_t *dist, size_t n) {
    if (!t.on) return;
    const uint32_t restarts = t.restarts.load(std::memory_order_acquire);
    if (restarts != t.restarts_seen || t.history.size() != n) {
        try {
            t.history.assign(n, kNoHistory);
            t.held.assign(n, 0);
        } catch (const std::bad_alloc &) {
            t.release();
            KV_ERR("[%s] malloc failed\n", "temporal_apply");
            return;
        }
        t.restarts_seen = restarts;
    }
    temporal_pass(dist, t.history.data(), t.held.data(), n, weight_q10(t.weight),
                  int32_t{t.motion_mm} << kFracBits, t.hole_frames);
}

}  // namespace kavri::epc
