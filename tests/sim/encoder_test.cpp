// The chunk encoder and the wire helpers, checked against hand-computed bytes.
#include <gtest/gtest.h>

#include "stream_encoder.h"
#include "wire.h"

namespace camsim {
namespace {

TEST(Wire, Fletcher16OfKnownBytes) {
    const uint8_t abcde[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(wire::fletcher16(abcde), 0xC8F0);
    const uint8_t abcdef[] = {'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(wire::fletcher16(abcdef), 0x2057);
}

TEST(Wire, WordSumIgnoresTrailingBytes) {
    const uint8_t b[] = {1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 9};
    EXPECT_EQ(wire::word_sum(b), 0u);
}

TEST(Encoder, HeaderFieldsAndChecksums) {
    uint8_t desc[kFrameDescBytes] = {64, 1, 240, 0, 0x5e, 1, 0x2c, 1};
    uint8_t h[kChunkHeaderBytes];
    write_chunk_header(h, 0x1234, 100, 200, 7, 2, desc, 0xdeadbeef, true, true);
    EXPECT_EQ(h[0], 0xFB);
    EXPECT_EQ(h[1], 0x98);
    EXPECT_EQ(wire::get_u16(h + 2), 0x1234);
    EXPECT_EQ(wire::get_u32(h + 4), 100u);
    EXPECT_EQ(wire::get_u32(h + 8), 200u);
    EXPECT_EQ(wire::get_u16(h + 12), 7);
    EXPECT_EQ(wire::get_u16(h + 14), 2);
    EXPECT_EQ(wire::get_u32(h + 28), 0xdeadbeefu);
    EXPECT_EQ(h[32], 1);
    EXPECT_EQ(h[33], 1);
    EXPECT_EQ(wire::get_u16(h + 34), wire::fletcher16(std::span<const uint8_t>(h, 34)));
    write_chunk_header(h, 0, 4, 4, 0, 2, desc, 0xdeadbeef, false, false);
    EXPECT_EQ(wire::get_u32(h + 28), 0u);  // no checksum: field zero
    EXPECT_EQ(h[32], 0);
}

TEST(Encoder, SplitsAFrameIntoConsecutiveChunks) {
    StreamEncoder enc;
    enc.set_layout({400, 1, true});
    enc.next_stream_index = 0xFFFF;
    std::vector<uint8_t> frame(1000), out;
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    uint8_t desc[kFrameDescBytes] = {};
    StreamFaults f;
    EXPECT_EQ(enc.add_frame(frame, 2, desc, out, f), 3u);
    ASSERT_EQ(out.size(), 3 * kChunkHeaderBytes + 1000);
    const uint8_t *c2 = out.data() + 2 * (kChunkHeaderBytes + 400);
    EXPECT_EQ(wire::get_u16(out.data() + 2), 0xFFFF);
    EXPECT_EQ(wire::get_u16(c2 + 2), 1);  // wraps through 0
    EXPECT_EQ(wire::get_u32(c2 + 4), 200u);
    EXPECT_EQ(c2[32], 0);
    EXPECT_EQ(wire::get_u32(c2 + 28),
              wire::word_sum(std::span<const uint8_t>(c2 + kChunkHeaderBytes, 200)));
    EXPECT_EQ(enc.next_frame_index, 1);
}

TEST(Encoder, PacksSeveralFramesWithTheFirstIndex) {
    StreamEncoder enc;
    enc.set_layout({0, 3, true});
    enc.next_frame_index = 10;
    std::vector<uint8_t> frame(64, 1), out;
    uint8_t desc[kFrameDescBytes] = {};
    StreamFaults f;
    EXPECT_EQ(enc.add_frame(frame, 2, desc, out, f), 0u);
    EXPECT_EQ(enc.add_frame(frame, 2, desc, out, f), 0u);
    EXPECT_EQ(enc.add_frame(frame, 2, desc, out, f), 1u);
    ASSERT_EQ(out.size(), kChunkHeaderBytes + 192);
    EXPECT_EQ(wire::get_u32(out.data() + 4), 192u);
    EXPECT_EQ(wire::get_u32(out.data() + 8), 64u);
    EXPECT_EQ(wire::get_u16(out.data() + 12), 10);
}

TEST(Encoder, DroppedChunkStillUsesItsStreamIndex) {
    StreamEncoder enc;
    enc.set_layout({0, 1, true});
    std::vector<uint8_t> frame(64, 1), out;
    uint8_t desc[kFrameDescBytes] = {};
    StreamFaults f;
    f.drop_chunks = 1;
    enc.add_frame(frame, 2, desc, out, f);
    EXPECT_TRUE(out.empty());
    enc.add_frame(frame, 2, desc, out, f);
    EXPECT_EQ(wire::get_u16(out.data() + 2), 1);
    EXPECT_EQ(wire::get_u16(out.data() + 12), 1);
}

}  // namespace
}  // namespace camsim
