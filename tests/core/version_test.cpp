// One version number: the generated header follows the project's version and
// the loaded library reports the same one.
#include <gtest/gtest.h>

#include <string>

#include "kavri.h"

TEST(Version, HeaderFollowsTheProjectVersion) {
    const std::string parts = std::to_string(KAVRI_VERSION_MAJOR) + "." +
                              std::to_string(KAVRI_VERSION_MINOR) + "." +
                              std::to_string(KAVRI_VERSION_PATCH);
    EXPECT_EQ(parts, KAVRI_TEST_PROJECT_VERSION);
    EXPECT_STREQ(KAVRI_VERSION_STRING, KAVRI_TEST_PROJECT_VERSION);
}

TEST(Version, LibraryReportsTheHeadersVersion) {
    EXPECT_EQ(kavri_get_version(), KAVRI_VERSION);
    EXPECT_EQ(kavri_get_version(),
              KAVRI_VERSION_MAJOR * 1000000u + KAVRI_VERSION_MINOR * 1000u + KAVRI_VERSION_PATCH);
}

TEST(Version, EncodingOrdersVersions) {
    EXPECT_EQ(KAVRI_VERSION_ENCODE(1, 50, 0), 1050000u);
    EXPECT_LT(KAVRI_VERSION_ENCODE(1, 50, 999), KAVRI_VERSION_ENCODE(1, 51, 0));
    EXPECT_LT(KAVRI_VERSION_ENCODE(1, 999, 0), KAVRI_VERSION_ENCODE(2, 0, 0));
}
