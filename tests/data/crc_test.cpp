// The block checksum against the published CRC-16/XMODEM values.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kavri.h"

namespace {

struct CrcCase {
    const char *text;
    uint16_t crc;
};

class CrcTest : public ::testing::TestWithParam<CrcCase> {};

TEST_P(CrcTest, PublishedValue) {
    const CrcCase c = GetParam();
    EXPECT_EQ(al_data_calc_crc(reinterpret_cast<const uint8_t *>(c.text),
                               static_cast<uint32_t>(std::strlen(c.text))),
              c.crc)
        << c.text;
}

INSTANTIATE_TEST_SUITE_P(Xmodem, CrcTest,
                         ::testing::Values(CrcCase{"123456789", 0x31C3}, CrcCase{"A", 0x58E5},
                                           CrcCase{"", 0x0000}));

TEST(Crc, EmptyAndNullGiveZero) {
    const uint8_t byte = 0xAB;
    EXPECT_EQ(al_data_calc_crc(&byte, 0), 0);
    EXPECT_EQ(al_data_calc_crc(nullptr, 10), 0);
}

TEST(Crc, ZerosKeepTheInitialValue) {
    // Initial value 0 and no final XOR: zero bytes leave the CRC at 0.
    const std::vector<uint8_t> zeros(65530, 0);
    EXPECT_EQ(al_data_calc_crc(zeros.data(), static_cast<uint32_t>(zeros.size())), 0);
}

TEST(Crc, DetectsASingleFlippedBit) {
    std::vector<uint8_t> block(65530);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
    const uint16_t good = al_data_calc_crc(block.data(), 65530);
    block[40000] ^= 0x10;
    EXPECT_NE(al_data_calc_crc(block.data(), 65530), good);
}

}  // namespace
