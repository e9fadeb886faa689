// The raw stream parser fed in pieces whose sizes, and the fetches, resets
// and bound changes between them, are chosen by the input. After every step
// the counters must agree with each other and with what was fetched.
//
// Input: [flags][max_frames][split seed, 2 bytes][stream bytes ...]
//   flags bit 0: repair the header and data checksums of the stream first;
//   bit 1: and keep frame lengths above 1 MB (slow runs).
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_wire.h"
#include "kavri/log.h"
#include "kavri/stream.h"

namespace {

constexpr size_t kPrefix = 4;
constexpr uint32_t kMaxFrlen = 0x7FFFFFF;
constexpr uint32_t kQuickFrlen = 1u << 20;

struct Model {
    kv_stream_state_t last{};
    uint32_t taken = 0;  // frames fetched (not peeked) since the last reset
};

kv_stream_state_t state_of(kv_stream_t *s) {
    kv_stream_state_t st{};
    FUZZ_CHECK(kv_stream_get_state(s, &st) == &st);
    return st;
}

// Counters only grow between resets, and the output list adds up.
void check_counters(kv_stream_t *s, Model &m) {
    const kv_stream_state_t st = state_of(s);
    FUZZ_CHECK(st.frames_done >= m.last.frames_done);
    FUZZ_CHECK(st.frames_out >= m.last.frames_out);
    FUZZ_CHECK(st.frames_discarded >= m.last.frames_discarded);
    FUZZ_CHECK(st.frames_dropped >= m.last.frames_dropped);
    FUZZ_CHECK(st.bytes_skipped >= m.last.bytes_skipped);
    FUZZ_CHECK(st.frames_out <= st.frames_done);
    FUZZ_CHECK(st.frames_ready + st.frames_dropped + m.taken == st.frames_out);
    m.last = st;
}

void fetch_one(kv_stream_t *s, Model &m) {
    kv_stream_frame_info_t info{};
    uint8_t probe = 0;
    if (kv_stream_fetch_frames(s, &probe, 0, 1, &info, 1) != 1) {
        FUZZ_CHECK(state_of(s).frames_ready == 0);
        return;
    }
    FUZZ_CHECK(info.frlen > 0 && info.frlen <= kMaxFrlen);
    // One guard byte past the frame: the copy must stop at the frame's end.
    std::vector<uint8_t> buf(size_t(info.frlen) + 1, 0xA5);
    kv_stream_frame_info_t again{};
    FUZZ_CHECK(kv_stream_fetch_frames(s, buf.data(), info.frlen + 1, 1, &again, 0) == 1);
    FUZZ_CHECK(std::memcmp(&info, &again, sizeof info) == 0);
    FUZZ_CHECK(buf[info.frlen] == 0xA5);
    ++m.taken;
}

uint32_t piece_size(kvfuzz::Rng &rng) {
    static constexpr uint32_t kSmall[] = {1, 2, 3, 4, 5, 35, 36, 37, 64};
    switch (rng.below(4)) {
        case 0:
            return kSmall[rng.below(sizeof kSmall / sizeof kSmall[0])];
        case 1:
            return 1 + rng.below(512);
        case 2:
            return 4 * (1 + rng.below(4096));
        default:
            return 1 + rng.below(1 << 17);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kPrefix) return 0;
    const uint8_t flags = data[0];
    uint32_t max_frames = data[1] % 9;
    kvfuzz::Rng rng(uint64_t(data[2]) | uint64_t(data[3]) << 8);
    std::vector<uint8_t> bytes(data + kPrefix, data + size);
    if (flags & 1) kvfuzz::repair_chunks(bytes, (flags & 2) ? 0 : kQuickFrlen);

    kv_stream_t *s = kv_stream_create(kv_stream_cfg_t{max_frames});
    FUZZ_CHECK(s != nullptr);
    Model m;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const uint32_t n =
            static_cast<uint32_t>(std::min<size_t>(piece_size(rng), bytes.size() - pos));
        const uint8_t any = kv_stream_feed_input(s, bytes.data() + pos, static_cast<int32_t>(n));
        pos += n;
        const kv_stream_state_t st = state_of(s);
        FUZZ_CHECK(any == (st.frames_ready != 0));
        FUZZ_CHECK(st.frames_ready <= max_frames);
        check_counters(s, m);

        switch (rng.below(16)) {
            case 0:
            case 1:
            case 2:
                fetch_one(s, m);
                break;
            case 3: {  // a count-only peek takes nothing
                const uint32_t ready = state_of(s).frames_ready;
                FUZZ_CHECK(kv_stream_fetch_frames(s, nullptr, 0, 100, nullptr, 1) == ready);
                break;
            }
            case 4: {  // drop everything waiting
                const uint32_t ready = state_of(s).frames_ready;
                FUZZ_CHECK(kv_stream_fetch_frames(s, nullptr, 0, ready + 1, nullptr, 0) == ready);
                m.taken += ready;
                break;
            }
            case 5:
                max_frames = rng.below(9);
                kv_stream_set_cfg(s, kv_stream_cfg_t{max_frames});
                FUZZ_CHECK(kv_stream_get_cfg(s).max_frames == max_frames);
                // The new bound holds from the next stored payload on.
                if (state_of(s).frames_ready > max_frames) {
                    const uint32_t extra = state_of(s).frames_ready - max_frames;
                    FUZZ_CHECK(kv_stream_fetch_frames(s, nullptr, 0, extra, nullptr, 0) == extra);
                    m.taken += extra;
                }
                break;
            case 6:
                if (rng.below(8) == 0) {
                    kv_stream_reset(s);
                    m = Model{};
                    const kv_stream_state_t z = state_of(s);
                    FUZZ_CHECK(z.frames_done == 0 && z.frames_out == 0 && z.frames_ready == 0);
                }
                break;
            default:
                break;
        }
        check_counters(s, m);
    }
    while (state_of(s).frames_ready != 0) fetch_one(s, m);
    check_counters(s, m);
    kv_stream_destroy(s);
    return 0;
}
