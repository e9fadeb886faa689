// Records are built in one buffer owned by the file object and written out
// whole, so the common record costs a single write call.
#include "oni/record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/le.h"
#include "core/log_internal.h"

namespace kavri::oni {

namespace {

// A put that would run past the buffer is dropped and poisons the record (the
// cursor jumps to the end), so a broken record is never written.
bool reserve(oni_file_t &file, size_t n) {
    if (file.record_buf == nullptr) return false;
    if (n > file.record_capacity - file.record_cursor) {
        file.record_cursor = file.record_capacity;
        return false;
    }
    return true;
}

uint32_t fields_size(const oni_file_t &file) {
    return le::get_u32(file.record_buf + kFieldsSizeOffset);
}

// Writes every piece in turn at the current position; on a short write puts
// the position back where the record started so later records replace it.
bool write_pieces(oni_file_t &file, std::initializer_list<std::span<const uint8_t>> pieces,
                  const char *caller, int64_t start) {
    if (file.fp == nullptr) return false;
    if (start < 0) start = file_position(file);
    for (auto piece : pieces) {
        if (piece.empty()) continue;
        if (fwrite(piece.data(), 1, piece.size(), file.fp) != piece.size()) {
            KV_ERR("[%s] record write failed at %lld: %s\r\n", caller,
                   static_cast<long long>(start), strerror(errno));
            if (start >= 0) {
                clearerr(file.fp);
                fseeko(file.fp, start, SEEK_SET);
            }
            return false;
        }
    }
    return true;
}

}  // namespace

void begin_record(oni_file_t &file, RecordType type, uint32_t node_id, uint64_t undo_pos) {
    file.record_cursor = 0;
    if (!reserve(file, kRecordHeaderSize)) return;
    uint8_t *p = file.record_buf;
    le::put_u32(p + 0, kRecordMagic);
    le::put_u32(p + 4, static_cast<uint32_t>(type));
    le::put_u32(p + 8, node_id);
    le::put_u32(p + kFieldsSizeOffset, kRecordHeaderSize);
    le::put_u32(p + kPayloadSizeOffset, 0);
    le::put_u64(p + 20, undo_pos);
    file.record_cursor = kRecordHeaderSize;
}

void put_u32(oni_file_t &file, uint32_t value) {
    if (!reserve(file, 4)) return;
    le::put_u32(file.record_buf + file.record_cursor, value);
    file.record_cursor += 4;
}

void put_u64(oni_file_t &file, uint64_t value) {
    if (!reserve(file, 8)) return;
    le::put_u64(file.record_buf + file.record_cursor, value);
    file.record_cursor += 8;
}

void put_bytes(oni_file_t &file, std::span<const uint8_t> bytes) {
    if (bytes.empty() || !reserve(file, bytes.size())) return;
    memcpy(file.record_buf + file.record_cursor, bytes.data(), bytes.size());
    file.record_cursor += static_cast<uint32_t>(bytes.size());
}

void put_string(oni_file_t &file, std::string_view text) {
    if (text.size() > kMaxNameLength) text = text.substr(0, kMaxNameLength);
    const auto count = static_cast<uint32_t>(text.size() + 1);
    if (!reserve(file, 4 + count)) return;
    put_u32(file, count);
    put_bytes(file, {reinterpret_cast<const uint8_t *>(text.data()), text.size()});
    file.record_buf[file.record_cursor++] = 0;
}

void end_fields(oni_file_t &file) {
    if (file.record_buf == nullptr || file.record_cursor < kRecordHeaderSize) return;
    le::put_u32(file.record_buf + kFieldsSizeOffset, file.record_cursor);
}

uint32_t room_left(const oni_file_t &file) {
    if (file.record_buf == nullptr) return 0;
    return file.record_capacity - file.record_cursor;
}

bool write_record(oni_file_t &file, const char *caller, int64_t start) {
    if (file.record_buf == nullptr || file.record_cursor < kRecordHeaderSize ||
        file.record_cursor >= file.record_capacity) {
        KV_ERR("[%s] record does not fit the record buffer\r\n", caller);
        return false;
    }
    const uint32_t fields = fields_size(file);
    le::put_u32(file.record_buf + kPayloadSizeOffset, file.record_cursor - fields);
    return write_pieces(file, {{file.record_buf, file.record_cursor}}, caller, start);
}

bool write_record_with_payload(oni_file_t &file, std::span<const uint8_t> payload,
                               const char *caller, int64_t start) {
    if (file.record_buf == nullptr || file.record_cursor < kRecordHeaderSize ||
        file.record_cursor >= file.record_capacity) {
        KV_ERR("[%s] record does not fit the record buffer\r\n", caller);
        return false;
    }
    if (payload.size() > UINT32_MAX - file.record_cursor) {
        KV_ERR("[%s] payload of %zu bytes is too large for one record\r\n", caller, payload.size());
        return false;
    }
    const uint32_t head = file.record_cursor;
    le::put_u32(file.record_buf + kPayloadSizeOffset, static_cast<uint32_t>(payload.size()));
    if (payload.size() <= room_left(file)) {
        put_bytes(file, payload);
        return write_pieces(file, {{file.record_buf, file.record_cursor}}, caller, start);
    }
    return write_pieces(file, {{file.record_buf, head}, payload}, caller, start);
}

int64_t file_position(const oni_file_t &file) {
    if (file.fp == nullptr) return -1;
    return static_cast<int64_t>(ftello(file.fp));
}

bool seek_to(const oni_file_t &file, int64_t pos, const char *caller) {
    if (file.fp == nullptr || pos < 0 || fseeko(file.fp, pos, SEEK_SET) != 0) {
        KV_ERR("[%s] cannot move to file position %lld\r\n", caller, static_cast<long long>(pos));
        return false;
    }
    return true;
}

}  // namespace kavri::oni
