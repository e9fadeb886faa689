// The data-transfer records as they travel in the commands of type 0xCC and
// in the bulk data blocks (packed, multi-byte fields little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/le.h"
#include "kavri/data.h"

namespace kavri::data {

constexpr uint32_t kInfoTimeoutMs = 1000;
constexpr uint32_t kStartTimeoutMs = 10000;
constexpr uint32_t kAckTimeoutMs = 50000;
constexpr uint32_t kKind4TimeoutMs = 1000;
constexpr uint32_t kEraseTimeoutMs = 20000;
constexpr uint32_t kPayloadTimeoutMs = 1000;
constexpr uint8_t kCmdRead = 0, kCmdWrite = 1;
constexpr size_t kPayloadLenOffset = 4;  // u32 in the payload request

// The upload's payload request: asks for len bytes (1..450) and reads them
// into buf (size bytes, at least max(12, len)) from offset 0. False, after
// its log line, when the request is refused or does not fit buf.
bool fetch_payload(kavri_ll_t *ll, uint8_t *buf, size_t size, uint16_t len);

// Data info (request and reply of action 0).
struct DataInfo {
    uint8_t type = 0;
    uint16_t version = 0;
    uint32_t size = 0;
    uint32_t addr = 0;
};

inline DataInfo decode_info(const uint8_t (&b)[KAVRI_DATA_INFO_SIZE]) {
    return DataInfo{b[0], le::get_u16(b + 2), le::get_u32(b + 4), le::get_u32(b + 8)};
}

inline void encode_start(uint8_t (&b)[KAVRI_DATA_START_SIZE], uint8_t type, uint16_t version,
                         uint32_t size) {
    b[0] = type;
    b[1] = 0;
    le::put_u16(b + 2, version);
    le::put_u32(b + 4, size);
    le::put_u32(b + 8, 0);
}

inline void encode_erase(uint8_t (&b)[KAVRI_DATA_ERASE_SIZE], uint8_t type, uint32_t size) {
    b[0] = type;
    le::put_u32(b + 1, size);
    le::put_u32(b + 5, KAVRI_DATA_BLOCK_SIZE);
    le::put_u32(b + 9, 0);
}

// Acknowledgement (reply of action 4).
struct Ack {
    uint32_t next = 0;  // block the camera expects next
    uint8_t status = 0;
};

inline Ack decode_ack(const uint8_t (&b)[KAVRI_DATA_ACK_SIZE]) {
    return Ack{le::get_u32(b), b[4]};
}

// Data block header: CRC of the data, then the data length n; the n data
// bytes follow it.
inline void encode_block_header(uint8_t (&b)[KAVRI_DATA_BLOCK_HEADER_SIZE], uint16_t crc,
                                uint32_t n) {
    le::put_u16(b, crc);
    le::put_u32(b + 2, n);
}

}  // namespace kavri::data
