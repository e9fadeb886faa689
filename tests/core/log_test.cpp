// The logger's line format and thresholds, captured from both sinks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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
        kavri_log_set_callback(nullptr, nullptr);
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

namespace {

// What an application's callback received.
struct Received {
    std::mutex mutex;
    std::vector<std::pair<unsigned, std::string>> messages;

    static void collect(unsigned level, const char *text, void *user) {
        auto *self = static_cast<Received *>(user);
        std::lock_guard lock(self->mutex);
        self->messages.emplace_back(level, text);
    }
};

}  // namespace

TEST_F(LogTest, CallbackGetsLevelAndMessageAboveItsThreshold) {
    Received got;
    ASSERT_EQ(kavri_log_set_callback(&Received::collect, &got), 1);
    ASSERT_EQ(kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_DBG, nullptr), 1);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    const std::string long_text(2000, 'y');
    kv_log(KV_LOG_TRC, "TRC", "[%s] below\n", "f");
    kv_log(KV_LOG_ERR, "ERR", "[%s] x=%d\r\n", "f", 7);
    kv_log_raw(KV_LOG_INF, "plain %d", 5);
    kv_log(KV_LOG_DBG, "DBG", "[%s] \n two lines\n", "f");
    kv_log(KV_LOG_WRN, "WRN", "[%s] %s\n", "f", long_text.c_str());
    const std::vector<std::pair<unsigned, std::string>> expect = {{KV_LOG_ERR, "[f] x=7"},
                                                                  {KV_LOG_INF, "plain 5"},
                                                                  {KV_LOG_DBG, "[f] \n two lines"},
                                                                  {KV_LOG_WRN, "[f] " + long_text}};
    EXPECT_EQ(got.messages, expect);
}

TEST_F(LogTest, ClearingOrSilencingTheCallbackStopsIt) {
    Received got;
    ASSERT_EQ(kavri_log_set_callback(&Received::collect, &got), 1);
    kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_TRC, nullptr);
    kv_log(KV_LOG_ERR, "ERR", "[%s] one\n", "f");
    kv_log_disable();
    kv_log(KV_LOG_ERR, "ERR", "[%s] silenced\n", "f");
    kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_TRC, nullptr);
    kv_log(KV_LOG_ERR, "ERR", "[%s] two\n", "f");
    ASSERT_EQ(kavri_log_set_callback(nullptr, nullptr), 1);
    kv_log(KV_LOG_ERR, "ERR", "[%s] cleared\n", "f");
    const std::vector<std::pair<unsigned, std::string>> expect = {{KV_LOG_ERR, "[f] one"},
                                                                  {KV_LOG_ERR, "[f] two"}};
    EXPECT_EQ(got.messages, expect);
}

TEST_F(LogTest, WhatTheCallbackLogsGoesToTheConsoleOnlyAndItCannotChangeItself) {
    struct Inner {
        int calls = 0;
        int change_result = -1;
        static void cb(unsigned, const char *, void *user) {
            auto *self = static_cast<Inner *>(user);
            ++self->calls;
            kv_log(KV_LOG_ERR, "ERR", "[%s] from inside\n", "cb");
            self->change_result = kavri_log_set_callback(nullptr, nullptr);
        }
    } inner;
    ASSERT_EQ(kavri_log_set_callback(&Inner::cb, &inner), 1);
    kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_TRC, nullptr);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_ERR, nullptr);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] outside\n", "f");
    kv_log(KV_LOG_ERR, "ERR", "[%s] still set\n", "f");
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(inner.calls, 2);
    EXPECT_EQ(inner.change_result, 0);
    EXPECT_NE(console.find("[ERR] [cb] from inside"), std::string::npos) << console;
}

// The logger holds no lock while the callback runs: two threads are inside
// it at the same time. The wait is bounded only so that a logger that
// serialises the callback fails instead of hanging.
TEST_F(LogTest, CallbackRunsOnTwoThreadsAtOnce) {
    struct Meeting {
        std::mutex mutex;
        std::condition_variable cv;
        int inside = 0;
        int met = 0;
        static void cb(unsigned, const char *, void *user) {
            auto *self = static_cast<Meeting *>(user);
            std::unique_lock lock(self->mutex);
            ++self->inside;
            self->cv.notify_all();
            if (self->cv.wait_for(lock, std::chrono::seconds(30),
                                  [self] { return self->inside == 2; })) {
                ++self->met;
            }
        }
    } meeting;
    ASSERT_EQ(kavri_log_set_callback(&Meeting::cb, &meeting), 1);
    kv_log_enable(KV_LOG_SINK_CALLBACK, KV_LOG_TRC, nullptr);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    std::thread a([] { kv_log(KV_LOG_INF, "INF", "[%s] a\n", "t"); });
    std::thread b([] { kv_log(KV_LOG_INF, "INF", "[%s] b\n", "t"); });
    a.join();
    b.join();
    EXPECT_EQ(meeting.met, 2);
}
