#include "cli/params.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_error.h"

namespace kavri::cli {
namespace {

constexpr size_t kVersionWords = 4;

void put_le(kavri_param_item_t &item, uint64_t v, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) item.param_val[i] = static_cast<uint8_t>(v >> (8 * i));
    item.param_val_len = static_cast<uint8_t>(bytes);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string hex_bytes(const uint8_t *p, size_t n) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? ":%02x" : "%02x", p[i]);
        out += buf;
    }
    return out;
}

const std::vector<ParamSpec> &param_table() {
    static const std::vector<ParamSpec> table = {
        {KAVRI_PARAM_MODE, "mode", ParamType::U8, "0 normal, 9 calibration upload"},
        {KAVRI_PARAM_MOD_FREQ, "mod_freq", ParamType::U32, "modulation frequency, Hz"},
        {KAVRI_PARAM_IDENT, "ident", ParamType::Text, "identification (read-only)"},
        {KAVRI_PARAM_PRODUCT, "product", ParamType::Text, "product <model>-<chip>-<variant>"},
        {KAVRI_PARAM_UID, "uid", ParamType::Bytes, "identity bytes (read-only)"},
        {KAVRI_PARAM_VERSION, "version", ParamType::Versions, "HW, SW, BT, fourth (read-only)"},
        {KAVRI_PARAM_CHIP_INFO, "chip_info", ParamType::Bytes, "chip information (read-only)"},
        {KAVRI_PARAM_INFO_CALIB, "calib_info", ParamType::Bytes, "calibration package header"},
        {KAVRI_PARAM_FPS, "fps", ParamType::U32, "frames per second"},
        {KAVRI_PARAM_INTG_TIME, "intg_time", ParamType::U16, "integration time"},
        {KAVRI_PARAM_INTG_TIME2, "intg_time2", ParamType::U16, "second integration time, 0 off"},
        {KAVRI_PARAM_RESYNC, "resync", ParamType::Bytes, "resynchronisation: flag, u16 value"},
    };
    return table;
}

uint64_t parse_number(const std::string &text, uint64_t max, const std::string &what) {
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s, &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno == ERANGE || v > max)
        throw CliError(kExitUsage,
                       what + " '" + text + "' is not a number from 0 to " + std::to_string(max),
                       "write it in decimal or as 0x...");
    return v;
}

ParamSpec find_param(const std::string &name_or_id) {
    for (const ParamSpec &p : param_table())
        if (name_or_id == p.name) return p;
    if (!name_or_id.empty() && (name_or_id[0] >= '0' && name_or_id[0] <= '9')) {
        const auto id = static_cast<uint32_t>(parse_number(name_or_id, 255, "parameter id"));
        for (const ParamSpec &p : param_table())
            if (p.id == id) return p;
        return {id, "", ParamType::Bytes, "unnamed parameter"};
    }
    std::string names;
    for (const ParamSpec &p : param_table())
        names += std::string(names.empty() ? "" : ", ") + p.name;
    throw CliError(kExitUsage, "unknown parameter '" + name_or_id + "'",
                   "use a number or one of: " + names);
}

void encode_param(const ParamSpec &spec, const std::string &text, kavri_param_item_t &item) {
    item = kavri_param_item_t{};
    item.param_id = spec.id;
    switch (spec.type) {
        case ParamType::U8:
            put_le(item, parse_number(text, UINT8_MAX, spec.name), 1);
            return;
        case ParamType::U16:
            put_le(item, parse_number(text, UINT16_MAX, spec.name), 2);
            return;
        case ParamType::U32:
            put_le(item, parse_number(text, UINT32_MAX, spec.name), 4);
            return;
        case ParamType::Text:
            if (text.size() > KAVRI_PARAM_WIRE_VAL_SIZE)
                throw CliError(kExitUsage, "text longer than 18 characters", "shorten it");
            std::memcpy(item.param_val, text.data(), text.size());
            item.param_val_len = static_cast<uint8_t>(text.size());
            return;
        case ParamType::Versions:
        case ParamType::Bytes: {
            // Hex bytes, optionally separated by ':' or spaces: "01:90:01" or "019001".
            size_t n = 0;
            int high = -1;
            for (char c : text) {
                if (c == ':' || c == ' ' || c == ',') continue;
                const int d = hex_digit(c);
                if (d < 0 || n >= KAVRI_PARAM_WIRE_VAL_SIZE)
                    throw CliError(kExitUsage, "'" + text + "' is not up to 18 hex bytes",
                                   "write bytes as hex, e.g. 01:90:01");
                if (high < 0) {
                    high = d;
                } else {
                    item.param_val[n++] = static_cast<uint8_t>(high << 4 | d);
                    high = -1;
                }
            }
            if (high >= 0 || n == 0)
                throw CliError(kExitUsage, "'" + text + "' is not whole hex bytes",
                               "write two hex digits per byte, e.g. 01:90:01");
            item.param_val_len = static_cast<uint8_t>(n);
            return;
        }
    }
}

uint32_t item_u32(const kavri_param_item_t &item, size_t offset) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && offset + i < KAVRI_PARAM_VAL_SIZE; ++i)
        v |= static_cast<uint32_t>(item.param_val[offset + i]) << (8 * i);
    return v;
}

uint16_t item_u16(const kavri_param_item_t &item, size_t offset) {
    return static_cast<uint16_t>(item.param_val[offset] | item.param_val[offset + 1] << 8);
}

std::string format_param(const ParamSpec &spec, const kavri_param_item_t &item) {
    const size_t len = item.param_val_len < KAVRI_PARAM_WIRE_VAL_SIZE ? item.param_val_len
                                                                      : KAVRI_PARAM_WIRE_VAL_SIZE;
    switch (spec.type) {
        case ParamType::U8:
            return std::to_string(item.param_val[0]);
        case ParamType::U16:
            return std::to_string(item_u16(item));
        case ParamType::U32:
            return std::to_string(item_u32(item));
        case ParamType::Text: {
            const char *p = reinterpret_cast<const char *>(item.param_val);
            return std::string(p, strnlen(p, len));
        }
        case ParamType::Versions: {
            std::string out;
            char buf[16];
            for (size_t i = 0; i < kVersionWords && 2 * i + 1 < len; ++i) {
                std::snprintf(buf, sizeof buf, i ? " 0x%04x" : "0x%04x", item_u16(item, 2 * i));
                out += buf;
            }
            return out;
        }
        case ParamType::Bytes:
            return hex_bytes(item.param_val, len);
    }
    return {};
}

kavri_param_item_t get_param(kavri_dev_t *dev, uint32_t id) {
    kavri_param_item_t item{};
    item.param_id = id;
    if (kavri_param_batch_get(dev, &item, 1) != 1)
        throw CliError(kExitFailure, "the camera did not answer parameter " + std::to_string(id),
                       "the camera may not know that parameter; see the log for its reply");
    return item;
}

}  // namespace kavri::cli
