// Byte helpers shared by the fuzz targets and the seed generator: camera
// stream chunks written independently of the library, checksums, a small
// deterministic random source for choices derived from the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvfuzz {

inline constexpr size_t kChunkHdr = 36;
inline constexpr uint8_t kSync0 = 0xFB;
inline constexpr uint8_t kSync1 = 0x98;

inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint16_t fletcher16(const uint8_t *p, size_t n) {
    unsigned a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a = (a + p[i]) % 255;
        b = (b + a) % 255;
    }
    return static_cast<uint16_t>(a + 256 * b);
}

inline uint32_t word_sum(const uint8_t *p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) s += get32(p + i);
    return s;
}

struct ChunkSpec {
    uint16_t sidx = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 2;
    uint32_t desc[3] = {};
    bool frame_start = false;
    bool with_sum = false;
};

// Appends one chunk (header and payload) to out.
inline void append_chunk(std::vector<uint8_t> &out, const ChunkSpec &c, const uint8_t *payload,
                         uint32_t len) {
    const size_t at = out.size();
    out.resize(at + kChunkHdr + len);
    uint8_t *h = out.data() + at;
    h[0] = kSync0;
    h[1] = kSync1;
    put16(h + 2, c.sidx);
    put32(h + 4, len);
    put32(h + 8, c.frlen);
    put16(h + 12, c.fridx);
    put16(h + 14, c.frfmt);
    for (int i = 0; i < 3; ++i) put32(h + 16 + 4 * i, c.desc[i]);
    put32(h + 28, c.with_sum ? word_sum(payload, len) : 0u);
    h[32] = c.frame_start ? 1 : 0;
    h[33] = c.with_sum ? 1 : 0;
    put16(h + 34, fletcher16(h, 34));
    for (uint32_t i = 0; i < len; ++i) h[kChunkHdr + i] = payload[i];
}

// Rewrites the checksums of every header-looking place in buf, front to back,
// so that mutated lengths and indexes still pass the header test and the
// parser's deeper states are reached.
// With max_frlen set, frame lengths are cut down to it first: a frame node is
// allocated at its full length, and runs full of 100 MB allocations crawl.
inline void repair_chunks(std::vector<uint8_t> &buf, uint32_t max_frlen = 0) {
    for (size_t i = 0; i + kChunkHdr <= buf.size(); ++i) {
        if (buf[i] != kSync0 || buf[i + 1] != kSync1) continue;
        uint8_t *h = buf.data() + i;
        if (max_frlen != 0 && get32(h + 8) > max_frlen)
            put32(h + 8, get32(h + 8) % (max_frlen + 1));
        const uint32_t len = get32(h + 4);
        if ((h[33] & 1) && len <= buf.size() - i - kChunkHdr)
            put32(h + 28, word_sum(h + kChunkHdr, len));
        put16(h + 34, fletcher16(h, 34));
    }
}

// splitmix64: choices derived from a seed carried in the input.
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }

  private:
    uint64_t s_;
};

}  // namespace kvfuzz
