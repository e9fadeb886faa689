// Damaged streams: every fault costs at most the frame it hit, the parser
// finds its way back at the next frame start, and the counters say so.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "stream/stream_writer.h"

namespace {

using kvtest::Frame;
using kvtest::StreamWriter;
using Segments = std::vector<std::vector<uint8_t>>;

constexpr uint32_t kFrames = 6;
constexpr uint32_t kChunksPerFrame = 3;
constexpr uint32_t kChunkLen = 400;
constexpr size_t kHit = 2 * kChunksPerFrame;  // first chunk of frame 2

StreamWriter base_stream() {
    StreamWriter w(77, 100, 200);
    for (uint32_t i = 0; i < kFrames; ++i)
        w.spanning_frame(kChunksPerFrame * kChunkLen, kChunkLen, true);
    return w;
}

Segments encode_all(const StreamWriter &w) {
    Segments segs;
    for (const auto &c : w.chunks) segs.push_back(kvtest::encode(c));
    return segs;
}

std::vector<uint8_t> join(const Segments &segs) {
    std::vector<uint8_t> b;
    for (const auto &s : segs) kvtest::append(b, s);
    return b;
}

std::vector<uint8_t> sync_free_garbage(size_t n) {
    std::vector<uint8_t> g(n);
    for (size_t i = 0; i < n; ++i) g[i] = uint8_t(i * 37 % 251);  // never 0xFB
    return g;
}

struct FaultCase {
    const char *name;
    std::function<void(Segments &, StreamWriter &)> inject;
    std::set<uint32_t> lost;  // frames (by position) that must not come out
    uint32_t discarded;
    uint32_t skipped;   // bytes_skipped when the stream is fed whole
    bool piece_stable;  // same frames however the stream is cut
};

const std::vector<FaultCase> &fault_cases() {
    static const std::vector<FaultCase> cases = {
        {"drop middle chunk",
         [](Segments &s, StreamWriter &) { s.erase(s.begin() + kHit + 1); },
         {2},
         1,
         2 * kChunkLen,
         true},
        {"drop last chunk",
         [](Segments &s, StreamWriter &) { s.erase(s.begin() + kHit + 2); },
         {2},
         1,
         2 * kChunkLen,
         true},
        {"drop first chunk",
         [](Segments &s, StreamWriter &) { s.erase(s.begin() + kHit); },
         {2},
         1,
         2 * kChunkLen,
         true},
        {"duplicate middle chunk",
         [](Segments &s, StreamWriter &) { s.insert(s.begin() + kHit + 2, s[kHit + 1]); },
         {2},
         1,
         4 * kChunkLen,
         true},
        {"duplicate first chunk",
         [](Segments &s, StreamWriter &) { s.insert(s.begin() + kHit + 1, s[kHit]); },
         {},
         1,
         kChunkLen,
         true},
        {"duplicate last chunk",
         [](Segments &s, StreamWriter &) { s.insert(s.begin() + kHit + 3, s[kHit + 2]); },
         {},
         0,
         kChunkLen,
         true},
        {"wrong data checksum",
         [](Segments &s, StreamWriter &w) {
             w.chunks[kHit + 1].wrong_sum = true;
             s[kHit + 1] = kvtest::encode(w.chunks[kHit + 1]);
         },
         {2},
         1,
         2 * kChunkLen,
         true},
        {"flipped payload byte",
         [](Segments &s, StreamWriter &) { s[kHit + 1][kvtest::kHdr + 10] ^= 4; },
         {2},
         1,
         2 * kChunkLen,
         true},
        {"flipped header byte",
         [](Segments &s, StreamWriter &) { s[kHit + 1][20] ^= 0x10; },
         {2},
         1,
         kvtest::kHdr + 3 * kChunkLen,
         true},
        {"truncated chunk",
         [](Segments &s, StreamWriter &) { s[kHit + 2].resize(kvtest::kHdr + 200); },
         {2, 3},
         1,
         2 * kChunkLen + (kChunkLen - 164) + 2 * kChunkLen,
         true},
        {"garbage inside a frame",
         [](Segments &s, StreamWriter &) {
             s.insert(s.begin() + kHit + 1, sync_free_garbage(100));
         },
         {},
         0,
         100,
         false},
        {"garbage between frames",
         [](Segments &s, StreamWriter &) {
             s.insert(s.begin() + kHit + 3, sync_free_garbage(100));
         },
         {},
         0,
         100,
         false},
    };
    return cases;
}

bool same_frame(const Frame &a, const Frame &b) {
    return kvtest::same_info(a.info, b.info) && a.data == b.data;
}

// Output frames must be original frames, in order; returns which came out.
// With `repeats`, a frame may come out again (its chunk was sent twice).
std::vector<uint32_t> match_frames(const std::vector<Frame> &want, const std::vector<Frame> &got,
                                   bool repeats = false) {
    std::vector<uint32_t> which;
    uint32_t next = 0;
    for (const Frame &f : got) {
        if (repeats) {
            // A repeated chunk repeats the (up to four) frames it carries.
            bool seen = false;
            for (uint32_t back = 1; back <= 4 && back <= next && !seen; ++back)
                seen = same_frame(want[next - back], f);
            if (seen) continue;
        }
        while (next < want.size() && !same_frame(want[next], f)) ++next;
        EXPECT_LT(next, want.size()) << "a frame that was never sent, fridx " << f.info.fridx;
        if (next == want.size()) break;
        which.push_back(next++);
    }
    return which;
}

std::vector<uint32_t> all_but(const std::set<uint32_t> &lost) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < kFrames; ++i)
        if (!lost.count(i)) v.push_back(i);
    return v;
}

TEST(StreamFault, FedWholeLosesExactlyTheHitFrame) {
    for (const FaultCase &fc : fault_cases()) {
        SCOPED_TRACE(fc.name);
        StreamWriter w = base_stream();
        Segments segs = encode_all(w);
        fc.inject(segs, w);
        auto s = kvtest::make_stream(100);
        kvtest::feed_whole(s.get(), join(segs));
        const kv_stream_state_t st = kvtest::state_of(s.get());
        EXPECT_EQ(st.frames_discarded, fc.discarded);
        EXPECT_EQ(st.bytes_skipped, fc.skipped);
        EXPECT_EQ(st.frames_dropped, 0u);
        EXPECT_EQ(match_frames(w.frames, kvtest::fetch_all(s.get())), all_but(fc.lost));
    }
}

TEST(StreamFault, FedInPiecesLosesTheSameFrames) {
    for (const FaultCase &fc : fault_cases()) {
        SCOPED_TRACE(fc.name);
        for (uint32_t seed = 0; seed < 20; ++seed) {
            SCOPED_TRACE(seed);
            StreamWriter w = base_stream();
            Segments segs = encode_all(w);
            fc.inject(segs, w);
            auto s = kvtest::make_stream(100);
            std::mt19937 cut(seed);
            kvtest::feed_pieces(s.get(), join(segs), cut, 200, 4);
            const kv_stream_state_t st = kvtest::state_of(s.get());
            const auto which = match_frames(w.frames, kvtest::fetch_all(s.get()));
            if (fc.piece_stable) {
                EXPECT_EQ(st.frames_discarded, fc.discarded);
                EXPECT_EQ(which, all_but(fc.lost));
            } else {
                // A piece made of garbage alone costs the frame around it.
                EXPECT_LE(st.frames_discarded, 1u);
                EXPECT_GE(which.size(), kFrames - 1);
            }
            EXPECT_EQ(which.back(), kFrames - 1);
        }
    }
}

// Random damage of every kind, random cuts: no crash, only original frames
// in order, and the clean frames after the damage all arrive.
TEST(StreamFault, RandomDamageSoak) {
    for (uint32_t seed = 0; seed < 60; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        StreamWriter w(seed, uint16_t(rng()), uint16_t(rng()));
        const uint32_t damaged = 8 + rng() % 8;
        for (uint32_t i = 0; i < damaged; ++i) {
            const uint32_t frlen = 4 * (1 + rng() % 256);
            if (rng() % 3 == 0) {
                w.multi_frame_chunk(frlen, 1 + rng() % 4, true);
            } else {
                w.spanning_frame(4 * (1 + rng() % 700), 4 * (1 + rng() % 256), true);
            }
        }
        const size_t damaged_chunks = w.chunks.size();
        // A guard frame longer than any damaged chunk absorbs a truncated
        // chunk's overrun; the tail after it must arrive whole.
        w.spanning_frame(2048, 1024, true);
        const size_t tail_first = w.frames.size();
        for (int i = 0; i < 5; ++i)
            w.spanning_frame(4 * (1 + rng() % 300), 4 * (1 + rng() % 128), true);

        Segments segs = encode_all(w);
        const uint32_t faults = 1 + rng() % 6;
        for (uint32_t f = 0; f < faults; ++f) {
            const size_t at = rng() % damaged_chunks;
            auto &seg = segs[at];
            switch (rng() % 5) {
                case 0:
                    seg.clear();
                    break;  // dropped
                case 1:
                    segs.insert(segs.begin() + long(at), seg);
                    break;
                case 2: {
                    std::vector<uint8_t> g(4 * (1 + rng() % 64));
                    for (auto &b : g) b = uint8_t(rng() % 2 ? 0xFB : rng());
                    segs.insert(segs.begin() + long(at), g);
                    break;
                }
                case 3:
                    if (!seg.empty()) seg[rng() % seg.size()] ^= uint8_t(1 + rng() % 255);
                    break;
                case 4:
                    if (seg.size() > kvtest::kHdr + 4)
                        seg.resize(seg.size() -
                                   4 * (1 + rng() % ((seg.size() - kvtest::kHdr) / 4)));
                    break;
            }
        }
        auto s = kvtest::make_stream(1000);
        kvtest::feed_pieces(s.get(), join(segs), rng, 300, 4);
        const kv_stream_state_t st = kvtest::state_of(s.get());
        const auto got = kvtest::fetch_all(s.get());
        const auto which = match_frames(w.frames, got, true);
        ASSERT_GE(which.size(), 5u);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(which[which.size() - 5 + i], tail_first + i);
        EXPECT_EQ(st.frames_out, got.size());
        EXPECT_LE(st.frames_out, st.frames_done);
    }
}

}  // namespace
