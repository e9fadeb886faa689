// The library's time stamps: the monotonic clock in nanoseconds, the clock
// frame arrival times and recordings use (CLOCK_MONOTONIC on Linux, the
// clock an application reads with clock_gettime).
#pragma once

#include <chrono>
#include <cstdint>

namespace kavri::core {

inline uint64_t monotonic_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

}  // namespace kavri::core

namespace kavri::core {

// The arrival time of the stream transfer a transport is delivering on this
// thread, when it knows it better than the clock does (a replay: the
// recorded time since the recording's first moment); 0: read the clock.
inline thread_local uint64_t t_transfer_arrival_ns = 0;

// Sets the arrival time for the deliveries made in its scope.
class TransferArrival {
  public:
    explicit TransferArrival(uint64_t t_ns) { t_transfer_arrival_ns = t_ns; }
    ~TransferArrival() { t_transfer_arrival_ns = 0; }
    TransferArrival(const TransferArrival &) = delete;
    TransferArrival &operator=(const TransferArrival &) = delete;
};

inline uint64_t transfer_arrival_ns() {
    return t_transfer_arrival_ns != 0 ? t_transfer_arrival_ns : monotonic_ns();
}

}  // namespace kavri::core
