#include "stream_encoder.h"

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace camsim {
namespace {

constexpr uint8_t kSync0 = 0xFB, kSync1 = 0x98;
constexpr size_t kHeaderChecksumOffset = 34;
constexpr uint8_t kGarbageByte = 0x55;  // never forms a sync pattern
constexpr uint32_t kWord = 4;

uint32_t round_to_word(uint32_t n) {
    return n - n % kWord;
}

}  // namespace

void write_chunk_header(uint8_t *hdr, uint16_t stream_index, uint32_t len, uint32_t frame_len,
                        uint16_t frame_index, uint16_t format,
                        const uint8_t (&desc)[kFrameDescBytes], uint32_t data_sum, bool frame_start,
                        bool has_checksum) {
    hdr[0] = kSync0;
    hdr[1] = kSync1;
    wire::put_u16(hdr + 2, stream_index);
    wire::put_u32(hdr + 4, len);
    wire::put_u32(hdr + 8, frame_len);
    wire::put_u16(hdr + 12, frame_index);
    wire::put_u16(hdr + 14, format);
    std::memcpy(hdr + 16, desc, kFrameDescBytes);
    wire::put_u32(hdr + 28, has_checksum ? data_sum : 0);
    hdr[32] = frame_start ? 1 : 0;
    hdr[33] = has_checksum ? 1 : 0;
    wire::put_u16(hdr + kHeaderChecksumOffset,
                  wire::fletcher16(std::span<const uint8_t>(hdr, kHeaderChecksumOffset)));
}

void StreamEncoder::write_chunk(const ChunkInfo &info, std::span<const uint8_t> payload,
                                const uint8_t (&desc)[kFrameDescBytes], std::vector<uint8_t> &out,
                                StreamFaults &faults) {
    const uint16_t sidx = next_stream_index++;
    if (faults.drop_chunks > 0) {
        --faults.drop_chunks;
        return;
    }
    if (faults.garbage > 0) {
        --faults.garbage;
        out.insert(out.end(), round_to_word(faults.garbage_len), kGarbageByte);
    }
    uint8_t hdr[kChunkHeaderBytes];
    write_chunk_header(hdr, sidx, static_cast<uint32_t>(payload.size()), info.frame_len,
                       info.frame_index, info.format, desc,
                       layout_.data_checksum ? wire::word_sum(payload) : 0, info.frame_start,
                       layout_.data_checksum);
    if (faults.corrupt_header > 0) {
        --faults.corrupt_header;
        hdr[kHeaderChecksumOffset + 1] ^= 0x5A;
    }
    out.insert(out.end(), hdr, hdr + kChunkHeaderBytes);

    const size_t start = out.size();
    out.insert(out.end(), payload.begin(), payload.end());
    if (faults.corrupt_payload > 0 && !payload.empty()) {
        --faults.corrupt_payload;
        out[start + payload.size() / 2] ^= 0x01;
    }
    if (faults.drop_bytes > 0 && payload.size() > kWord) {
        --faults.drop_bytes;
        size_t n = std::min<size_t>(round_to_word(faults.drop_bytes_len),
                                    round_to_word(static_cast<uint32_t>(payload.size() / 2)));
        auto from = out.begin() + static_cast<std::ptrdiff_t>(start + payload.size() / 4);
        out.erase(from, from + static_cast<std::ptrdiff_t>(n));
    }
}

uint32_t StreamEncoder::add_frame(std::span<const uint8_t> frame, uint16_t format,
                                  const uint8_t (&desc)[kFrameDescBytes], std::vector<uint8_t> &out,
                                  StreamFaults &faults) {
    const uint32_t flen = static_cast<uint32_t>(frame.size());
    const uint16_t fidx = next_frame_index++;
    uint32_t per_chunk = std::max<uint32_t>(1, layout_.frames_per_chunk);
    if (flen > 0) per_chunk = std::min<uint32_t>(per_chunk, std::max(1u, kMaxChunkPayload / flen));

    if (per_chunk > 1) {
        if (pending_frames_ == 0) {
            pending_first_index_ = fidx;
            std::memcpy(pending_desc_, desc, kFrameDescBytes);
        }
        pending_.insert(pending_.end(), frame.begin(), frame.end());
        if (++pending_frames_ < per_chunk) return 0;
        write_chunk({flen, pending_first_index_, format, true}, pending_, pending_desc_, out,
                    faults);
        pending_.clear();
        pending_frames_ = 0;
        return 1;
    }

    uint32_t step = layout_.chunk_payload == 0 ? flen : round_to_word(layout_.chunk_payload);
    step = std::clamp<uint32_t>(step, kWord, round_to_word(kMaxChunkPayload));
    uint32_t chunks = 0;
    for (uint32_t off = 0; off < flen || (flen == 0 && chunks == 0); off += step) {
        const uint32_t n = std::min(step, flen - off);
        write_chunk({flen, fidx, format, off == 0}, frame.subspan(off, n), desc, out, faults);
        ++chunks;
        if (flen == 0) break;
    }
    return chunks;
}

}  // namespace camsim
