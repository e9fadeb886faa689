// The directory helpers on libuv and the unpacking progress line.
#include <gtest/gtest.h>
#include <uv.h>

#include <filesystem>
#include <regex>

#include "kavri/param.h"
#include "param_test_util.h"

namespace fs = std::filesystem;
using namespace kavri::param::test;

TEST(FsDir, MkdirCreatesOnceAndAcceptsAnExistingDirectory) {
    TempDir dir;
    const std::string d = dir.file("new");
    EXPECT_EQ(uv_fs_mkdir_ex(d.c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_directory(d));
    EXPECT_EQ(uv_fs_mkdir_ex(d.c_str(), 0755), 0);
}

TEST(FsDir, MkdirWithoutParentReportsTheLibuvError) {
    TempDir dir;
    const std::string d = dir.file("a/b");
    LogCapture log;
    EXPECT_EQ(uv_fs_mkdir_ex(d.c_str(), 0755), UV_ENOENT);
    EXPECT_TRUE(log.has("[uv_fs_mkdir_ex] Create dir:" + d + " failed\n")) << log.text();
    EXPECT_EQ(uv_fs_mkdir_ex(nullptr, 0755), UV_EINVAL);
}

TEST(FsDir, RmdirRemovesAnEmptyDirectory) {
    TempDir dir;
    const std::string d = dir.file("gone");
    fs::create_directory(d);
    LogCapture log;
    EXPECT_EQ(uv_fs_rmdir_ex(d.c_str()), 0);
    EXPECT_FALSE(fs::exists(d));
    EXPECT_TRUE(log.has("[uv_fs_rmdir_ex] remove dir ok\n")) << log.text();
}

TEST(FsDir, RmdirOfMissingOrFullDirectory) {
    TempDir dir;
    {
        LogCapture log;
        EXPECT_EQ(uv_fs_rmdir_ex(dir.file("none").c_str()), UV_ENOENT);
        EXPECT_EQ(log.text(), "");  // nothing to remove, nothing said
    }
    fs::create_directory(dir.file("full"));
    fs::create_directory(dir.file("full/child"));
    LogCapture log;
    EXPECT_EQ(uv_fs_rmdir_ex(dir.file("full").c_str()), UV_ENOTEMPTY);
    EXPECT_TRUE(log.has("[uv_fs_rmdir_ex] remove dir failed:" + std::to_string(UV_ENOTEMPTY)))
        << log.text();
    EXPECT_TRUE(fs::exists(dir.file("full/child")));
}

TEST(ExtractProgress, CountsEveryEntryOfTheProcess) {
    int32_t total = 1;
    LogCapture log;
    EXPECT_EQ(on_extract_to_folder_entry("a.bin", &total), 0);
    EXPECT_EQ(on_extract_to_folder_entry("b.bin", nullptr), 0);
    const std::regex line(R"(\[on_extract_to_folder_entry\] Extracted: a\.bin \((\d+) of 1\)\n)");
    std::smatch m;
    const std::string text = log.text();
    ASSERT_TRUE(std::regex_search(text, m, line)) << text;
    const int first = std::stoi(m[1]);
    EXPECT_NE(text.find("Extracted: b.bin (" + std::to_string(first + 1) + " of 0)"),
              std::string::npos)
        << text;
}
