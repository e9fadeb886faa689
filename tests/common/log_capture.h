// Collects the library's console log lines while alive.
//
// Standard output is redirected before the threshold is raised and the
// threshold lowered again before standard output comes back, so the event
// thread's lines never reach the real console, even when a slow runner
// (valgrind runs one thread at a time) lets it log for a long while in
// between.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "kavri/log.h"

namespace kavri_testing {

class LogCapture {
  public:
    explicit LogCapture(unsigned level = KV_LOG_TRC)
        : saved_(kv_log_get_level(KV_LOG_SINK_CONSOLE)) {
        ::testing::internal::CaptureStdout();
        kv_log_enable(KV_LOG_SINK_CONSOLE, level, nullptr);
    }
    ~LogCapture() { text(); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // The captured text; the capture ends at the first call.
    const std::string &text() {
        if (!done_) {
            kv_log_enable(KV_LOG_SINK_CONSOLE, saved_, nullptr);
            fflush(stdout);
            text_ = ::testing::internal::GetCapturedStdout();
            done_ = true;
        }
        return text_;
    }
    bool has(const std::string &needle) { return text().find(needle) != std::string::npos; }

  private:
    unsigned saved_;
    bool done_ = false;
    std::string text_;
};

}  // namespace kavri_testing
