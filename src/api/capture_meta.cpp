// Frame time stamps and capture statistics: the calls beside the capture.
#include <algorithm>
#include <mutex>

#include "api/dev_priv.h"
#include "core/clock.h"
#include "drv/drv_counters.h"
#include "kavri/capture_meta.h"
#include "stream/stream.h"

namespace kavri::api {

void reset_capture_stats(kavri_dev_priv_t *p) {
    p->meta_prev_idx.store(-1);
    {
        std::lock_guard lock(p->meta_mutex);
        p->last_meta = kavri_frame_meta_t{};
        p->has_meta = false;
    }
    for (auto *c :
         {&p->stat_delivered, &p->stat_gaps, &p->stat_unwanted, &p->stat_timeouts, &p->stat_stalls,
          &p->stat_errors, &p->stat_stop_ns, &p->stat_discarded_base, &p->stat_dropped_base,
          &p->stat_skipped_base, &p->stat_reconnects, &p->stat_away_ns, &p->stat_away_frames})
        c->store(0, std::memory_order_relaxed);
    p->stat_refused_base.store(drv::refused_frames(p->drv));
    p->stat_start_ns.store(core::monotonic_ns());
}

}  // namespace kavri::api

using kavri::api::ApiCall;

extern "C" KAVRI_API int kavri_cap_get_frame_meta(kavri_dev_t *dev, kavri_frame_meta_t *meta) {
    if (meta == nullptr) return 0;
    *meta = kavri_frame_meta_t{};
    ApiCall call(dev);
    if (!call.ok()) return 0;
    kavri_dev_priv_t *p = call.priv();
    std::lock_guard lock(p->meta_mutex);
    if (!p->has_meta) return 0;
    *meta = p->last_meta;
    return 1;
}

extern "C" KAVRI_API int kavri_cap_get_stats(kavri_dev_t *dev, kavri_cap_stats_t *stats) {
    if (stats == nullptr) return 0;
    *stats = kavri_cap_stats_t{};
    ApiCall call(dev);
    if (!call.ok()) return 0;
    kavri_dev_priv_t *p = call.priv();
    kv_stream_state_t st{};
    kavri::stream::stream_get_state(p->stream, &st);
    stats->frames_delivered = p->stat_delivered.load();
    // A reconnect starts the parser afresh: its counters from before add up.
    const uint64_t discarded = st.frames_discarded + p->stat_discarded_base.load();
    const uint64_t dropped = st.frames_dropped + p->stat_dropped_base.load();
    stats->frames_discarded = discarded;
    // Frames taken for nobody (no request, no callback) are dropped too.
    stats->frames_dropped = dropped + p->stat_unwanted.load();
    // The index gaps hold every frame the camera counted and the application
    // did not get; what the parser's own counters do not explain never came.
    const uint64_t gaps = p->stat_gaps.load();
    const uint64_t explained = discarded + stats->frames_dropped;
    // Frames dropped after the last one delivered are in no gap yet: the
    // difference may fall short of the frames a reconnect already counted.
    stats->frames_lost =
        std::max<uint64_t>(gaps > explained ? gaps - explained : 0, p->stat_away_frames.load());
    const uint64_t refused = kavri::drv::refused_frames(p->drv);
    const uint64_t base = p->stat_refused_base.load();
    stats->frames_refused = refused > base ? refused - base : 0;
    stats->bytes_skipped = st.bytes_skipped + p->stat_skipped_base.load();
    stats->transfer_timeouts = p->stat_timeouts.load();
    stats->transfer_stalls = p->stat_stalls.load();
    stats->transfer_errors = p->stat_errors.load();
    stats->capturing = p->is_capturing.load() ? 1 : 0;
    stats->reconnects = p->stat_reconnects.load();
    stats->disconnected_ns = p->stat_away_ns.load();
    stats->frames_lost_disconnected = p->stat_away_frames.load();
    const uint64_t start = p->stat_start_ns.load();
    const uint64_t stop = p->stat_stop_ns.load();
    if (start != 0) {
        const uint64_t end = stop != 0 ? stop : kavri::core::monotonic_ns();
        stats->capture_ns = end > start ? end - start : 0;
    }
    return 1;
}
