// Shared set-up of the transport tests on the camera simulator: a clean bus
// per test, cameras plugged where the test wants them, and a check that the
// transport gave every libusb object back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <libusb.h>

#include "camsim.h"
#include "common/log_capture.h"
#include "common/sim_leak_check.h"
#include "kavri.h"

namespace kavri_test {

// Short bus absences keep the reset tests quick.
constexpr uint32_t kShortResetDelayMs = 20;

inline kavri_usb_info_t usb_info(const kavri_ll_t &ll) {
    kavri_usb_info_t info;
    std::memcpy(&info, ll.if_info, sizeof info);
    return info;
}

inline camsim_camera_info_t camera_info(int cam) {
    camsim_camera_info_t info{};
    EXPECT_EQ(camsim_camera_info(cam, &info), CAMSIM_OK);
    return info;
}

inline camsim_camera_stats_t camera_stats(int cam) {
    camsim_camera_stats_t stats{};
    EXPECT_EQ(camsim_get_camera_stats(cam, &stats), CAMSIM_OK);
    return stats;
}

inline camsim_counters_t sim_counters() {
    camsim_counters_t c{};
    camsim_get_counters(&c);
    return c;
}

using kavri_testing::LogCapture;

// Library log lines written to a file, readable while the test runs (the
// console capture can only be read once, at its end).
class LogFile {
  public:
    explicit LogFile(unsigned level)
        : path_(::testing::TempDir() + "kavri_ll_log_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt"),
          console_(kv_log_get_level(KV_LOG_SINK_CONSOLE)) {
        std::remove(path_.c_str());
        kv_log_enable(KV_LOG_SINK_FILE, level, path_.c_str());
    }
    ~LogFile() {
        // Closes the file; the console threshold comes back (no file was open
        // before, so the file threshold has nothing to write to either way).
        kv_log_disable();
        kv_log_enable(KV_LOG_SINK_CONSOLE, console_, nullptr);
        std::remove(path_.c_str());
    }
    std::string text() const {
        std::string out;
        if (FILE *f = std::fopen(path_.c_str(), "rb")) {
            char buf[4096];
            size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
            std::fclose(f);
        }
        return out;
    }
    size_t count(const std::string &needle) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }
    // Waits (bounded) until needle has been logged at least n times.
    bool wait_for(const std::string &needle, size_t n = 1,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count(needle) < n) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

  private:
    std::string path_;
    unsigned console_;
};

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { camsim_clear(); }

    void TearDown() override {
        for (kavri_ll_t *ll : to_close_) kavri_ll_dev_close(ll);
        kavri_testing::expect_nothing_left_behind();
        camsim_clear();
    }

    int plug(uint8_t bus = 0, uint8_t port = 0, uint8_t speed = LIBUSB_SPEED_HIGH_CODE) {
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.bus = bus;
        cfg.port = port;
        cfg.speed = speed;
        cfg.reset_delay_ms = kShortResetDelayMs;
        cfg.reboot_delay_ms = kShortResetDelayMs;
        const int cam = camsim_plug(&cfg);
        EXPECT_GE(cam, 0);
        return cam;
    }

    // Opens the first camera through a zeroed record; closed at tear-down.
    kavri_ll_t *open_first() {
        records_.emplace_back();
        kavri_ll_t *ll = &records_.back();
        *ll = kavri_ll_t{};
        if (kavri_ll_dev_open(ll) == nullptr) return nullptr;
        to_close_.push_back(ll);
        return ll;
    }

    // A fixture-owned copy of rec, closed at tear-down.
    kavri_ll_t *keep(const kavri_ll_t &rec) {
        records_.push_back(rec);
        to_close_.push_back(&records_.back());
        return &records_.back();
    }

    static constexpr uint8_t LIBUSB_SPEED_HIGH_CODE = 3;

  private:
    std::deque<kavri_ll_t> records_;
    std::vector<kavri_ll_t *> to_close_;
};

// Records what the capture callback receives, on the event thread.
class CaptureLog {
  public:
    struct Event {
        int32_t code;
        uint32_t len;
    };

    static int32_t callback(kavri_ll_t *ll, int32_t code, uint8_t *, uint32_t len, void *arg) {
        auto *self = static_cast<CaptureLog *>(arg);
        std::function<void(kavri_ll_t *, int32_t)> hook;
        {
            std::lock_guard lock(self->mutex_);
            self->events_.push_back({code, len});
            hook = self->hook_;
        }
        self->changed_.notify_all();
        if (hook) hook(ll, code);
        return 0;
    }

    // Runs on the event thread after each recorded event.
    void set_hook(std::function<void(kavri_ll_t *, int32_t)> hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }

    // Waits (bounded) until pred holds over the events recorded so far.
    bool wait_for(const std::function<bool(const std::vector<Event> &)> &pred,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pred(events_); });
    }

    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

    size_t count(int32_t code) {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const Event &e : events_) n += e.code == code;
        return n;
    }

    size_t size() {
        std::lock_guard lock(mutex_);
        return events_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::function<void(kavri_ll_t *, int32_t)> hook_;
};

// Waits (bounded) until the simulator's counters satisfy pred.
inline bool wait_counters(const std::function<bool(const camsim_counters_t &)> &pred,
                          std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred(sim_counters())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred(sim_counters());
}

}  // namespace kavri_test
