#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "kavri.h"

namespace fs = std::filesystem;

class PathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavri_path_XXXXXX";
        root_ = mkdtemp(tmpl);
        old_cwd_ = fs::current_path();
        fs::current_path(root_);
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        fs::remove_all(root_);
    }
    fs::path root_, old_cwd_;
};

TEST_F(PathTest, CreatesEveryLevelAndKeepsThePrefixAsGiven) {
    for (const char *p : {"a/b/c/", "x\\y\\z\\"}) {
        EXPECT_EQ(kavri_path_cfg(p), 0) << p;
        EXPECT_STREQ(kavri_path_get(), p);
        EXPECT_EQ(kavri_path_cfg(p), 0) << "second call " << p;
    }
    EXPECT_TRUE(fs::is_directory("a/b/c"));
    EXPECT_TRUE(fs::is_directory("x/y/z"));
}

TEST_F(PathTest, LongPathKeepsTheFirst255Characters) {
    std::string long_path(300, 'p');
    kavri_path_cfg(long_path.c_str());
    EXPECT_EQ(std::string(kavri_path_get()), long_path.substr(0, 255));
}

TEST_F(PathTest, UncreatableDirectoryIsReportedButThePrefixIsSet) {
    // A regular file where a directory level should be: no permissions trick,
    // so the case holds for root too.
    FILE *f = fopen("plain", "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(kavri_path_cfg("plain/sub/"), -1);
    EXPECT_STREQ(kavri_path_get(), "plain/sub/");
}
