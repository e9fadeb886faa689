// CRC-16/XMODEM of the data blocks.
#include "kavri/data.h"
#include "data/data.h"

namespace {
constexpr uint16_t kPolynomial = 0x1021;
constexpr uint16_t kTopBit = 0x8000;
constexpr int kBitsPerByte = 8;
}  // namespace

namespace kavri::data {

uint16_t data_calc_crc(const uint8_t *bytes, uint32_t len) {
    uint16_t crc = 0;
    if (bytes == nullptr) return crc;
    for (uint32_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << kBitsPerByte));
        for (int bit = 0; bit < kBitsPerByte; ++bit)
            crc = static_cast<uint16_t>((crc & kTopBit) ? (crc << 1) ^ kPolynomial : crc << 1);
    }
    return crc;
}

}  // namespace kavri::data

extern "C" KAVRI_API uint16_t al_data_calc_crc(const uint8_t *bytes, uint32_t len) {
    return kavri::data::data_calc_crc(bytes, len);
}
