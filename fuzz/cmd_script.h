// The little language of the command-reply fuzz target: one op byte, then
// its operands. The simulated camera answers with what the script sets up
// (stored parameter bytes, busy, refused, short or mismatched status
// replies, a control transfer that never completes); the host then runs the
// command whose reply it must survive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvfuzz::cmd {

enum Op : uint8_t {
    kParamGet = 1,    // id: one parameter read
    kParamSet = 2,    // id, value byte: one parameter write
    kRegRead = 3,     // target, count
    kRegWrite = 4,    // target, count
    kFault = 5,       // kind, count (arg: the next byte for short replies)
    kSetParam = 6,    // id, len, len bytes: the camera's stored value, any length
    kRawCmd = 7,      // dir, type, value, len: a command of any type and reply length
    kParamBatch = 8,  // count: that many parameter reads in one call
    kOpCount = 9
};

// Fault kinds the script can choose, mapped onto the simulator's faults.
enum FaultKind : uint8_t {
    kFaultBusy = 0,
    kFaultFail = 1,
    kFaultMismatch = 2,
    kFaultShort = 3,
    kFaultHang = 4,
    kFaultKinds = 5
};

// Reads the script front to back; past its end every read gives zeros.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    size_t remaining_bytes() const { return n_ - at_; }
    uint8_t u8() { return at_ < n_ ? p_[at_++] : 0; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    std::vector<uint8_t> bytes(size_t n) {
        n = std::min(n, remaining_bytes());
        std::vector<uint8_t> b(p_ + at_, p_ + at_ + n);
        at_ += n;
        return b;
    }
    // Text up to a zero byte or max characters.
    std::string text(size_t max) {
        std::string s;
        while (s.size() < max && at_ < n_ && p_[at_] != 0)
            s.push_back(static_cast<char>(p_[at_++]));
        if (at_ < n_ && p_[at_] == 0) ++at_;
        return s;
    }

  private:
    const uint8_t *p_;
    size_t n_;
    size_t at_ = 0;
};

}  // namespace kvfuzz::cmd
