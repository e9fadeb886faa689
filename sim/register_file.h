// The camera's register spaces, selected by the target byte of a register
// request: 0 system information (read-only), 1 the sensor (256 registers),
// 2 the illumination board.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace camsim {

namespace reg_target {
constexpr uint8_t kSystem = 0;
constexpr uint8_t kSensor = 1;
constexpr uint8_t kIllumination = 2;
}  // namespace reg_target

class RegisterFile {
  public:
    RegisterFile() { reset_defaults(0); }
    void reset_defaults(uint32_t serial);
    void reset_target(uint8_t target);

    // "" when the access is allowed, else the camera's error text.
    std::string check(uint8_t target, uint32_t first, uint32_t count, bool write) const;
    uint32_t get(uint8_t target, uint32_t addr) const;
    void set(uint8_t target, uint32_t addr, uint32_t value);
    bool exists(uint8_t target, uint32_t addr) const;

  private:
    struct Space {
        std::vector<uint32_t> regs;
        std::vector<uint32_t> defaults;
        bool writable = true;
    };
    std::map<uint8_t, Space> spaces_;
};

}  // namespace camsim
