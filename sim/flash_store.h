// The camera's flash: one data image (firmware, calibration data ...) per
// 8-bit data type, each with its version and its place in the camera's
// memory. It survives power cycles and resets.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace camsim {

struct FlashImage {
    uint16_t version = 0;
    std::vector<uint8_t> bytes;
};

class FlashStore {
  public:
    static constexpr size_t kTypes = 256;
    static constexpr uint32_t kCapacity = 4u * 1024u * 1024u;  // per data type
    static constexpr uint32_t kNoData = 0xFFFFFFFFu;           // size of an absent image

    // Where the image of a type lives: one slot of kCapacity bytes per type.
    static uint32_t address_of(uint8_t type);

    const FlashImage *find(uint8_t type) const;
    void store(uint8_t type, uint16_t version, std::span<const uint8_t> bytes);
    void erase(uint8_t type);

  private:
    std::array<std::optional<FlashImage>, kTypes> images_;
};

}  // namespace camsim
