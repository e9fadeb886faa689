// The interface records keep the layouts that applications and files rely on.
#include <gtest/gtest.h>

#include <cstddef>

#include "kavri.h"

TEST(Records, ParamItemArrayIs24BytesPerItemWithValueAtByte5) {
    kavri_param_item_t items[3]{};
    EXPECT_EQ(reinterpret_cast<char *>(&items[2]) - reinterpret_cast<char *>(&items[0]), 48);
    EXPECT_EQ(reinterpret_cast<char *>(items[1].param_val) - reinterpret_cast<char *>(&items[1]),
              5);
}

TEST(Records, ErrorNamesCoverTheTableAndNothingElse) {
    struct Case {
        int32_t code;
        const char *name;
    };
    const Case cases[] = {{-10, "KAVRI_ERR_CAP_UNKNOWN"},
                          {-8, "KAVRI_ERR_CAP_ERROR"},
                          {-7, "KAVRI_ERR_CAP_STALL"},
                          {-5, "KAVRI_ERR_CAP_TIMEOUT"},
                          {0, "OK"},
                          {3, "KAVRI_ERR_CAP_FRAME_DISCARD"},
                          {-11, "KAVRI_ERR_CAP_DISCONNECTED"},
                          {4, "KAVRI_ERR_CAP_RECONNECTED"},
                          {-9, "**UNKNOWN**"},
                          {-12, "**UNKNOWN**"},
                          {5, "**UNKNOWN**"},
                          {-3, "**UNKNOWN**"}};
    for (const auto &c : cases) EXPECT_STREQ(kavri_error_name(c.code), c.name) << c.code;
}
