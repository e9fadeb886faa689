// Fletcher-16, the one of the library: both sums modulo 255, s1 in the low
// byte and s2 in the high byte, as the stream's chunk headers and the
// calibration parameter files carry it. The running form lets the parameter
// file's block checksum span the whole block area without restarting.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavri {

class Fletcher16 {
  public:
    void update(std::span<const uint8_t> bytes) {
        // Sums of up to kDeferredBytes bytes fit 32 bits, so the modulo is
        // taken once per run instead of once per byte.
        size_t pos = 0;
        while (pos < bytes.size()) {
            const size_t end = pos + std::min(kDeferredBytes, bytes.size() - pos);
            for (; pos < end; ++pos) {
                s1_ += bytes[pos];
                s2_ += s1_;
            }
            s1_ %= kModulus;
            s2_ %= kModulus;
        }
    }
    uint16_t value() const { return static_cast<uint16_t>((s2_ << 8) | s1_); }

  private:
    static constexpr uint32_t kModulus = 255;
    static constexpr size_t kDeferredBytes = 4096;
    uint32_t s1_ = 0;
    uint32_t s2_ = 0;
};

inline uint16_t fletcher16(std::span<const uint8_t> bytes) {
    Fletcher16 sum;
    sum.update(bytes);
    return sum.value();
}

}  // namespace kavri
