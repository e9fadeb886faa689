// The EPC driver's temporal filter settings behind the camera API's calls.
#include "drv/drv_quality.h"

#include <mutex>

#include "drv/drv_counters.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "kavri/quality.h"
#include "core/log_internal.h"

namespace kavri::drv {
namespace {

constexpr uint16_t kMotionMinMm = 1;

epc::State *epc_state(kavri_drv_t *drv) {
    if (drv == nullptr || drv->ops != &kavri_epc_ops_internal) return nullptr;
    return epc::state_of(drv);
}

}  // namespace

void restart_history(kavri_drv_t *drv) {
    if (epc::State *st = epc_state(drv); st != nullptr) st->temporal.restart();
}

int temporal_set(kavri_drv_t *drv, uint16_t motion_mm, uint8_t hole_frames) {
    epc::State *st = epc_state(drv);
    if (st == nullptr) return 0;
    if (motion_mm < kMotionMinMm || motion_mm > KAVRI_DIST_MAX_VALID ||
        hole_frames > KAVRI_TEMPORAL_HOLE_FRAMES_MAX) {
        KV_ERR("[%s] motion %u mm (1..%u) or hole frames %u (0..%u) out of range\n",
               "kavri_temporal_set", motion_mm, KAVRI_DIST_MAX_VALID, hole_frames,
               KAVRI_TEMPORAL_HOLE_FRAMES_MAX);
        return 0;
    }
    std::lock_guard lock(st->lock);
    st->temporal.motion_mm = motion_mm;
    st->temporal.hole_frames = hole_frames;
    return 1;
}

int temporal_get(kavri_drv_t *drv, uint16_t *weight_permille, uint16_t *motion_mm,
                 uint8_t *hole_frames) {
    epc::State *st = epc_state(drv);
    if (st == nullptr) return 0;
    std::lock_guard lock(st->lock);
    const epc::Temporal &t = st->temporal;
    if (weight_permille != nullptr) *weight_permille = t.weight;
    if (motion_mm != nullptr) *motion_mm = t.motion_mm;
    if (hole_frames != nullptr) *hole_frames = t.hole_frames;
    return t.on ? 1 : 0;
}

}  // namespace kavri::drv
