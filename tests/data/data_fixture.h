// Set-up of the data transfer tests on the camera simulator: one camera with
// a short erase, an open transport record, a log file to read the library's
// lines from, and recorders for the pauses and the progress reports.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "camsim.h"
#include "kavri.h"
#include "ll/sim_fixture.h"

namespace kavri_test {

constexpr uint32_t kTestEraseMs = 30;

struct Progress {
    uint32_t phase, done, total;
};

inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = static_cast<uint8_t>(gen());
    return v;
}

inline bool file_exists(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

inline std::vector<uint8_t> read_file(const std::string &path) {
    std::vector<uint8_t> out;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    return out;
}

inline void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

inline camsim_data_stats_t data_stats(int cam) {
    camsim_data_stats_t s{};
    EXPECT_EQ(camsim_data_get_stats(cam, &s), CAMSIM_OK);
    return s;
}

// The camera's image of `type`, empty when it holds none.
inline std::vector<uint8_t> flash_image(int cam, uint8_t type, camsim_data_info_t *info = nullptr) {
    const int size = camsim_data_get(cam, type, nullptr, 0, info);
    if (size <= 0) return {};
    std::vector<uint8_t> v(static_cast<size_t>(size));
    camsim_data_get(cam, type, v.data(), static_cast<uint32_t>(v.size()), nullptr);
    return v;
}

// The library's log lines in a file, readable while the test runs.
class DataLog {
  public:
    explicit DataLog(std::string path) : path_(std::move(path)) {
        std::remove(path_.c_str());
        kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_TRC, path_.c_str());
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    }
    ~DataLog() {
        kv_log_disable();  // closes the file
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_WRN, nullptr);
        std::remove(path_.c_str());
    }
    DataLog(const DataLog &) = delete;
    DataLog &operator=(const DataLog &) = delete;

    std::string text() const {
        const auto bytes = read_file(path_);
        return std::string(bytes.begin(), bytes.end());
    }
    size_t count(const std::string &needle) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

  private:
    std::string path_;
};

class DataTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        dir_ = ::testing::TempDir();
        log_ = std::make_unique<DataLog>(temp_path("log.txt"));
        cam_ = plug();
        ASSERT_EQ(camsim_data_set_erase_time(cam_, kTestEraseMs), CAMSIM_OK);
        ll_ = open_first();
        ASSERT_NE(ll_, nullptr);
        kavri_data_set_sleep_function(&DataTest::record_sleep, this);
        kavri_data_set_progress_callback(&DataTest::record_progress, this);
    }

    void TearDown() override {
        kavri_data_set_sleep_function(nullptr, nullptr);
        kavri_data_set_progress_callback(nullptr, nullptr);
        kavri_data_set_erase_limit(0);
        log_.reset();
        for (const auto &f : files_) {
            std::remove(f.c_str());
            std::remove((f + ".part").c_str());
        }
        SimTest::TearDown();
    }

    // A path in the temporary directory, removed at tear-down.
    std::string temp_path(const std::string &name) {
        std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(test.begin(), test.end(), '/', '_');  // parameterised names
        const std::string path = dir_ + "kavri_data_" + test + "_" + name;
        std::remove(path.c_str());
        files_.push_back(path);
        return path;
    }

    std::string image_file(const std::vector<uint8_t> &bytes) {
        const std::string path = temp_path("image.bin");
        write_file(path, bytes);
        return path;
    }

    uint32_t slept_ms() const {
        uint32_t total = 0;
        for (uint32_t ms : sleeps_) total += ms;
        return total;
    }

    const DataLog &log() const { return *log_; }

    int cam_ = -1;
    kavri_ll_t *ll_ = nullptr;
    std::vector<uint32_t> sleeps_;
    std::vector<Progress> progress_;

  private:
    static void record_sleep(uint32_t ms, void *arg) {
        static_cast<DataTest *>(arg)->sleeps_.push_back(ms);
    }
    static void record_progress(uint32_t phase, uint32_t done, uint32_t total, void *arg) {
        static_cast<DataTest *>(arg)->progress_.push_back({phase, done, total});
    }

    std::unique_ptr<DataLog> log_;
    std::string dir_;
    std::vector<std::string> files_;
};

}  // namespace kavri_test
