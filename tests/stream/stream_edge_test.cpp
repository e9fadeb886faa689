// The parser's corner cases: held header bytes, frames per chunk, continuity
// checks, the bounded output list, fetch and peek, header limits, reset.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kavri/log.h"
#include "stream/frame_list.h"
#include "stream/stream_hdr.h"
#include "stream/stream_writer.h"

namespace {

using kvtest::Chunk;
using kvtest::StreamWriter;

// Runs `f` with every log level reaching the console; returns what it printed.
template <class F>
std::string logged(F &&f) {
    const unsigned before = kv_log_get_level(KV_LOG_SINK_CONSOLE);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_TRC, nullptr);
    testing::internal::CaptureStdout();
    f();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    kv_log_enable(KV_LOG_SINK_CONSOLE, before, nullptr);
    return out;
}

bool has(const std::string &log, const std::string &line) {
    return log.find(line) != std::string::npos;
}

size_t count(const std::string &log, const std::string &line) {
    size_t n = 0;
    for (size_t p = log.find(line); p != std::string::npos; p = log.find(line, p + 1)) ++n;
    return n;
}

std::vector<uint8_t> garbage(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> g(n);
    for (auto &b : g) {
        do b = uint8_t(rng());
        while (b == 0xFB);  // no header can start inside
    }
    return g;
}

// ---- header codec ---------------------------------------------------------

TEST(StreamHeader, ChecksumIsFletcherWithS1LowByte) {
    const uint8_t bytes[] = {1, 2};
    // s1: 1, 3; s2: 1, 4
    EXPECT_EQ(kavri::stream::fletcher16(bytes, 2), 3 + 256 * 4);
    std::vector<uint8_t> big(34, 0xFF);
    EXPECT_EQ(kavri::stream::fletcher16(big.data(), big.size()), kvtest::fletcher(big.data(), 34));
}

TEST(StreamHeader, LimitsAndChecksum) {
    struct Case {
        const char *what;
        uint32_t len, frlen;
        uint16_t frfmt;
        bool valid;
    } cases[] = {
        {"limits met", 0xFFFFF, 0x7FFFFFF, 0x3FF, true},
        {"smallest", 0, 1, 0, true},
        {"payload too long", 0x100000, 100, 0, false},
        {"frame too long", 100, 0x8000000, 0, false},
        {"format out of range", 100, 100, 0x400, false},
        {"zero frame length", 100, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::RawHdr h;
        h.len = c.len;
        h.frlen = c.frlen;
        h.frfmt = c.frfmt;
        std::vector<uint8_t> b = kvtest::encode_hdr(h);
        EXPECT_EQ(kavri::stream::hdr_is_valid(b.data()), c.valid);
    }
    std::vector<uint8_t> b = kvtest::encode_hdr(kvtest::RawHdr{.len = 4, .frlen = 4});
    ASSERT_TRUE(kavri::stream::hdr_is_valid(b.data()));
    for (size_t i = 0; i < kvtest::kHdr; ++i) {
        std::vector<uint8_t> bad = b;
        bad[i] ^= 0x10;
        EXPECT_FALSE(kavri::stream::hdr_is_valid(bad.data())) << "flipped byte " << i;
    }
}

// ---- assembly ---------------------------------------------------------------

TEST(StreamEdge, PieceEndingInSyncByteHoldsIt) {
    StreamWriter w(1, 0, 0);
    w.spanning_frame(100, 100, false);
    w.spanning_frame(100, 100, false);
    const std::vector<uint8_t> b = w.bytes();
    const size_t cut = 136 + 1;  // first chunk plus the 0xFB of the second header
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] {
        kv_stream_feed_input(s.get(), b.data(), int32_t(cut));
        kv_stream_feed_input(s.get(), b.data() + cut, int32_t(b.size() - cut));
    });
    EXPECT_TRUE(
        has(log, "[kv_stream_feed_input] partial stream hdr found: 1 bytes, need more bytes.\n"));
    EXPECT_TRUE(has(log, "[_sync_stream_hdr] HDR found: idx/len=1/100(frlen:100,fridx=1,frfmt="));
    EXPECT_TRUE(has(log, "[_sync_stream_hdr] HDR found: idx/len=0/100 (frlen:100,fridx=0,frfmt="));
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_out, 2u);
    EXPECT_EQ(st.bytes_skipped, 0u);
}

TEST(StreamEdge, ThreeFramesPerChunkTakeConsecutiveIndexesAcrossTheWrap) {
    StreamWriter w(2, 7, 65534);
    w.multi_frame_chunk(50, 3, true);
    auto s = kvtest::make_stream(10);
    EXPECT_EQ(kv_stream_feed_input(s.get(), w.bytes().data(), int32_t(w.bytes().size())), 1);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].info.fridx, 65534);
    EXPECT_EQ(frames[1].info.fridx, 65535);
    EXPECT_EQ(frames[2].info.fridx, 0);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].data, w.frames[i].data);
}

TEST(StreamEdge, NextFrameStartDiscardsIncompleteFrame) {
    StreamWriter w(3, 0, 0);
    auto ids = w.spanning_frame(300, 100, true);
    w.spanning_frame(300, 100, true);
    w.chunks.erase(w.chunks.begin() + long(ids[2]));  // third chunk never arrives
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(
        has(log, "[kv_stream_feed_input] discard frame: frame bound met, prev not complete\n"));
    EXPECT_TRUE(has(log, "[_discard_cur_frame] discard frame: idx = 0\n"));
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 200u);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, w.frames[1].data);
}

TEST(StreamEdge, FailedDataChecksumSkipsToNextFrameStart) {
    StreamWriter w(4, 0, 0);
    auto ids = w.spanning_frame(300, 100, true);
    w.spanning_frame(300, 100, true);
    w.chunks[ids[1]].wrong_sum = true;
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(has(log, "[kv_stream_feed_input] check data checksum: sidx=1\n"));
    EXPECT_TRUE(
        has(log, "[kv_stream_feed_input] discard frame: verify data checksum failed: sidx=1\n"));
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    // The first chunk's stored bytes, then the third chunk skipped while searching.
    EXPECT_EQ(st.bytes_skipped, 200u);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, w.frames[1].data);
}

TEST(StreamEdge, StreamIndexGapEntersDiscardMode) {
    StreamWriter w(5, 4, 9);
    auto ids = w.spanning_frame(400, 100, false);  // sidx 4, 5, 6, 7
    w.spanning_frame(100, 100, false);
    w.chunks.erase(w.chunks.begin() + long(ids[2]));  // 5 is followed by 7
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(has(
        log, "[kv_stream_feed_input] discard frame: stream hdr idx not correct (prev=5, cur=7)\n"));
    EXPECT_TRUE(has(log, "[_discard_cur_frame] discard frame: idx = 9\n"));
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, 10);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 1u);
}

TEST(StreamEdge, StreamIndexWrapsFrom65535ToZero) {
    {
        StreamWriter w(6, 65534, 0);
        w.spanning_frame(300, 100, false);  // sidx 65534, 65535, 0
        auto s = kvtest::make_stream(10);
        kvtest::feed_whole(s.get(), w.bytes());
        EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 1u);
    }
    {
        StreamWriter w(6, 65534, 0);
        auto ids = w.spanning_frame(300, 100, false);
        w.chunks[ids[2]].sidx = 1;  // where 0 belongs
        auto s = kvtest::make_stream(10);
        kvtest::feed_whole(s.get(), w.bytes());
        EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 0u);
        EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 1u);
    }
}

TEST(StreamEdge, ContinuationOfAnotherFrameIsRefused) {
    StreamWriter w(7, 0, 0);
    w.spanning_frame(200, 100, false);
    auto ids = w.spanning_frame(200, 100, false);
    w.chunks[ids[1]].fridx = 5;
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(
        has(log, "[kv_stream_feed_input] discard frame: frame idx not consist (prev=1, cur=5)\n"));
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.frames_out, 1u);
}

TEST(StreamEdge, JumpInFrameIndexIsOnlyReported) {
    StreamWriter w(8, 0, 3);
    w.spanning_frame(100, 100, false);
    w.multi_frame_chunk(50, 2, false);  // fridx 4, step 2 afterwards
    auto ids = w.spanning_frame(100, 100, false);
    w.chunks[ids[0]].fridx = 7;  // 6 expected
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(
        has(log, "[kv_stream_feed_input] missing frame: jumpping frame idx (prev=6, cur=7)\n"));
    EXPECT_EQ(count(log, "missing frame"), 1u);
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 4u);
}

TEST(StreamEdge, FramesOfAChunkWaitForItsDataChecksum) {
    for (const bool good : {true, false}) {
        SCOPED_TRACE(good ? "sum matches" : "sum fails");
        StreamWriter w(24, 0, 0);
        w.multi_frame_chunk(100, 4, true);
        w.chunks[0].wrong_sum = !good;
        const auto b = w.bytes();
        auto s = kvtest::make_stream(10);
        // Header and two whole frames: complete, but their chunk is not judged yet.
        EXPECT_EQ(kv_stream_feed_input(s.get(), b.data(), 36 + 200), 0);
        auto st = kvtest::state_of(s.get());
        EXPECT_EQ(st.frames_done, 2u);
        EXPECT_EQ(st.frames_ready, 0u);
        kv_stream_feed_input(s.get(), b.data() + 236, int32_t(b.size() - 236));
        st = kvtest::state_of(s.get());
        EXPECT_EQ(st.frames_ready, good ? 4u : 0u);
        EXPECT_EQ(st.frames_discarded, good ? 0u : 2u);
        EXPECT_EQ(st.bytes_skipped, good ? 0u : 200u);
    }
}

// ---- output list --------------------------------------------------------

TEST(StreamEdge, FullOutputListKeepsNewestFrames) {
    StreamWriter w(9, 0, 0);
    for (int i = 0; i < 5; ++i) w.spanning_frame(100, 100, true);
    auto s = kvtest::make_stream(2);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    for (const char *line : {"(1/1)", "(1/2)", "(1/3)"})
        EXPECT_TRUE(has(
            log,
            std::string("[_fr_list_refresh] discard frames: frame buffer is full ") + line + "\n"));
    for (int idx = 0; idx < 3; ++idx)
        EXPECT_TRUE(
            has(log, "[_fr_list_refresh] discard frame: idx = " + std::to_string(idx) + "\n"));
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_dropped, 3u);
    EXPECT_EQ(st.frames_ready, 2u);
    EXPECT_EQ(st.frames_out, 5u);
    EXPECT_EQ(st.bytes_skipped, 300u);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].info.fridx, 3);
    EXPECT_EQ(frames[1].info.fridx, 4);
}

TEST(StreamEdge, FiveFramesInOneChunkDropThreeAtOnce) {
    StreamWriter w(10, 0, 0);
    w.multi_frame_chunk(40, 5, true);
    auto s = kvtest::make_stream(2);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), w.bytes()); });
    EXPECT_TRUE(has(log, "[_fr_list_refresh] discard frames: frame buffer is full (3/3)\n"));
    EXPECT_EQ(kvtest::state_of(s.get()).frames_dropped, 3u);
}

TEST(StreamEdge, ManyTinyFramesInOneChunkStayBounded) {
    // 65536 one-byte frames in one chunk: only the newest few survive.
    StreamWriter w(11, 0, 0);
    w.multi_frame_chunk(1, 65536, false);
    auto s = kvtest::make_stream(4);
    kvtest::feed_whole(s.get(), w.bytes());
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_done, 65536u);
    EXPECT_EQ(st.frames_out, 65536u);
    EXPECT_EQ(st.frames_dropped, 65532u);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].info.fridx, 65535);
    EXPECT_EQ(frames[3].data, w.frames.back().data);
}

TEST(StreamEdge, NewBoundAppliesAfterNextPayload) {
    StreamWriter w(12, 0, 0);
    for (int i = 0; i < 4; ++i) w.spanning_frame(100, 100, false);
    const auto b = w.bytes();
    auto s = kvtest::make_stream(10);
    kv_stream_feed_input(s.get(), b.data(), 3 * 136);
    kv_stream_set_cfg(s.get(), kv_stream_cfg_t{1});
    EXPECT_EQ(kv_stream_get_cfg(s.get()).max_frames, 1u);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_ready, 3u);
    kv_stream_feed_input(s.get(), b.data() + 3 * 136, 136);
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_ready, 1u);
    EXPECT_EQ(st.frames_dropped, 3u);
}

// ---- fetch and peek -----------------------------------------------------

class StreamFetch : public testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) w.spanning_frame(100, 100, false);
        kvtest::feed_whole(s.get(), w.bytes());
    }
    StreamWriter w{13, 0, 20};
    kvtest::StreamPtr s = kvtest::make_stream(10);
};

TEST_F(StreamFetch, WantingMoreThanReadyTakesWhatIsThere) {
    std::vector<uint8_t> dst(1000, 0xEE);
    kv_stream_frame_info_t info{};
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), dst.data(), 1000, 10, &info, 0), 3u);
    EXPECT_EQ(info.fridx, 20);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(
            std::equal(w.frames[i].data.begin(), w.frames[i].data.end(), dst.begin() + 100 * i));
    EXPECT_EQ(dst[300], 0xEE);
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), dst.data(), 1000, 10, &info, 0), 0u);
}

TEST_F(StreamFetch, SmallDestinationGetsOnlyTheFirstBytes) {
    // Room for one and a half frames, two frames taken.
    std::vector<uint8_t> dst(200, 0xEE);
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), dst.data(), 150, 2, nullptr, 0), 2u);
    EXPECT_TRUE(std::equal(w.frames[0].data.begin(), w.frames[0].data.end(), dst.begin()));
    EXPECT_TRUE(std::equal(dst.begin() + 100, dst.begin() + 150, w.frames[1].data.begin()));
    EXPECT_EQ(dst[150], 0xEE);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_ready, 1u);
    std::fill(dst.begin(), dst.end(), 0xEE);
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), dst.data(), 40, 5, nullptr, 0), 1u);
    EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + 40, w.frames[2].data.begin()));
    EXPECT_EQ(dst[40], 0xEE);
}

TEST_F(StreamFetch, PeekLeavesFramesWaiting) {
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), nullptr, 0, 2, nullptr, 1), 2u);
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), nullptr, 0, 9, nullptr, 1), 3u);
    std::vector<uint8_t> dst(150);
    kv_stream_frame_info_t info{};
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), dst.data(), 150, 2, &info, 1), 2u);
    EXPECT_EQ(info.fridx, 20);
    EXPECT_TRUE(std::equal(dst.begin() + 100, dst.end(), w.frames[1].data.begin()));
    EXPECT_EQ(kvtest::state_of(s.get()).frames_ready, 3u);
    // Taking without a destination drops the frames.
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), nullptr, 0, 2, &info, 0), 2u);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_ready, 1u);
    EXPECT_EQ(kv_stream_feed_input(s.get(), nullptr, 0), 1);
}

// ---- resynchronisation --------------------------------------------------

TEST(StreamEdge, GarbageOnlyFirstPieceEntersDiscardMode) {
    StreamWriter w(14, 0, 0);
    auto ids = w.spanning_frame(200, 100, false);
    w.spanning_frame(100, 100, false);
    std::vector<uint8_t> rest;  // everything but the frame's first chunk
    for (size_t i = 1; i < w.chunks.size(); ++i) kvtest::append(rest, kvtest::encode(w.chunks[i]));
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] {
        kvtest::feed_whole(s.get(), garbage(64, 1));
        kvtest::feed_whole(s.get(), rest);  // a continuation first: still skipped
    });
    EXPECT_TRUE(has(log, "[kv_stream_feed_input] discard frame: stream hdr verify failed\n"));
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, 1);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 0u);
    (void)ids;
}

TEST(StreamEdge, GarbageBeforeHeaderIsOnlySkipped) {
    StreamWriter w(15, 0, 0);
    w.spanning_frame(200, 100, false);
    std::vector<uint8_t> b = garbage(64, 2);
    kvtest::append(b, w.bytes());
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] { kvtest::feed_whole(s.get(), b); });
    EXPECT_TRUE(has(log, "[kv_stream_feed_input] sync hdr: skip 64 bytes\n"));
    EXPECT_FALSE(has(log, "stream hdr verify failed"));
    EXPECT_EQ(kvtest::state_of(s.get()).bytes_skipped, 64u);
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 1u);
}

TEST(StreamEdge, DiscardModeReportsSkippedPieces) {
    StreamWriter w(16, 0, 0);
    w.spanning_frame(100, 100, false);
    auto s = kvtest::make_stream(10);
    std::string log = logged([&] {
        kvtest::feed_whole(s.get(), garbage(10, 3));
        kvtest::feed_whole(s.get(), garbage(20, 4));
        kvtest::feed_whole(s.get(), w.bytes());
    });
    EXPECT_TRUE(has(log, "[kv_stream_feed_input] not find hdr: skip 20 bytes\n"));
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 1u);
}

TEST(StreamEdge, ZeroFrameLengthHeaderIsNotAHeader) {
    kvtest::RawHdr h{.sidx = 0, .len = 64, .frlen = 0, .flags_a = 1};
    std::vector<uint8_t> b = kvtest::encode_hdr(h);
    b.resize(b.size() + 64, 0);
    StreamWriter w(17, 1, 1);
    w.spanning_frame(64, 64, false);
    kvtest::append(b, w.bytes());
    auto s = kvtest::make_stream(10);
    kvtest::feed_whole(s.get(), b);
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, w.frames[0].data);
}

TEST(StreamEdge, HugeFrameLengthHeaderIsDroppedAtNextFrame) {
    // A valid-looking frame start announcing a 128 MiB frame, then normal frames.
    kvtest::RawHdr h{.sidx = 0, .len = 16, .frlen = 0x7FFFFFF, .flags_a = 1};
    std::vector<uint8_t> b = kvtest::encode_hdr(h);
    b.resize(b.size() + 16, 0x11);
    StreamWriter w(18, 1, 1);
    for (int i = 0; i < 3; ++i) w.spanning_frame(64, 64, true);
    kvtest::append(b, w.bytes());
    auto s = kvtest::make_stream(10);
    kvtest::feed_whole(s.get(), b);
    const auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 16u);
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 3u);
}

TEST(StreamEdge, EmptyPayloadChunkCompletesAtOnce) {
    StreamWriter w(19, 0, 0);
    w.spanning_frame(100, 100, true);
    Chunk empty = w.chunks[0];
    empty.payload.clear();
    empty.frame_start = false;
    empty.sidx = 1;
    std::vector<uint8_t> b = w.bytes();
    kvtest::append(b, kvtest::encode(empty));
    StreamWriter w2(20, 2, 1);
    w2.spanning_frame(100, 100, true);
    kvtest::append(b, w2.bytes());
    auto s = kvtest::make_stream(10);
    kvtest::feed_whole(s.get(), b);
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 2u);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 0u);
}

// ---- allocation failure -------------------------------------------------

void *refuse(size_t) {
    return nullptr;
}

TEST(StreamEdge, FailedNodeAllocationDropsRestOfPiece) {
    StreamWriter w(21, 0, 0);
    w.spanning_frame(100, 100, false);
    w.spanning_frame(100, 100, false);
    const auto b = w.bytes();
    auto s = kvtest::make_stream(10);
    kavri::stream::set_node_allocator(refuse);
    std::string log = logged([&] { kv_stream_feed_input(s.get(), b.data(), 36 + 50); });
    kavri::stream::set_node_allocator(nullptr);
    EXPECT_TRUE(has(log, "[_fr_node_add_data] malloc failed: 136 bytes\n"));
    auto st = kvtest::state_of(s.get());
    EXPECT_EQ(st.bytes_skipped, 50u);  // the rest of the piece
    EXPECT_EQ(st.frames_out, 0u);
    // The frame is lost; the next frame start is taken normally.
    kv_stream_feed_input(s.get(), b.data() + 86, int32_t(b.size() - 86));
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, w.frames[1].data);
}

TEST(StreamEdge, AfterFailedNodeAllocationOnlyANewFrameStartEndsDiscardMode) {
    StreamWriter w(24, 0, 0);
    w.spanning_frame(100, 100, false);
    w.spanning_frame(100, 100, false);
    const auto b = w.bytes();
    auto s = kvtest::make_stream(10);
    kavri::stream::set_node_allocator(refuse);
    kv_stream_feed_input(s.get(), b.data(), 36 + 50);
    kavri::stream::set_node_allocator(nullptr);
    // The rest of the lost chunk arrives in a piece of its own, without a
    // header: the lost chunk's header must not come back to life.
    kv_stream_feed_input(s.get(), b.data() + 86, 50);
    kv_stream_feed_input(s.get(), b.data() + 136, int32_t(b.size() - 136));
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, w.frames[1].info.fridx);
    EXPECT_EQ(frames[0].data, w.frames[1].data);
}

// ---- lifecycle ------------------------------------------------------------

TEST(StreamEdge, ResetForgetsFramesAndCounters) {
    StreamWriter w(22, 0, 0);
    w.spanning_frame(100, 100, false);
    auto ids = w.spanning_frame(200, 100, false);
    const auto b = w.bytes();
    auto s = kvtest::make_stream(10);
    kv_stream_state_t before{};
    kv_stream_get_state(s.get(), &before);
    kvtest::feed_whole(s.get(), std::vector<uint8_t>(b.begin(), b.end() - 100));
    kv_stream_reset(s.get());
    kv_stream_state_t st{};
    EXPECT_EQ(kv_stream_get_state(s.get(), &st), &st);
    EXPECT_EQ(st.frames_out, 0u);
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_done, 0u);
    EXPECT_EQ(st.reserved5, 0u);
    EXPECT_EQ(st.reserved7, 0u);
    EXPECT_TRUE(st.t_sec > before.t_sec ||
                (st.t_sec == before.t_sec && st.t_usec >= before.t_usec));
    // The incomplete frame went with the reset; a fresh frame start is assembled.
    StreamWriter w2(23, 9, 9);
    w2.spanning_frame(100, 100, false);
    kvtest::feed_whole(s.get(), w2.bytes());
    EXPECT_EQ(kvtest::fetch_all(s.get()).size(), 1u);
    EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 0u);
    (void)ids;
}

TEST(StreamEdge, ResetKeepsDiscardMode) {
    StreamWriter w(25, 0, 0);
    auto ids = w.spanning_frame(200, 100, false);
    w.spanning_frame(100, 100, false);
    w.chunks.erase(w.chunks.begin() + long(ids[0]));  // begins with a continuation
    auto s = kvtest::make_stream(10);
    kvtest::feed_whole(s.get(), garbage(40, 5));  // enters discard mode
    kv_stream_reset(s.get());
    kvtest::feed_whole(s.get(), w.bytes());
    const auto frames = kvtest::fetch_all(s.get());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].info.fridx, 1);
    // The continuation was skipped, not assembled into a frame and discarded later.
    EXPECT_EQ(kvtest::state_of(s.get()).frames_discarded, 0u);
}

TEST(StreamEdge, NullArgumentsAreHarmless) {
    EXPECT_EQ(kv_stream_feed_input(nullptr, nullptr, 5), 0);
    EXPECT_EQ(kv_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, 0), 0u);
    EXPECT_EQ(kv_stream_get_state(nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_stream_get_cfg(nullptr).max_frames, 0u);
    kv_stream_destroy(nullptr);
    kv_stream_reset(nullptr);
    auto s = kvtest::make_stream(3);
    EXPECT_EQ(kv_stream_get_cfg(s.get()).max_frames, 3u);
    const uint8_t byte = 0;
    EXPECT_EQ(kv_stream_feed_input(s.get(), &byte, -1), 0);
    EXPECT_EQ(kv_stream_feed_input(s.get(), nullptr, 10), 0);
    EXPECT_EQ(kv_stream_fetch_frames(s.get(), nullptr, 0, 0, nullptr, 0), 0u);
}

}  // namespace
