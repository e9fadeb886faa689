// Little-endian byte helpers and the stream checksums, written for the camera
// side on their own (the host library has its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace camsim::wire {

inline void put_u16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get_u16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get_u32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Fletcher-16 over the bytes: low byte s1, high byte s2.
inline uint16_t fletcher16(std::span<const uint8_t> bytes) {
    uint32_t s1 = 0, s2 = 0;
    for (uint8_t b : bytes) {
        s1 = (s1 + b) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

// Wrap-around sum of the whole little-endian 32-bit words (trailing 1..3 bytes
// are not summed).
inline uint32_t word_sum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) sum += get_u32(bytes.data() + i);
    return sum;
}

}  // namespace camsim::wire
