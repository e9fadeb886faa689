// Cuts frames into stream chunks: a 36-byte header (sync, stream index,
// lengths, frame index and format, the frame description, data checksum,
// flags, Fletcher-16 header checksum) followed by payload bytes. Also
// applies the stream faults a test asked for.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace camsim {

constexpr size_t kChunkHeaderBytes = 36;
constexpr size_t kFrameDescBytes = 12;
constexpr uint32_t kMaxChunkPayload = 0xFFFFF;
constexpr uint32_t kDefaultChunkPayload = 153600;

struct StreamLayout {
    uint32_t chunk_payload = kDefaultChunkPayload;  // 0: one chunk per frame
    uint8_t frames_per_chunk = 1;
    bool data_checksum = true;
};

// Pending stream faults, each a count of chunks still to hit.
struct StreamFaults {
    uint32_t corrupt_payload = 0;
    uint32_t corrupt_header = 0;
    uint32_t drop_bytes = 0;
    uint32_t drop_bytes_len = 1000;
    uint32_t drop_chunks = 0;
    uint32_t garbage = 0;
    uint32_t garbage_len = 100;
};

class StreamEncoder {
  public:
    void set_layout(const StreamLayout &layout) { layout_ = layout; }
    const StreamLayout &layout() const { return layout_; }

    // Adds one frame; appends to out the chunks that became complete (with
    // several frames per chunk, a chunk leaves once it holds all of them).
    // Returns the number of chunks appended (dropped ones included).
    uint32_t add_frame(std::span<const uint8_t> frame, uint16_t format,
                       const uint8_t (&desc)[kFrameDescBytes], std::vector<uint8_t> &out,
                       StreamFaults &faults);
    // Forgets frames waiting to be packed (the stream stopped).
    void drop_pending() {
        pending_.clear();
        pending_frames_ = 0;
    }

    uint16_t next_frame_index = 0;
    uint16_t next_stream_index = 0;

  private:
    struct ChunkInfo {
        uint32_t frame_len;
        uint16_t frame_index;
        uint16_t format;
        bool frame_start;
    };
    void write_chunk(const ChunkInfo &info, std::span<const uint8_t> payload,
                     const uint8_t (&desc)[kFrameDescBytes], std::vector<uint8_t> &out,
                     StreamFaults &faults);

    StreamLayout layout_;
    std::vector<uint8_t> pending_;  // frames waiting to be packed into one chunk
    uint32_t pending_frames_ = 0;
    uint16_t pending_first_index_ = 0;
    uint8_t pending_desc_[kFrameDescBytes] = {};
};

// Writes a valid 36-byte chunk header (for tests and the encoder).
void write_chunk_header(uint8_t *hdr, uint16_t stream_index, uint32_t len, uint32_t frame_len,
                        uint16_t frame_index, uint16_t format,
                        const uint8_t (&desc)[kFrameDescBytes], uint32_t data_sum, bool frame_start,
                        bool has_checksum);

}  // namespace camsim
