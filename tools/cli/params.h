// The camera's parameters by name and type, so users can write
// `param get fps` and read values as numbers rather than bytes.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavri::cli {

enum class ParamType { U8, U16, U32, Text, Versions, Bytes };

struct ParamSpec {
    uint32_t id;
    const char *name;
    ParamType type;
    const char *meaning;
};

const std::vector<ParamSpec> &param_table();

// A name from the table or a number (decimal or 0x...); throws CliError.
ParamSpec find_param(const std::string &name_or_id);

// Fills item's value from text by the parameter's type; throws CliError.
void encode_param(const ParamSpec &spec, const std::string &text, kavri_param_item_t &item);
// The value as the parameter's type reads.
std::string format_param(const ParamSpec &spec, const kavri_param_item_t &item);

// Bytes as lowercase hex pairs joined by ':' ("0a:ff"), as the CLI prints
// raw values.
std::string hex_bytes(const uint8_t *p, size_t n);

// Little-endian reads of an item's value bytes.
uint32_t item_u32(const kavri_param_item_t &item, size_t offset = 0);
uint16_t item_u16(const kavri_param_item_t &item, size_t offset = 0);

// Reads one parameter from an open camera; throws CliError on failure.
kavri_param_item_t get_param(kavri_dev_t *dev, uint32_t id);

// Parses an unsigned number (decimal or 0x...) no larger than max; throws CliError.
uint64_t parse_number(const std::string &text, uint64_t max, const std::string &what);

}  // namespace kavri::cli
