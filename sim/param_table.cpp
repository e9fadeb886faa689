#include "param_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace camsim {
namespace {

constexpr uint32_t kDefaultModFreqHz = 12000000;
constexpr uint32_t kMaxModFreqHz = 100000000;
constexpr uint32_t kMaxFps = 120;
constexpr uint16_t kDefaultIntgTime = 400;
constexpr uint16_t kVersionHw = 0x0102, kVersionSw = 0x0150, kVersionBt = 0x0003,
                   kVersionFourth = 0x0000;
constexpr size_t kUidBytes = 12;

std::span<const uint8_t> text_bytes(const std::string &s) {
    return {reinterpret_cast<const uint8_t *>(s.data()), std::min(s.size(), kParamValueBytes)};
}

}  // namespace

void ParamTable::define(uint8_t id, std::span<const uint8_t> value, bool writable) {
    ParamValue v;
    v.len = static_cast<uint8_t>(std::min(value.size(), kParamValueBytes));
    std::copy_n(value.begin(), v.len, v.bytes.begin());
    v.writable = writable;
    values_[id] = v;
}

void ParamTable::reset_defaults(const CameraIdentity &id) {
    values_.clear();
    uint8_t b[kParamValueBytes] = {};

    define(param_id::kMode, std::span(b, 1), true);
    wire::put_u32(b, kDefaultModFreqHz);
    define(param_id::kModFreq, std::span(b, 4), true);

    char text[32];
    std::snprintf(text, sizeof text, "KV-SIM-%06u", id.serial % 1000000u);
    define(param_id::kIdent, text_bytes(text), false);
    std::snprintf(text, sizeof text, "KV320-%s-SIM", id.chip_code.c_str());
    define(param_id::kProduct, text_bytes(text), false);

    // Identity bytes: a fixed prefix and the serial, so every camera differs
    // in the first four bytes too.
    uint8_t uid[kUidBytes] = {};
    wire::put_u32(uid, 0x4b560000u ^ (id.serial * 2654435761u));
    wire::put_u32(uid + 4, id.serial);
    wire::put_u32(uid + 8, 0x5349u);
    define(param_id::kUid, std::span(uid, kUidBytes), false);

    std::fill(std::begin(b), std::end(b), 0);
    wire::put_u16(b, kVersionHw);
    wire::put_u16(b + 2, kVersionSw);
    wire::put_u16(b + 4, kVersionBt);
    wire::put_u16(b + 6, kVersionFourth);
    define(param_id::kVersion, std::span(b, 8), false);

    // Chip information: family byte, revision byte, 32-bit chip id.
    std::fill(std::begin(b), std::end(b), 0);
    b[0] = static_cast<uint8_t>(id.chip_code.empty() ? 0 : id.chip_code[0]);
    b[1] = static_cast<uint8_t>(id.chip_code.size() > 1 ? id.chip_code[1] : 0);
    wire::put_u32(b + 2, 0x00c10000u | (id.serial & 0xffffu));
    define(param_id::kChipInfo, std::span(b, 6), false);

    // Calibration information: no package stored (valid byte 0).
    std::fill(std::begin(b), std::end(b), 0);
    define(param_id::kCalibInfo, std::span(b, kParamValueBytes), false);

    wire::put_u32(b, id.fps);
    define(param_id::kFrameRate, std::span(b, 4), true);
    std::fill(std::begin(b), std::end(b), 0);
    wire::put_u16(b, kDefaultIntgTime);
    define(param_id::kIntgTime, std::span(b, 2), true);
    std::fill(std::begin(b), std::end(b), 0);
    define(param_id::kIntgTime2, std::span(b, 2), true);
    define(param_id::kResync, std::span(b, 3), true);
}

const ParamValue *ParamTable::find(uint8_t id) const {
    auto it = values_.find(id);
    return it == values_.end() ? nullptr : &it->second;
}

std::string ParamTable::check_host_write(uint8_t id, std::span<const uint8_t> value) const {
    char msg[64];
    const ParamValue *p = find(id);
    if (!p) {
        std::snprintf(msg, sizeof msg, "unknown parameter id %u", id);
        return msg;
    }
    if (!p->writable) {
        std::snprintf(msg, sizeof msg, "parameter %u is read-only", id);
        return msg;
    }
    if (value.size() < p->len) {
        std::snprintf(msg, sizeof msg, "parameter %u needs %u bytes, got %zu", id, p->len,
                      value.size());
        return msg;
    }
    if (id == param_id::kModFreq) {
        uint32_t f = wire::get_u32(value.data());
        if (f == 0 || f > kMaxModFreqHz) {
            std::snprintf(msg, sizeof msg, "modulation frequency %u Hz not supported", f);
            return msg;
        }
    }
    if (id == param_id::kFrameRate) {
        uint32_t fps = wire::get_u32(value.data());
        if (fps == 0 || fps > kMaxFps) {
            std::snprintf(msg, sizeof msg, "frame rate %u not supported", fps);
            return msg;
        }
    }
    return "";
}

void ParamTable::store(uint8_t id, std::span<const uint8_t> value) {
    auto it = values_.find(id);
    if (it == values_.end()) return;
    size_t n = std::min<size_t>(it->second.len, value.size());
    std::copy_n(value.begin(), n, it->second.bytes.begin());
}

void ParamTable::store_raw(uint8_t id, std::span<const uint8_t> value) {
    auto it = values_.find(id);
    bool writable = it == values_.end() ? true : it->second.writable;
    define(id, value, writable);
}

uint32_t ParamTable::u32(uint8_t id) const {
    const ParamValue *p = find(id);
    return p ? wire::get_u32(p->bytes.data()) : 0;
}

uint16_t ParamTable::u16(uint8_t id) const {
    const ParamValue *p = find(id);
    return p ? wire::get_u16(p->bytes.data()) : 0;
}

}  // namespace camsim
