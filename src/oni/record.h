// Building ONI records in the file's record buffer and writing them out.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "kavri/oni.h"

namespace kavri::oni {

enum class RecordType : uint32_t {
    IntProperty = 3,
    RealProperty = 4,
    GeneralProperty = 6,
    NodeRemoved = 7,
    NodeDataBegin = 8,
    NodeStateReady = 9,
    NewData = 10,
    End = 11,
    NodeAdded = 13,
    SeekTable = 14,
};

constexpr uint32_t kRecordMagic = 0x0052494E;  // 'N', 'I', 'R', 0
constexpr uint32_t kRecordHeaderSize = 28;
constexpr uint32_t kFieldsSizeOffset = 12;
constexpr uint32_t kPayloadSizeOffset = 16;
constexpr size_t kMaxNameLength = 255;

// Starts a record at the beginning of the record buffer; the fields follow.
// The record buffer must exist (capacity > 0).
void begin_record(oni_file_t &file, RecordType type, uint32_t node_id, uint64_t undo_pos);

void put_u32(oni_file_t &file, uint32_t value);
void put_u64(oni_file_t &file, uint64_t value);
void put_bytes(oni_file_t &file, std::span<const uint8_t> bytes);
// A 32-bit byte count, the characters (at most kMaxNameLength) and a zero.
void put_string(oni_file_t &file, std::string_view text);

// Marks the end of the fields: what is put afterwards is payload.
void end_fields(oni_file_t &file);

// Free bytes left in the record buffer after the cursor.
uint32_t room_left(const oni_file_t &file);

// Writes the record built so far (fields and any payload put after
// end_fields) with one write call. On failure logs under `caller`, puts the
// file position back to the record's start and returns false. `start` is the
// current file position when the caller already knows it, -1 otherwise.
bool write_record(oni_file_t &file, const char *caller, int64_t start = -1);

// Writes the record with `payload` after its fields: copied behind the fields
// and written with one call when it fits the buffer, otherwise the head is
// written first and the payload straight from the caller's memory.
bool write_record_with_payload(oni_file_t &file, std::span<const uint8_t> payload,
                               const char *caller, int64_t start = -1);

// Current file position, -1 when it cannot be told.
int64_t file_position(const oni_file_t &file);
bool seek_to(const oni_file_t &file, int64_t pos, const char *caller);

}  // namespace kavri::oni
