// The bounded output list: finished frames move in from the assembly, the
// oldest are dropped beyond max_frames, the consumer takes or peeks them.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "core/log_internal.h"
#include "stream/stream.h"
#include "stream/stream_impl.h"

namespace kavri::stream {

namespace {
constexpr char kRefreshName[] = "_fr_list_refresh";
}  // namespace

void fr_list_refresh(kv_stream_t *s) {
    // Most pieces finish no frame: then, unless the bound was lowered below
    // the frames waiting, there is nothing to do and no lock to take.
    const uint32_t max_frames = s->max_frames.load(std::memory_order_relaxed);
    if (!s->assembly.has_full_beyond(s->unverified_full) &&
        s->frames_ready.load(std::memory_order_relaxed) <= max_frames)
        return;
    FrameQueue dropped;
    uint32_t dropped_total = 0;
    {
        std::unique_lock lock(s->lock);
        const uint32_t moved = s->assembly.move_full_to(s->out, s->unverified_full);
        s->frames_out += moved;
        uint32_t ready = s->frames_ready.load(std::memory_order_relaxed) + moved;
        for (; ready > max_frames; --ready) {
            FrameNode *n = s->out.pop_front();
            s->bytes_skipped.fetch_add(n->info.frlen, std::memory_order_relaxed);
            ++s->frames_dropped;
            dropped.push_back(n);
        }
        dropped_total = s->frames_dropped;
        // Published after the frames are on the list: a reader that sees
        // the count finds them there.
        s->frames_ready.store(ready, std::memory_order_release);
    }
    // Logged with the lock released: the consumer's fetch does not wait
    // for the log file.
    if (!dropped.empty()) {
        KV_DBG("[%s] discard frames: frame buffer is full (%d/%d)\n", kRefreshName,
               static_cast<int>(dropped.size()), static_cast<int>(dropped_total));
        for (const FrameNode *n = dropped.front(); n; n = n->next)
            KV_DBG("[%s] discard frame: idx = %d\n", kRefreshName, static_cast<int>(n->info.fridx));
    }
    s->pool.release_all(dropped);
}

uint32_t frames_ready(const kv_stream_t *s) {
    return s->frames_ready.load(std::memory_order_acquire);
}

}  // namespace kavri::stream

using kavri::stream::FrameNode;
using kavri::stream::FrameQueue;

namespace {

// Copies the frames in order while destination room remains.
void copy_frames(const FrameNode *first, uint32_t n, uint8_t *dst, uint32_t dst_size,
                 kv_stream_frame_info_t *info, uint64_t *t_ns) {
    if (first && info) *info = first->info;
    if (first && t_ns) *t_ns = first->t_ns;
    if (!dst) return;
    const FrameNode *f = first;
    for (uint32_t i = 0; i < n && f && dst_size > 0; ++i, f = f->next) {
        const uint32_t take = std::min(f->filled, dst_size);
        std::memcpy(dst, f->data(), take);
        dst += take;
        dst_size -= take;
    }
}

}  // namespace

namespace kavri::stream {

uint32_t stream_fetch_frames(kv_stream_t *s, uint8_t *dst, uint32_t dst_size, uint32_t wanted,
                             kv_stream_frame_info_t *info, uint8_t peek, uint64_t *t_ns) {
    if (!s) return 0;
    if (peek) {
        std::shared_lock lock(s->lock);
        const uint32_t n = std::min(wanted, s->frames_ready.load(std::memory_order_relaxed));
        if (n == 0 || !dst) return n;
        copy_frames(s->out.front(), n, dst, dst_size, info, t_ns);
        return n;
    }
    // Unlink under the lock; copy and release outside it so the producer
    // is not held up by the consumer's copy.
    FrameQueue taken;
    uint32_t n = 0;
    {
        std::unique_lock lock(s->lock);
        const uint32_t ready = s->frames_ready.load(std::memory_order_relaxed);
        n = std::min(wanted, ready);
        if (n == 0) return 0;
        for (uint32_t i = 0; i < n; ++i) taken.push_back(s->out.pop_front());
        s->frames_ready.store(ready - n, std::memory_order_relaxed);
    }
    copy_frames(taken.front(), n, dst, dst_size, info, t_ns);
    s->pool.release_all(taken);
    return n;
}

}  // namespace kavri::stream

extern "C" KAVRI_API uint32_t kv_stream_fetch_frames(kv_stream_t *s, uint8_t *dst,
                                                     uint32_t dst_size, uint32_t wanted,
                                                     kv_stream_frame_info_t *info, uint8_t peek) {
    return kavri::stream::stream_fetch_frames(s, dst, dst_size, wanted, info, peek);
}
