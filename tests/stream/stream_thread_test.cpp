// One thread feeds while another fetches, as the event thread and the
// application's thread do during a capture.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "stream/stream_writer.h"

namespace {

using kvtest::Frame;
using kvtest::StreamWriter;

void run_producer_consumer(uint32_t seed, uint32_t max_frames, bool peek_too) {
    StreamWriter w(seed, 0, 0);
    std::mt19937 rng(seed);
    for (int i = 0; i < 300; ++i) {
        if (rng() % 4 == 0) {
            w.multi_frame_chunk(4 * (1 + rng() % 64), 1 + rng() % 4, true);
        } else {
            w.spanning_frame(4 * (1 + rng() % 1000), 4 * (1 + rng() % 300), true);
        }
    }
    const std::vector<uint8_t> bytes = w.bytes();
    auto s = kvtest::make_stream(max_frames);
    std::atomic<bool> done{false};

    std::thread producer([&] {
        std::mt19937 cut(seed + 1);
        kvtest::feed_pieces(s.get(), bytes, cut, 500, 4);
        done.store(true);
    });

    std::vector<Frame> got;
    std::vector<uint8_t> buf(8192);
    for (;;) {
        const bool finished = done.load();
        kv_stream_state_t st{};
        kv_stream_get_state(s.get(), &st);
        EXPECT_LE(st.frames_ready, max_frames);
        if (peek_too) {
            kv_stream_frame_info_t peeked{};
            kv_stream_fetch_frames(s.get(), buf.data(), uint32_t(buf.size()), 2, &peeked, 1);
        }
        kv_stream_frame_info_t info{};
        if (kv_stream_fetch_frames(s.get(), buf.data(), uint32_t(buf.size()), 1, &info, 0) == 1) {
            Frame f;
            f.info = info;
            f.data.assign(buf.begin(), buf.begin() + info.frlen);
            got.push_back(std::move(f));
        } else if (finished) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();

    // What arrived is an ordered selection of what was sent, byte for byte.
    size_t next = 0;
    for (const Frame &f : got) {
        while (next < w.frames.size() &&
               !(kvtest::same_info(w.frames[next].info, f.info) && w.frames[next].data == f.data))
            ++next;
        ASSERT_LT(next, w.frames.size());
        ++next;
    }
    const kv_stream_state_t st = kvtest::state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 0u);
    EXPECT_EQ(st.frames_done, w.frames.size());
    EXPECT_EQ(st.frames_out, w.frames.size());
    EXPECT_EQ(got.size() + st.frames_dropped, w.frames.size());
}

TEST(StreamThreads, ConsumerTakesWhileProducerFeeds) {
    run_producer_consumer(1, 1000000, false);
}

TEST(StreamThreads, SmallOutputListDropsButNeverLoses) {
    run_producer_consumer(2, 2, false);
}

TEST(StreamThreads, PeekingConsumer) {
    run_producer_consumer(3, 4, true);
}

}  // namespace
