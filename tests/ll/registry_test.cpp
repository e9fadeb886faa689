// The chip driver registry picks the driver by the middle field of the
// product string, and hands out the shared registry entries themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kavri.h"

namespace {

kavri_dev_t device_with_product(const std::string &product) {
    kavri_dev_t dev{};
    std::memcpy(dev.product, product.data(), std::min(product.size(), sizeof dev.product));
    return dev;
}

struct Case {
    const char *product;
    const char *chip_code;  // nullptr: no driver
};

class DriverFind : public ::testing::TestWithParam<Case> {};

TEST_P(DriverFind, MatchesTheChipCodeExactly) {
    const Case &c = GetParam();
    kavri_dev_t dev = device_with_product(c.product);
    const kavri_drv_t *drv = kavri_drv_find(&dev);
    if (c.chip_code == nullptr) {
        EXPECT_EQ(drv, nullptr);
    } else {
        ASSERT_NE(drv, nullptr);
        EXPECT_STREQ(drv->chip_code, c.chip_code);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Products, DriverFind,
    ::testing::Values(Case{"KV100-T0-A", "T0"}, Case{"KV100-E1-A", "E1"}, Case{"KV100-E2-A", "E2"},
                      Case{"KV100-E3-A", "E3"}, Case{"KV100-e1-A", nullptr},
                      Case{"KV100-E4-A", nullptr}, Case{"KV100-E2", nullptr},
                      Case{"KV100-E2-", nullptr}, Case{"KV100-E22-A", nullptr}, Case{"", nullptr},
                      // 17-character first or second field: the pattern stops at 16.
                      Case{"ABCDEFGHIJKLMNOPQ-E2-A", nullptr},
                      Case{"M-E2ABCDEFGHIJKLMNOP-A", nullptr},
                      // A long third field is cut but still matches.
                      Case{"M-E2-ABCDEFGHIJKLMNOPQRSTU", "E2"},
                      // A full 32-byte field without a terminator.
                      Case{"M-E3-ABCDEFGHIJKLMNOPQRSTUVWXYZ0", "E3"}));

TEST(DriverRegistry, EntriesAreSharedAndCarryTheirTables) {
    kavri_dev_t a = device_with_product("A-E2-x");
    kavri_dev_t b = device_with_product("B-E2-y");
    kavri_dev_t e3 = device_with_product("A-E3-x");
    kavri_dev_t t0 = device_with_product("A-T0-x");
    kavri_drv_t *drv_a = kavri_drv_find(&a);
    ASSERT_NE(drv_a, nullptr);
    EXPECT_EQ(drv_a, kavri_drv_find(&b));
    kavri_drv_t *drv_e3 = kavri_drv_find(&e3);
    kavri_drv_t *drv_t0 = kavri_drv_find(&t0);
    ASSERT_NE(drv_e3, nullptr);
    ASSERT_NE(drv_t0, nullptr);
    EXPECT_NE(drv_a, drv_e3);
    EXPECT_EQ(drv_a->ops, &g_kavri_driver_op_epc);
    EXPECT_EQ(drv_e3->ops, &g_kavri_driver_op_epc);
    EXPECT_EQ(drv_t0->ops, &g_kavri_driver_op_ti);
    EXPECT_STREQ(drv_a->name, "EPC chip driver");
    EXPECT_STREQ(drv_t0->name, "TI OP8241 chip driver");
}

TEST(DriverRegistry, NullDeviceFindsNothing) {
    EXPECT_EQ(kavri_drv_find(nullptr), nullptr);
}

TEST(DriverRegistry, LogsTheMatchWithVersions) {
    kavri_dev_t dev = device_with_product("KV100-E1-A");
    dev.version[KAVRI_VERSION_HW] = 7;
    dev.version[KAVRI_VERSION_SW] = 300;
    dev.version[KAVRI_VERSION_BT] = 65535;
    const unsigned saved = kv_log_get_level(KV_LOG_SINK_CONSOLE);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_DBG, nullptr);
    ::testing::internal::CaptureStdout();
    ASSERT_NE(kavri_drv_find(&dev), nullptr);
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    kv_log_enable(KV_LOG_SINK_CONSOLE, saved, nullptr);
    EXPECT_NE(out.find("[DBG] [kavri_drv_find]  find driver: EPC chip driver "
                       "(device=KV100-E1-A [SW=300,BT=65535,HW=7])\n"),
              std::string::npos)
        << out;
}

TEST(DriverRegistry, NoMatchLogsNothing) {
    kavri_dev_t dev = device_with_product("KV100-X9-A");
    const unsigned saved = kv_log_get_level(KV_LOG_SINK_CONSOLE);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_TRC, nullptr);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(kavri_drv_find(&dev), nullptr);
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    kv_log_enable(KV_LOG_SINK_CONSOLE, saved, nullptr);
    EXPECT_EQ(out, "");
}

}  // namespace
