// Test-side writer of camera streams: encodes chunk headers independently of
// the library and remembers which frames a clean parser must produce.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "kavri/stream.h"

namespace kvtest {

inline constexpr size_t kHdr = 36;

struct Chunk {
    uint16_t sidx = 0;
    uint16_t fridx = 0;
    uint32_t frlen = 0;
    uint16_t frfmt = 0;
    uint32_t desc[3] = {};
    bool frame_start = false;
    bool with_sum = false;
    std::vector<uint8_t> payload;
    // Overrides for faulty chunks.
    bool wrong_sum = false;
};

struct Frame {
    kv_stream_frame_info_t info{};
    std::vector<uint8_t> data;
};

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Sum of the whole little-endian words of a payload.
inline uint32_t word_sum(const std::vector<uint8_t> &b) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= b.size(); i += 4)
        s += uint32_t(b[i]) | uint32_t(b[i + 1]) << 8 | uint32_t(b[i + 2]) << 16 |
             uint32_t(b[i + 3]) << 24;
    return s;
}

inline uint16_t fletcher(const uint8_t *p, size_t n) {
    unsigned a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return uint16_t(a + 256 * b);
}

// Raw header fields, for hand-made headers (limits not enforced here).
struct RawHdr {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint32_t desc[3] = {};
    uint32_t dsum = 0;
    uint8_t flags_a = 0;
    uint8_t flags_b = 0;
};

inline std::vector<uint8_t> encode_hdr(const RawHdr &h) {
    std::vector<uint8_t> b(kHdr);
    b[0] = 0xFB;
    b[1] = 0x98;
    put16(&b[2], h.sidx);
    put32(&b[4], h.len);
    put32(&b[8], h.frlen);
    put16(&b[12], h.fridx);
    put16(&b[14], h.frfmt);
    for (int i = 0; i < 3; ++i) put32(&b[16 + 4 * i], h.desc[i]);
    put32(&b[28], h.dsum);
    b[32] = h.flags_a;
    b[33] = h.flags_b;
    put16(&b[34], fletcher(b.data(), 34));
    return b;
}

inline std::vector<uint8_t> encode(const Chunk &c) {
    RawHdr h;
    h.sidx = c.sidx;
    h.len = uint32_t(c.payload.size());
    h.frlen = c.frlen;
    h.fridx = c.fridx;
    h.frfmt = c.frfmt;
    for (int i = 0; i < 3; ++i) h.desc[i] = c.desc[i];
    h.dsum = c.with_sum ? word_sum(c.payload) + (c.wrong_sum ? 1u : 0u) : 0u;
    h.flags_a = c.frame_start ? 1 : 0;
    h.flags_b = c.with_sum ? 1 : 0;
    const std::vector<uint8_t> hdr = encode_hdr(h);
    std::vector<uint8_t> b(kHdr + c.payload.size());
    std::copy(hdr.begin(), hdr.end(), b.begin());
    std::copy(c.payload.begin(), c.payload.end(), b.begin() + kHdr);
    return b;
}

inline void append(std::vector<uint8_t> &dst, const std::vector<uint8_t> &src) {
    dst.insert(dst.end(), src.begin(), src.end());
}

// Writes frames as a camera would: consecutive stream indexes over all
// chunks, frame indexes per frame, either one frame over several chunks or
// several whole frames in one chunk.
class StreamWriter {
  public:
    StreamWriter(uint32_t seed, uint16_t first_sidx, uint16_t first_fridx)
        : rng_(seed), sidx_(first_sidx), fridx_(first_fridx) {}

    // One frame of `frlen` bytes cut into chunks of at most `chunk_len` bytes.
    // Returns the indexes of its chunks.
    std::vector<size_t> spanning_frame(uint32_t frlen, uint32_t chunk_len, bool with_sum) {
        Frame f = new_frame(frlen);
        std::vector<size_t> ids;
        for (uint32_t off = 0; off < frlen; off += chunk_len) {
            const uint32_t n = std::min(chunk_len, frlen - off);
            Chunk c = base_chunk(frlen, with_sum);
            c.frame_start = off == 0;
            c.payload.assign(f.data.begin() + off, f.data.begin() + off + n);
            ids.push_back(chunks.size());
            chunks.push_back(std::move(c));
        }
        frames.push_back(std::move(f));
        ++fridx_;
        return ids;
    }

    // One chunk carrying `count` whole frames.
    size_t multi_frame_chunk(uint32_t frlen, uint32_t count, bool with_sum) {
        // Every frame of the chunk carries the chunk header's description.
        new_description();
        Chunk c = base_chunk(frlen, with_sum);
        c.frame_start = true;
        for (uint32_t i = 0; i < count; ++i) {
            Frame f = new_frame(frlen, false);
            f.info.fridx = uint16_t(fridx_ + i);
            append(c.payload, f.data);
            frames.push_back(std::move(f));
        }
        fridx_ = uint16_t(fridx_ + count);
        chunks.push_back(std::move(c));
        return chunks.size() - 1;
    }

    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> out;
        for (const Chunk &c : chunks) append(out, encode(c));
        return out;
    }

    std::mt19937 &rng() { return rng_; }

    std::vector<Chunk> chunks;
    std::vector<Frame> frames;

  private:
    Chunk base_chunk(uint32_t frlen, bool with_sum) {
        Chunk c;
        c.sidx = sidx_++;
        c.fridx = fridx_;
        c.frlen = frlen;
        c.frfmt = frfmt_;
        for (int i = 0; i < 3; ++i) c.desc[i] = desc_[i];
        c.with_sum = with_sum;
        return c;
    }

    void new_description() {
        frfmt_ = uint16_t(rng_() % 1024);
        for (auto &d : desc_) d = rng_();
    }

    Frame new_frame(uint32_t frlen, bool describe = true) {
        if (describe) new_description();
        Frame f;
        f.info.frlen = frlen;
        f.info.fridx = fridx_;
        f.info.frfmt = frfmt_;
        for (int i = 0; i < 3; ++i) f.info.desc[i] = desc_[i];
        f.data.resize(frlen);
        for (auto &b : f.data) b = uint8_t(rng_());
        return f;
    }

    std::mt19937 rng_;
    uint16_t sidx_;
    uint16_t fridx_;
    uint16_t frfmt_ = 0;
    uint32_t desc_[3] = {};
};

// Feeding helpers.
inline void feed_whole(kv_stream_t *s, const std::vector<uint8_t> &b) {
    kv_stream_feed_input(s, b.data(), int32_t(b.size()));
}

inline void feed_bytewise(kv_stream_t *s, const std::vector<uint8_t> &b) {
    for (uint8_t x : b) kv_stream_feed_input(s, &x, 1);
}

// Random pieces of 1..max_piece bytes, sizes a multiple of `granule`.
inline void feed_pieces(kv_stream_t *s, const std::vector<uint8_t> &b, std::mt19937 &rng,
                        uint32_t max_piece, uint32_t granule) {
    size_t off = 0;
    while (off < b.size()) {
        size_t n = (1 + rng() % max_piece) * granule;
        n = std::min(n, b.size() - off);
        // Each piece is copied so ASan sees reads past its end.
        std::vector<uint8_t> piece(b.begin() + off, b.begin() + off + n);
        kv_stream_feed_input(s, piece.data(), int32_t(piece.size()));
        off += n;
    }
}

// Takes every waiting frame, one by one, each into a buffer of its own length.
inline std::vector<Frame> fetch_all(kv_stream_t *s) {
    std::vector<Frame> out;
    kv_stream_frame_info_t info{};
    while (kv_stream_fetch_frames(s, nullptr, 0, 1, &info, 1) == 1) {
        std::vector<uint8_t> probe(1);
        if (kv_stream_fetch_frames(s, probe.data(), 1, 1, &info, 1) != 1) break;
        Frame f;
        f.data.resize(info.frlen);
        if (kv_stream_fetch_frames(s, f.data.data(), uint32_t(f.data.size()), 1, &f.info, 0) != 1)
            break;
        out.push_back(std::move(f));
    }
    return out;
}

inline bool same_info(const kv_stream_frame_info_t &a, const kv_stream_frame_info_t &b) {
    return a.frlen == b.frlen && a.fridx == b.fridx && a.frfmt == b.frfmt &&
           a.desc[0] == b.desc[0] && a.desc[1] == b.desc[1] && a.desc[2] == b.desc[2];
}

struct StreamDeleter {
    void operator()(kv_stream_t *s) const { kv_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<kv_stream_t, StreamDeleter>;

inline StreamPtr make_stream(uint32_t max_frames) {
    return StreamPtr(kv_stream_create(kv_stream_cfg_t{max_frames}));
}

inline kv_stream_state_t state_of(kv_stream_t *s) {
    kv_stream_state_t st{};
    kv_stream_get_state(s, &st);
    return st;
}

}  // namespace kvtest
