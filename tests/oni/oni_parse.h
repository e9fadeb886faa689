// Reads an ONI file back record by record for the tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/le.h"

namespace oni_test {

constexpr size_t kFileHeaderSize = 24;
constexpr size_t kRecordHeaderSize = 28;

struct Record {
    size_t offset = 0;
    uint32_t magic = 0;
    uint32_t type = 0;
    uint32_t node_id = 0;
    uint32_t fields_size = 0;
    uint32_t payload_size = 0;
    uint64_t undo = 0;
    std::vector<uint8_t> fields;  // after the 28-byte header
    std::vector<uint8_t> payload;

    uint32_t u32(size_t at) const { return kavri::le::get_u32(fields.data() + at); }
    uint64_t u64(size_t at) const { return kavri::le::get_u64(fields.data() + at); }
    // A string field at `at`: count, characters, zero.
    std::string str(size_t at) const {
        const uint32_t n = u32(at);
        return n == 0 ? std::string()
                      : std::string(fields.begin() + at + 4, fields.begin() + at + 3 + n);
    }
    size_t str_end(size_t at) const { return at + 4 + u32(at); }
    size_t end() const { return offset + fields_size + payload_size; }
};

struct File {
    std::vector<uint8_t> bytes;
    std::vector<Record> records;
    bool well_formed = false;  // every record parsed up to the end record

    const Record *at_offset(uint64_t offset) const {
        for (const auto &r : records)
            if (r.offset == offset) return &r;
        return nullptr;
    }
    std::vector<const Record *> of_type(uint32_t type, uint32_t node_id = 0) const {
        std::vector<const Record *> out;
        for (const auto &r : records)
            if (r.type == type && (node_id == 0 || r.node_id == node_id)) out.push_back(&r);
        return out;
    }
};

inline std::vector<uint8_t> read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline File parse(const std::string &path) {
    File f;
    f.bytes = read_bytes(path);
    size_t pos = kFileHeaderSize;
    while (pos + kRecordHeaderSize <= f.bytes.size()) {
        const uint8_t *p = f.bytes.data() + pos;
        Record r;
        r.offset = pos;
        r.magic = kavri::le::get_u32(p);
        r.type = kavri::le::get_u32(p + 4);
        r.node_id = kavri::le::get_u32(p + 8);
        r.fields_size = kavri::le::get_u32(p + 12);
        r.payload_size = kavri::le::get_u32(p + 16);
        r.undo = kavri::le::get_u64(p + 20);
        if (r.magic != 0x0052494E || r.fields_size < kRecordHeaderSize || r.end() > f.bytes.size())
            return f;
        r.fields.assign(p + kRecordHeaderSize, p + r.fields_size);
        r.payload.assign(p + r.fields_size, p + r.fields_size + r.payload_size);
        pos = r.end();
        f.records.push_back(std::move(r));
        if (f.records.back().type == 11) {
            f.well_formed = pos == f.bytes.size();
            return f;
        }
    }
    return f;
}

}  // namespace oni_test
