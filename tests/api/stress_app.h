// Pieces shared by the application-shaped stress test and the long soak: a
// camera's disruption window, failures collected from worker threads, and a
// control thread's block of registers checked on every read-back.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kavri.h"

namespace kavri_stress {

// A camera is disrupted from the moment a close or an unplug begins until
// its handle is open again. A call overlapped a disruption when one was
// under way at its mark or began since; only such calls may fail.
class Window {
  public:
    struct Mark {
        uint64_t begun, ended;
    };
    Mark mark() const {
        const uint64_t b = begun_.load();
        return {b, ended_.load()};
    }
    bool overlaps(Mark m) const { return m.begun != m.ended || begun_.load() != m.begun; }
    void begin() { ++begun_; }
    void end() { ++ended_; }

  private:
    std::atomic<uint64_t> begun_{0}, ended_{0};
};

// Failures seen on worker threads: counted by kind, the first of each kept,
// so that a fault repeated thousands of times reads as one line.
class Failures {
  public:
    void add(const std::string &kind, const std::string &detail = "") {
        std::lock_guard lock(mutex_);
        auto &[count, first] = kinds_[kind];
        if (count++ == 0) first = detail;
    }
    std::string report() {
        std::lock_guard lock(mutex_);
        std::string s;
        for (const auto &[kind, v] : kinds_)
            s += kind + ": " + std::to_string(v.first) + " times, first: " + v.second + "\n";
        return s;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, std::pair<uint64_t, std::string>> kinds_;
};

// A block of read/write registers that one thread owns. A value is known
// once a write of it succeeded; a failed write may or may not have reached
// the camera, so it leaves its registers unknown until the next write.
class RegisterBlock {
  public:
    RegisterBlock(uint8_t target, uint32_t first, uint32_t count)
        : target_(target), first_(first), known_(count) {}

    // One random write or read-back of a run of the block. Returns false when
    // the call failed; a read-back with another value sets *mismatch.
    bool step(kavri_dev_t *dev, std::mt19937 &rng, std::string *mismatch) {
        const auto size = static_cast<uint32_t>(known_.size());
        const uint32_t at = rng() % size;
        const auto count = static_cast<uint16_t>(1 + rng() % (size - at));
        std::vector<uint32_t> v(count);
        if (rng() % 2 == 0) {
            for (uint32_t &x : v) x = rng();
            const bool ok = kavri_reg_batch_write(dev, target_, first_ + at, v.data(), count) == 1;
            for (uint16_t i = 0; i < count; ++i)
                known_[at + i] = ok ? std::optional(v[i]) : std::nullopt;
            return ok;
        }
        if (kavri_reg_batch_read(dev, target_, first_ + at, v.data(), count) != 1) return false;
        for (uint16_t i = 0; i < count; ++i)
            if (known_[at + i] && v[i] != *known_[at + i]) {
                *mismatch = "register " + std::to_string(target_) + "/" +
                            std::to_string(first_ + at + i) + " read " + std::to_string(v[i]) +
                            ", wrote " + std::to_string(*known_[at + i]);
                break;
            }
        return true;
    }

  private:
    uint8_t target_;
    uint32_t first_;
    std::vector<std::optional<uint32_t>> known_;
};

}  // namespace kavri_stress
