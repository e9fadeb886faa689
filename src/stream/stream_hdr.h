// The 36-byte chunk header of the camera's raw frame stream: layout, limits,
// header checksum and decoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kavri/types.h"

namespace kavri::stream {

inline constexpr size_t kHdrSize = 36;
inline constexpr uint8_t kSync0 = 0xFB;
inline constexpr uint8_t kSync1 = 0x98;

// Field offsets inside the header.
inline constexpr size_t kOffSidx = 2;
inline constexpr size_t kOffLen = 4;
inline constexpr size_t kOffFrlen = 8;
inline constexpr size_t kOffFridx = 12;
inline constexpr size_t kOffFrfmt = 14;
inline constexpr size_t kOffDesc = 16;
inline constexpr size_t kOffDataSum = 28;
inline constexpr size_t kOffFlagsA = 32;
inline constexpr size_t kOffFlagsB = 33;
inline constexpr size_t kOffHdrSum = 34;
inline constexpr size_t kHdrSumCovered = 34;  // bytes 0..33 carry the checksum
inline constexpr size_t kDescWords = 3;

inline constexpr uint32_t kMaxLen = 0xFFFFF;
inline constexpr uint32_t kMaxFrlen = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrfmt = 0x3FF;

inline constexpr uint8_t kFlagFrameStart = 0x01;  // flags A bit 0
inline constexpr uint8_t kFlagDataSum = 0x01;     // flags B bit 0

struct StreamHdr {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint32_t desc[kDescWords] = {};
    uint32_t data_sum = 0;
    bool frame_start = false;
    bool has_data_sum = false;
};

// Fletcher-16 over the given bytes: s1 in the low byte, s2 in the high byte.
uint16_t fletcher16(const uint8_t *p, size_t n);

// True when the 36 bytes at p carry the sync, a matching header checksum
// and fields inside their limits. A zero frame length is refused too: such
// a chunk could never fill a frame.
bool hdr_is_valid(const uint8_t *p);

StreamHdr hdr_decode(const uint8_t *p);

// Raw frame info of the frame that begins after `frames_before` frames of
// the chunk have completed.
kv_stream_frame_info_t hdr_frame_info(const StreamHdr &h, uint32_t frames_before);

// Wrap-around sum of the whole little-endian u32 words among n bytes.
uint32_t sum_le_words(const uint8_t *p, size_t n);

// Copies n bytes and returns the wrap-around sum of their whole LE words,
// in one pass over the data.
uint32_t copy_and_sum_le_words(uint8_t *dst, const uint8_t *src, size_t n);

}  // namespace kavri::stream
