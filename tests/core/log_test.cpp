// The logger's line format and thresholds, captured from both sinks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "kavri.h"

namespace {

std::string read_file(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = "/tmp/kavri_log_test_" + std::to_string(getpid()) + ".log";
        other_ = file_ + ".other";
        std::remove(file_.c_str());
        std::remove(other_.c_str());
    }
    void TearDown() override {
        kv_log_disable();
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
        std::remove(file_.c_str());
        std::remove(other_.c_str());
    }
    std::string file_, other_;
};

// "YYYY/MM/DD hh:mm:ss.mmm[tid][TAG] [func] message"
const std::regex kLine(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[ERR\] \[f\] x=7\n)");

}  // namespace

TEST_F(LogTest, LineFormatOnConsoleAndFile) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_DBG, file_.c_str()), 1);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] x=%d\n", "f", 7);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(console, kLine)) << console;
    EXPECT_TRUE(std::regex_match(read_file(file_), kLine)) << read_file(file_);
}

TEST_F(LogTest, ThresholdsSelectTheSinks) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_DBG, file_.c_str()), 1);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_TRC, "TRC", "[%s] trace\n", "f");
    kv_log(KV_LOG_INF, "INF", "[%s] info\n", "f");
    const std::string console = testing::internal::GetCapturedStdout();
    const std::string file = read_file(file_);
    EXPECT_EQ(console.find("trace"), std::string::npos);
    EXPECT_EQ(console.find("info"), std::string::npos);
    EXPECT_EQ(file.find("trace"), std::string::npos);
    EXPECT_NE(file.find("[INF] [f] info"), std::string::npos);
}

TEST_F(LogTest, RawWritesTheMessageAlone) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, file_.c_str()), 1);
    kv_log_raw(KV_LOG_INF, "plain %d", 5);
    EXPECT_EQ(read_file(file_), "plain 5");
}

TEST_F(LogTest, BadSinkChangesNothingAndSpareSinkWritesNothing) {
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
    EXPECT_EQ(kv_log_enable(3, 0, nullptr), 0);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_CONSOLE), KV_LOG_WRN);
    EXPECT_EQ(kv_log_enable(KV_LOG_SINK_SPARE, 0, nullptr), 1);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_TRC, "TRC", "[%s] t\n", "f");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LogTest, DisableSilencesEverything) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, file_.c_str()), 1);
    kv_log_disable();
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] gone\n", "f");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_file(file_), "");
    for (unsigned sink = 0; sink < 3; ++sink) EXPECT_EQ(kv_log_get_level(sink), KV_LOG_OFF);
}

TEST_F(LogTest, SameNameKeepsAppendingOtherNameSwitchesFiles) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, file_.c_str()), 1);
    kv_log_raw(KV_LOG_ERR, "a");
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, file_.c_str()), 1);
    kv_log_raw(KV_LOG_ERR, "b");
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, other_.c_str()), 1);
    kv_log_raw(KV_LOG_ERR, "c");
    EXPECT_EQ(read_file(file_), "ab");
    EXPECT_EQ(read_file(other_), "c");
}

TEST_F(LogTest, UnopenableFileFailsOnStderrAndConsoleGoesOn) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, "/nonexistent-dir/x.log"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "cannot open file /nonexistent-dir/x.log for write\n");
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] still\n", "f");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("still"), std::string::npos);
}

TEST_F(LogTest, LogCfgSetsConsoleAndFileKeepingTheOpenFile) {
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, file_.c_str()), 1);
    kavri_log_cfg(KV_LOG_INF, KV_LOG_ERR, KV_LOG_OFF);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_CONSOLE), KV_LOG_INF);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_FILE), KV_LOG_ERR);
    kv_log_raw(KV_LOG_ERR, "kept");
    EXPECT_EQ(read_file(file_), "kept");
}
