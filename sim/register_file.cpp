#include "register_file.h"

#include <cstdio>

namespace camsim {
namespace {

constexpr uint32_t kSensorRegisters = 256;
constexpr uint32_t kIlluminationRegisters = 32;
constexpr uint32_t kSystemRegisters = 8;
// Sensor power-on values: a recognisable pattern, so a test sees whether a
// register was written.
uint32_t sensor_default(uint32_t addr) {
    return 0x00010000u | (addr * 0x0101u & 0xffffu);
}

}  // namespace

void RegisterFile::reset_defaults(uint32_t serial) {
    spaces_.clear();
    Space sensor;
    for (uint32_t a = 0; a < kSensorRegisters; ++a) sensor.defaults.push_back(sensor_default(a));
    spaces_[reg_target::kSensor] = sensor;

    Space illum;
    illum.defaults.assign(kIlluminationRegisters, 0);
    spaces_[reg_target::kIllumination] = illum;

    Space sys;
    sys.defaults = {0x4b560001u, serial, 0x0102u, 0x0150u, 0x0003u, 0, 0, 0};
    sys.defaults.resize(kSystemRegisters);
    sys.writable = false;
    spaces_[reg_target::kSystem] = sys;

    for (auto &[t, s] : spaces_) s.regs = s.defaults;
}

void RegisterFile::reset_target(uint8_t target) {
    auto it = spaces_.find(target);
    if (it != spaces_.end()) it->second.regs = it->second.defaults;
}

std::string RegisterFile::check(uint8_t target, uint32_t first, uint32_t count, bool write) const {
    char msg[64];
    auto it = spaces_.find(target);
    if (it == spaces_.end()) {
        std::snprintf(msg, sizeof msg, "unknown register target %u", target);
        return msg;
    }
    const auto size = static_cast<uint64_t>(it->second.regs.size());
    if (uint64_t{first} + count > size) {
        std::snprintf(msg, sizeof msg, "register %u+%u out of range (target %u has %u)", first,
                      count, target, static_cast<unsigned>(size));
        return msg;
    }
    if (write && !it->second.writable) {
        std::snprintf(msg, sizeof msg, "register target %u is read-only", target);
        return msg;
    }
    return "";
}

bool RegisterFile::exists(uint8_t target, uint32_t addr) const {
    auto it = spaces_.find(target);
    return it != spaces_.end() && addr < it->second.regs.size();
}

uint32_t RegisterFile::get(uint8_t target, uint32_t addr) const {
    return exists(target, addr) ? spaces_.at(target).regs[addr] : 0;
}

void RegisterFile::set(uint8_t target, uint32_t addr, uint32_t value) {
    if (exists(target, addr)) spaces_.at(target).regs[addr] = value;
}

}  // namespace camsim
