// Valid streams, however they are cut into pieces, come out frame for frame.
#include <gtest/gtest.h>

#include "stream/stream_writer.h"

namespace {

using kvtest::Frame;
using kvtest::StreamWriter;

enum class Feeding { Whole, Bytewise, Pieces };

struct StreamKind {
    bool with_sum;
    bool whole_words;  // chunk lengths multiples of 4 (needed to verify sums piecewise)
};

// A random stream of spanning frames and multi-frame chunks whose indexes
// start just below the 16-bit wrap.
StreamWriter random_stream(uint32_t seed, StreamKind kind) {
    std::mt19937 pick(seed * 7919u + 1);
    StreamWriter w(seed, uint16_t(65535 - pick() % 24), uint16_t(65535 - pick() % 12));
    const auto length = [&](uint32_t max) {
        uint32_t n = 1 + pick() % max;
        if (kind.whole_words) n = (n + 3) & ~3u;
        return n;
    };
    const uint32_t groups = 6 + pick() % 10;
    for (uint32_t g = 0; g < groups; ++g) {
        const uint32_t frlen = length(3000);
        if (pick() % 3 == 0) {
            w.multi_frame_chunk(frlen, 1 + pick() % 4, kind.with_sum);
        } else {
            w.spanning_frame(frlen, length(frlen), kind.with_sum);
        }
    }
    return w;
}

void expect_same_frames(const std::vector<Frame> &want, const std::vector<Frame> &got) {
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(kvtest::same_info(want[i].info, got[i].info))
            << "fridx " << got[i].info.fridx << " want " << want[i].info.fridx;
        EXPECT_EQ(want[i].data, got[i].data);
    }
}

void check_round_trip(uint32_t seed, StreamKind kind, Feeding feeding) {
    StreamWriter w = random_stream(seed, kind);
    const std::vector<uint8_t> bytes = w.bytes();
    auto s = kvtest::make_stream(1000);
    std::mt19937 cut(seed);
    switch (feeding) {
        case Feeding::Whole:
            kvtest::feed_whole(s.get(), bytes);
            break;
        case Feeding::Bytewise:
            kvtest::feed_bytewise(s.get(), bytes);
            break;
        case Feeding::Pieces:
            kvtest::feed_pieces(s.get(), bytes, cut, 1500, kind.with_sum ? 4 : 1);
            break;
    }
    const kv_stream_state_t st = kvtest::state_of(s.get());
    const uint32_t n = uint32_t(w.frames.size());
    EXPECT_EQ(st.frames_done, n);
    EXPECT_EQ(st.frames_out, n);
    EXPECT_EQ(st.frames_ready, n);
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.frames_dropped, 0u);
    EXPECT_EQ(st.bytes_skipped, 0u);
    expect_same_frames(w.frames, kvtest::fetch_all(s.get()));
    EXPECT_EQ(kvtest::state_of(s.get()).frames_ready, 0u);
}

constexpr uint32_t kSeeds = 40;

TEST(StreamProperty, WholeStreamWithAndWithoutSums) {
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
        SCOPED_TRACE(seed);
        check_round_trip(seed, {false, false}, Feeding::Whole);
        // Odd chunk lengths verify when fed whole: trailing bytes are not summed.
        check_round_trip(seed, {true, false}, Feeding::Whole);
    }
}

TEST(StreamProperty, ByteAtATimeWithoutSums) {
    for (uint32_t seed = 0; seed < kSeeds / 4; ++seed) {
        SCOPED_TRACE(seed);
        check_round_trip(seed, {false, false}, Feeding::Bytewise);
    }
}

TEST(StreamProperty, RandomPieces) {
    for (uint32_t seed = 0; seed < kSeeds; ++seed) {
        SCOPED_TRACE(seed);
        check_round_trip(seed, {false, false}, Feeding::Pieces);
        check_round_trip(seed, {true, true}, Feeding::Pieces);
    }
}

TEST(StreamProperty, ByteAtATimeSumsToZeroAndFails) {
    StreamWriter w(1, 10, 10);
    w.spanning_frame(64, 64, true);
    w.spanning_frame(64, 64, true);
    auto s = kvtest::make_stream(10);
    kvtest::feed_bytewise(s.get(), w.bytes());
    const kv_stream_state_t st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_out, 0u);
    EXPECT_EQ(st.frames_discarded, 2u);
}

TEST(StreamProperty, FrameReachingAcrossManyPieces) {
    // A frame much longer than a chunk, chunks longer than a piece.
    StreamWriter w(3, 0, 0);
    for (int i = 0; i < 3; ++i) w.spanning_frame(200000, 65536, true);
    auto s = kvtest::make_stream(10);
    std::mt19937 cut(3);
    kvtest::feed_pieces(s.get(), w.bytes(), cut, 20000, 4);
    expect_same_frames(w.frames, kvtest::fetch_all(s.get()));
}

}  // namespace
