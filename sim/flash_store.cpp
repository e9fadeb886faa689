#include "flash_store.h"

namespace camsim {
namespace {
constexpr uint32_t kFlashBase = 0x08000000u;
}  // namespace

uint32_t FlashStore::address_of(uint8_t type) {
    return kFlashBase + type * kCapacity;
}

const FlashImage *FlashStore::find(uint8_t type) const {
    const auto &img = images_[type];
    return img ? &*img : nullptr;
}

void FlashStore::store(uint8_t type, uint16_t version, std::span<const uint8_t> bytes) {
    images_[type] = FlashImage{version, std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

void FlashStore::erase(uint8_t type) {
    images_[type].reset();
}

}  // namespace camsim
