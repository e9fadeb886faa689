// The camera's parameters: ids, value lengths, which ones the host may
// write, and the checks on written values.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace camsim {

constexpr size_t kParamValueBytes = 18;  // value bytes of one 20-byte item

namespace param_id {
constexpr uint8_t kMode = 0;
constexpr uint8_t kModFreq = 1;
constexpr uint8_t kIdent = 2;
constexpr uint8_t kProduct = 3;
constexpr uint8_t kUid = 5;
constexpr uint8_t kVersion = 6;
constexpr uint8_t kChipInfo = 7;
constexpr uint8_t kCalibInfo = 8;
constexpr uint8_t kFrameRate = 12;
constexpr uint8_t kIntgTime = 13;
constexpr uint8_t kIntgTime2 = 16;
constexpr uint8_t kResync = 17;
}  // namespace param_id

struct ParamValue {
    uint8_t len = 0;
    std::array<uint8_t, kParamValueBytes> bytes{};
    bool writable = false;
};

// What the camera was built with: what its read-only parameters report.
struct CameraIdentity {
    std::string chip_code = "E2";
    uint32_t serial = 1;
    uint32_t fps = 30;
};

class ParamTable {
  public:
    void reset_defaults(const CameraIdentity &id);

    bool known(uint8_t id) const { return values_.count(id) != 0; }
    const ParamValue *find(uint8_t id) const;

    // A write from the host: returns "" or the camera's error text.
    std::string check_host_write(uint8_t id, std::span<const uint8_t> value) const;
    // Stores value bytes (beyond the parameter's length are ignored).
    void store(uint8_t id, std::span<const uint8_t> value);
    // Stores bypassing every check (the test interface); adds unknown ids.
    void store_raw(uint8_t id, std::span<const uint8_t> value);

    uint32_t u32(uint8_t id) const;
    uint16_t u16(uint8_t id) const;

  private:
    void define(uint8_t id, std::span<const uint8_t> value, bool writable);
    std::map<uint8_t, ParamValue> values_;
};

}  // namespace camsim
