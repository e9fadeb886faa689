// Test scaffolding: a private temporary folder per test and a capture of
// the log lines written to the console.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "kavri/log.h"
#include "common/log_capture.h"

namespace kavri::param::test {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/kavri_param_XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // The working path prefix form: ends with a separator.
    std::string prefix() const { return path_ + "/"; }

  private:
    std::string path_;
};

using kavri_testing::LogCapture;

// Silences the console while a test floods the reader with damaged files.
class QuietConsole {
  public:
    QuietConsole() : old_level_(kv_log_get_level(KV_LOG_SINK_CONSOLE)) {
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    }
    ~QuietConsole() { kv_log_enable(KV_LOG_SINK_CONSOLE, old_level_, nullptr); }

  private:
    unsigned old_level_;
};

}  // namespace kavri::param::test
