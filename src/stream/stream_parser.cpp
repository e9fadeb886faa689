// The producer side of the stream parser: header search and verification,
// payload assembly into frames, continuity checks and discard mode.
#include <algorithm>
#include <cstring>

#include "core/log_internal.h"
#include "stream/stream_impl.h"

namespace kavri::stream {

namespace {

constexpr char kFeedName[] = "kv_stream_feed_input";
constexpr char kSyncName[] = "_sync_stream_hdr";
constexpr char kDiscardName[] = "_discard_cur_frame";
constexpr char kAddDataName[] = "_fr_node_add_data";
constexpr uint32_t kU16Mask = 0xFFFF;

// The unconsumed rest of the piece being fed.
struct Cursor {
    const uint8_t *p;
    uint32_t n;
    void consume(uint32_t k) {
        p += k;
        n -= k;
    }
};

void forget_prev_indexes(kv_stream_t *s) {
    s->prev_sidx = -1;
    s->prev_fridx = -1;
    s->fridx_step = 1;
}

void log_partial_hdr(const kv_stream_t *s) {
    KV_TRC("[%s] partial stream hdr found: %d bytes, need more bytes.\n", kFeedName,
           static_cast<int>(s->hdr_held));
}

// The 36 header bytes are in place: make them the active header.
void activate_header(kv_stream_t *s) {
    s->hdr_held = kHdrSize;
    s->hdr = hdr_decode(s->hdr_bytes);
    s->received = 0;
    s->data_sum = 0;
    s->chunk_frames = 0;
}

void enter_discard_mode(kv_stream_t *s) {
    s->discarding = true;
    discard_cur_frame(s);
}

// Continuity checks of a newly found header against the chunk before it.
void check_header(kv_stream_t *s) {
    const StreamHdr &h = s->hdr;
    if (s->discarding) {
        if (!h.frame_start) return;  // keep skipping until a frame begins
        s->discarding = false;
        s->prev_sidx = -1;
    }
    if (h.frame_start) {
        const FrameNode *partial = s->assembly.back();
        if (partial && !partial->full()) {
            KV_DBG("[%s] discard frame: frame bound met, prev not complete\n", kFeedName);
            discard_cur_frame(s);
            s->prev_sidx = -1;
            return;
        }
        if (s->frames_done.load(std::memory_order_relaxed) != 0 && s->prev_fridx >= 0) {
            const uint32_t expected =
                (static_cast<uint32_t>(s->prev_fridx) + s->fridx_step) & kU16Mask;
            if (expected != h.fridx) {
                KV_DBG("[%s] missing frame: jumpping frame idx (prev=%d, cur=%d)\n", kFeedName,
                       static_cast<int>(expected), static_cast<int>(h.fridx));
            }
        }
    } else if (s->prev_fridx >= 0 && s->prev_fridx != h.fridx) {
        KV_DBG("[%s] discard frame: frame idx not consist (prev=%d, cur=%d)\n", kFeedName,
               static_cast<int>(s->prev_fridx), static_cast<int>(h.fridx));
        discard_cur_frame(s);
        s->prev_sidx = -1;
        return;
    }
    if (s->prev_sidx >= 0 && !h.frame_start &&
        h.sidx != ((static_cast<uint32_t>(s->prev_sidx) + 1) & kU16Mask)) {
        KV_DBG("[%s] discard frame: stream hdr idx not correct (prev=%d, cur=%d)\n", kFeedName,
               static_cast<int>(s->prev_sidx), static_cast<int>(h.sidx));
        enter_discard_mode(s);
    }
}

// Scans the rest of the piece for the next valid header.
void search_header(kv_stream_t *s, Cursor &c) {
    const uint32_t scanned = c.n;
    for (uint32_t i = 0; i + 1 < c.n; ++i) {
        const void *hit = std::memchr(c.p + i, kSync0, c.n - 1 - i);
        if (!hit) break;
        i = static_cast<uint32_t>(static_cast<const uint8_t *>(hit) - c.p);
        if (c.p[i + 1] != kSync1) continue;
        const uint32_t left = c.n - i;
        if (left < kHdrSize) {
            std::memcpy(s->hdr_bytes, c.p + i, left);
            s->hdr_held = left;
            c.consume(c.n);
            log_partial_hdr(s);
            return;
        }
        if (hdr_is_valid(c.p + i)) {
            std::memcpy(s->hdr_bytes, c.p + i, kHdrSize);
            activate_header(s);
            const StreamHdr &h = s->hdr;
            KV_TRC("[%s] HDR found: idx/len=%d/%d (frlen:%d,fridx=%d,frfmt=%d)\n", kSyncName,
                   static_cast<int>(h.sidx), static_cast<int>(h.len), static_cast<int>(h.frlen),
                   static_cast<int>(h.fridx), static_cast<int>(h.frfmt));
            c.consume(i + static_cast<uint32_t>(kHdrSize));
            if (i > 0) {
                KV_TRC("[%s] sync hdr: skip %d bytes\n", kFeedName, static_cast<int>(i));
                s->bytes_skipped.fetch_add(i, std::memory_order_relaxed);
            }
            check_header(s);
            return;
        }
        s->hdr_held = 0;  // a sync pair without a valid header
    }
    if (c.p[c.n - 1] == kSync0) {
        // A header may begin with the last byte: hold it for the next piece.
        s->hdr_bytes[0] = kSync0;
        s->hdr_held = 1;
        c.consume(c.n);
        log_partial_hdr(s);
        return;
    }
    c.consume(c.n);
    if (s->hdr_held == 0) {
        if (!s->discarding) {
            KV_DBG("[%s] discard frame: stream hdr verify failed\n", kFeedName);
            enter_discard_mode(s);
        } else {
            KV_DBG("[%s] not find hdr: skip %d bytes\n", kFeedName, static_cast<int>(scanned));
        }
        return;
    }
    // Still discarding behind a whole header: the piece counts as skipped after it.
    if (scanned > kHdrSize) {
        const uint32_t skipped = scanned - static_cast<uint32_t>(kHdrSize);
        KV_TRC("[%s] sync hdr: skip %d bytes\n", kFeedName, static_cast<int>(skipped));
        s->bytes_skipped.fetch_add(skipped, std::memory_order_relaxed);
    }
    check_header(s);
}

// 1 to 35 header bytes are held: complete them from the piece.
void complete_held_header(kv_stream_t *s, Cursor &c) {
    const uint32_t take = std::min(static_cast<uint32_t>(kHdrSize) - s->hdr_held, c.n);
    std::memcpy(s->hdr_bytes + s->hdr_held, c.p, take);
    if (s->hdr_held + take < kHdrSize) {
        s->hdr_held += take;
        c.consume(take);
        log_partial_hdr(s);
        return;
    }
    if (hdr_is_valid(s->hdr_bytes)) {
        activate_header(s);
        const StreamHdr &h = s->hdr;
        KV_TRC("[%s] HDR found: idx/len=%d/%d(frlen:%d,fridx=%d,frfmt=%d)\n", kSyncName,
               static_cast<int>(h.sidx), static_cast<int>(h.len), static_cast<int>(h.frlen),
               static_cast<int>(h.fridx), static_cast<int>(h.frfmt));
        c.consume(take);
        check_header(s);
        return;
    }
    // Not a header after all: scan the completing bytes again. The previous
    // chunk's indexes stay known, so the next header is still checked
    // against it just as when the same bytes arrive in one piece.
    s->hdr_held = 0;
    search_header(s, c);
}

// Counts a frame that just became full. While the active chunk's data
// checksum is still open the frame waits in the assembly for the verdict.
void count_full_frame(kv_stream_t *s, FrameNode *n) {
    n->t_ns = s->feed_t_ns;
    s->frames_done.fetch_add(1, std::memory_order_relaxed);
    ++s->chunk_frames;
    if (s->hdr.has_data_sum && !s->need_header) ++s->unverified_full;
}

// Fills `n` from the piece; counts the frame when it becomes full.
void fill_node(kv_stream_t *s, FrameNode *n, const uint8_t *p, uint32_t &off, uint32_t k) {
    const uint32_t take = std::min(n->room(), k - off);
    std::memcpy(n->data() + n->filled, p + off, take);
    n->filled += take;
    off += take;
    if (n->full()) count_full_frame(s, n);
}

// Assembly nodes allowed before finished frames are pushed on to the output
// list in the middle of a piece: keeps memory bounded when one chunk carries
// thousands of small frames, while ordinary chunks are refreshed once.
constexpr uint32_t kAssemblySlack = 64;
uint32_t assembly_bound(const kv_stream_t *s) {
    return s->max_frames.load(std::memory_order_relaxed) + kAssemblySlack;
}

// Appends payload bytes to the assembly; returns how many were stored
// (fewer than k only when a frame node could not be allocated).
uint32_t fr_node_add_data(kv_stream_t *s, const uint8_t *p, uint32_t k) {
    uint32_t off = 0;
    FrameNode *partial = s->assembly.back();
    if (partial && !partial->full()) fill_node(s, partial, p, off, k);
    while (off < k) {
        FrameNode *n = s->pool.acquire(s->hdr.frlen);
        if (!n) {
            KV_ERR("[%s] malloc failed: %d bytes\n", kAddDataName,
                   static_cast<int>(s->hdr.frlen + kHdrSize));
            return off;
        }
        n->info = hdr_frame_info(s->hdr, s->chunk_frames);
        s->assembly.push_back(n);
        fill_node(s, n, p, off, k);
        if (s->assembly.size() - s->unverified_full > assembly_bound(s)) fr_list_refresh(s);
    }
    return off;
}

// A frame node could not be had: the rest of the piece is dropped and the
// frame it belonged to is lost. The active header goes too, with the
// indexes it would hand on: kept, it would be checked again on the next
// piece without a header and end discard mode, and the piece after that
// would be taken as its payload at the wrong offset. Only a newly found
// frame-start header ends discard mode.
void drop_rest_of_piece(kv_stream_t *s, Cursor &c) {
    s->bytes_skipped.fetch_add(c.n, std::memory_order_relaxed);
    c.consume(c.n);
    enter_discard_mode(s);
    discard_unverified_frames(s);  // their chunk will never be judged
    s->hdr_held = 0;
    s->need_header = false;
    s->received = 0;
    s->data_sum = 0;
    forget_prev_indexes(s);
}

// Payload of the active chunk. Returns false when the rest of the piece was dropped.
bool take_payload(kv_stream_t *s, Cursor &c) {
    const StreamHdr &h = s->hdr;
    const uint32_t k = std::min(h.len - s->received, c.n);
    s->received += k;
    const bool chunk_complete = s->received == h.len;

    // With a data checksum the piece is summed while it is copied when it
    // fits one frame node; the copy only counts once the sum has been judged.
    FrameNode *target = nullptr;
    FrameNode *fresh = nullptr;
    if (h.has_data_sum) {
        FrameNode *partial = s->assembly.back();
        if (partial && !partial->full()) {
            if (k <= partial->room()) target = partial;
        } else if (k > 0 && k <= h.frlen) {
            fresh = s->pool.acquire(h.frlen);
            target = fresh;
        }
        s->data_sum += target ? copy_and_sum_le_words(target->data() + target->filled, c.p, k)
                              : sum_le_words(c.p, k);
        if (chunk_complete) {
            KV_TRC("[%s] check data checksum: sidx=%d\n", kFeedName, static_cast<int>(h.sidx));
            if (s->data_sum != h.data_sum) {
                KV_DBG("[%s] discard frame: verify data checksum failed: sidx=%d\n", kFeedName,
                       static_cast<int>(h.sidx));
                s->pool.release(fresh);
                discard_cur_frame(s);
                discard_unverified_frames(s);
                s->discarding = true;
                s->need_header = true;
                s->received = 0;
                s->data_sum = 0;
                c.consume(k);
                return true;
            }
        }
    }
    if (chunk_complete) {
        s->unverified_full = 0;  // the chunk's earlier frames are good
        s->need_header = true;
        s->received = 0;
        s->data_sum = 0;
    }

    KV_TRC("[%s] Add %d bytes to frlist\n", kFeedName, static_cast<int>(k));
    uint32_t stored = k;
    if (target) {
        if (fresh) {
            fresh->info = hdr_frame_info(h, s->chunk_frames);
            s->assembly.push_back(fresh);
        }
        target->filled += k;
        if (target->full()) count_full_frame(s, target);
    } else {
        stored = fr_node_add_data(s, c.p, k);
    }
    fr_list_refresh(s);
    if (stored < k) {
        c.consume(stored);
        drop_rest_of_piece(s, c);
        return false;
    }
    c.consume(k);
    return true;
}

}  // namespace

void discard_cur_frame(kv_stream_t *s) {
    const FrameNode *partial = s->assembly.back();
    if (!partial || partial->full()) return;
    FrameNode *n = s->assembly.pop_back();
    s->bytes_skipped.fetch_add(n->filled, std::memory_order_relaxed);
    s->frames_discarded.fetch_add(1, std::memory_order_relaxed);
    KV_DBG("[%s] discard frame: idx = %d\n", kDiscardName, static_cast<int>(n->info.fridx));
    s->pool.release(n);
}

void discard_unverified_frames(kv_stream_t *s) {
    // Frames of a chunk whose data checksum failed (or can no longer be
    // checked) must not reach the consumer.
    for (; s->unverified_full > 0; --s->unverified_full) {
        FrameNode *n = s->assembly.pop_back();
        s->bytes_skipped.fetch_add(n->filled, std::memory_order_relaxed);
        s->frames_discarded.fetch_add(1, std::memory_order_relaxed);
        KV_DBG("[%s] discard frame: idx = %d\n", kDiscardName, static_cast<int>(n->info.fridx));
        s->pool.release(n);
    }
}

void feed(kv_stream_t *s, const uint8_t *data, uint32_t len) {
    Cursor c{data, len};
    while (c.n > 0) {
        if (s->hdr_held == kHdrSize && !s->discarding && !s->need_header) {
            if (!take_payload(s, c)) return;
            continue;
        }
        if (s->hdr_held == kHdrSize) {
            // The active chunk is behind us: it becomes the previous one.
            const StreamHdr &h = s->hdr;
            s->prev_sidx = h.sidx;
            s->prev_fridx = h.fridx;
            s->fridx_step = h.frlen < h.len ? static_cast<uint16_t>(h.len / h.frlen) : 1;
            if (s->need_header) {
                s->need_header = false;
                s->hdr_held = 0;
            }
            search_header(s, c);
            continue;
        }
        if (s->hdr_held > 0 && !s->need_header) {
            complete_held_header(s, c);
            continue;
        }
        forget_prev_indexes(s);
        if (s->need_header) {
            s->need_header = false;
            s->hdr_held = 0;
        }
        search_header(s, c);
    }
}

}  // namespace kavri::stream
