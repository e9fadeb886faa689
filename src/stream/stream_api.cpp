// Parser lifetime, configuration, reset and the state record.
#include <sys/time.h>

#include <mutex>
#include <new>

#include "core/clock.h"
#include "core/log_internal.h"
#include "stream/stream.h"
#include "stream/stream_impl.h"

namespace {

constexpr char kFeedName[] = "kv_stream_feed_input";

void take_time_stamp(kv_stream_t *s) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    s->t_sec = static_cast<uint32_t>(tv.tv_sec);
    s->t_usec = static_cast<uint32_t>(tv.tv_usec);
}

}  // namespace

namespace kavri::stream {

void set_node_recycling(kv_stream_t *s, bool on) {
    s->pool.set_recycling(on);
}

kv_stream_t *stream_create(kv_stream_cfg_t cfg) {
    auto *s = new (std::nothrow) kv_stream_t;
    if (!s) return nullptr;
    s->max_frames.store(cfg.max_frames, std::memory_order_relaxed);
    std::unique_lock lock(s->lock);
    take_time_stamp(s);
    return s;
}

void stream_destroy(kv_stream_t *s) {
    if (!s) return;
    s->pool.set_recycling(false);
    s->pool.release_all(s->assembly);
    s->pool.release_all(s->out);
    delete s;
}

void stream_set_cfg(kv_stream_t *s, kv_stream_cfg_t cfg) {
    if (s) s->max_frames.store(cfg.max_frames, std::memory_order_relaxed);
}

kv_stream_cfg_t stream_get_cfg(const kv_stream_t *s) {
    kv_stream_cfg_t cfg{};
    if (s) cfg.max_frames = s->max_frames.load(std::memory_order_relaxed);
    return cfg;
}

void stream_reset(kv_stream_t *s) {
    if (!s) return;
    // The discard and need-header flags, the previous frame index and the
    // step survive a reset; the held header and the frames do not.
    s->hdr_held = 0;
    s->prev_sidx = -1;
    s->pool.release_all(s->assembly);
    s->unverified_full = 0;
    kavri::stream::FrameQueue waiting;
    {
        std::unique_lock lock(s->lock);
        while (kavri::stream::FrameNode *n = s->out.pop_front()) waiting.push_back(n);
        s->frames_out = 0;
        s->frames_ready.store(0, std::memory_order_relaxed);
        s->frames_dropped = 0;
        s->frames_done.store(0, std::memory_order_relaxed);
        s->frames_discarded.store(0, std::memory_order_relaxed);
        s->bytes_skipped.store(0, std::memory_order_relaxed);
        take_time_stamp(s);
    }
    s->pool.release_all(waiting);
}

uint8_t stream_feed_input(kv_stream_t *s, const uint8_t *data, int32_t len) {
    return stream_feed_input_at(s, data, len, kavri::core::monotonic_ns());
}

uint8_t stream_feed_input_at(kv_stream_t *s, const uint8_t *data, int32_t len, uint64_t t_ns) {
    if (!s) return 0;
    s->feed_t_ns = t_ns;
    KV_TRC("[%s] %d raw bytes\n", kFeedName, static_cast<int>(len));
    if (data && len > 0) kavri::stream::feed(s, data, static_cast<uint32_t>(len));
    return kavri::stream::frames_ready(s) != 0 ? 1 : 0;
}

kv_stream_state_t *stream_get_state(kv_stream_t *s, kv_stream_state_t *out) {
    if (!s || !out) return out;
    std::shared_lock lock(s->lock);
    *out = kv_stream_state_t{};
    out->frames_done = s->frames_done.load(std::memory_order_relaxed);
    out->frames_out = s->frames_out;
    out->frames_discarded = s->frames_discarded.load(std::memory_order_relaxed);
    out->frames_dropped = s->frames_dropped;
    out->frames_ready = s->frames_ready.load(std::memory_order_relaxed);
    out->bytes_skipped = s->bytes_skipped.load(std::memory_order_relaxed);
    out->t_sec = s->t_sec;
    out->t_usec = s->t_usec;
    return out;
}

bool stream_at_boundary(const kv_stream_t *s) {
    if (s == nullptr) return true;
    // A completed chunk leaves its header held (as the previous one) with
    // need_header set: that is between chunks too.
    const bool between_chunks =
        s->hdr_held == 0 || (s->hdr_held == kavri::stream::kHdrSize && s->need_header);
    return between_chunks && !s->discarding && s->received == 0 && s->assembly.empty() &&
           s->unverified_full == 0;
}

}  // namespace kavri::stream

extern "C" KAVRI_API kv_stream_t *kv_stream_create(kv_stream_cfg_t cfg) {
    return kavri::stream::stream_create(cfg);
}

extern "C" KAVRI_API void kv_stream_destroy(kv_stream_t *s) {
    kavri::stream::stream_destroy(s);
}

extern "C" KAVRI_API void kv_stream_set_cfg(kv_stream_t *s, kv_stream_cfg_t cfg) {
    kavri::stream::stream_set_cfg(s, cfg);
}

extern "C" KAVRI_API kv_stream_cfg_t kv_stream_get_cfg(const kv_stream_t *s) {
    return kavri::stream::stream_get_cfg(s);
}

extern "C" KAVRI_API void kv_stream_reset(kv_stream_t *s) {
    kavri::stream::stream_reset(s);
}

extern "C" KAVRI_API uint8_t kv_stream_feed_input(kv_stream_t *s, const uint8_t *data,
                                                  int32_t len) {
    return kavri::stream::stream_feed_input(s, data, len);
}

extern "C" KAVRI_API kv_stream_state_t *kv_stream_get_state(kv_stream_t *s,
                                                            kv_stream_state_t *out) {
    return kavri::stream::stream_get_state(s, out);
}
