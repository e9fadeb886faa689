// Field access to the parameter file header and the calibration block's
// driver header, for the reader and for the calibration loader.
#pragma once

#include <bit>
#include <cstdint>

#include "core/le.h"
#include "kavri/param.h"

namespace kavri::param {

constexpr uint32_t kMaxBlksSize = 0x10240000;  // largest block area accepted
constexpr size_t kHdrCksumBegin = 20;
constexpr size_t kHdrCksumEnd = 1188;  // one past the last byte checked
constexpr size_t kLensNameSize = 64;
constexpr double kLensCenterMin = 16.0;
constexpr double kLensCenterMax = 1024.0;

// Legacy blocks: a 42-byte block header whose bytes 1..37 are the driver
// header; the payload length sits at byte 22 of the block header.
constexpr size_t kLegacyBlkHdrSize = 42;
constexpr size_t kLegacyPayloadSizeOff = 22;
constexpr uint32_t kLegacyDataLead = 41;  // block data starts at byte 1 of the header

// Driver header at the start of a calibration block's data.
constexpr size_t kDrvHdrSize = 37;
namespace drv_hdr {
constexpr size_t kFreq = 0;          // u32 Hz
constexpr size_t kBoxLenCm = 8;      // f32
constexpr size_t kCbTemp = 16;       // s16, 0.1 degC
constexpr size_t kIbTemp = 18;       // s16, 0.1 degC
constexpr size_t kPlanes = 20;       // u8
constexpr size_t kPayloadSize = 21;  // u32, legacy files only
constexpr size_t kWidth = 25;        // s32, 0 means 320
constexpr size_t kHeight = 29;       // s32, 0 means 240
constexpr size_t kValueScale = 33;   // s32, 0 means 30000
}  // namespace drv_hdr

inline uint8_t hdr_version(const uint8_t *hdr) {
    return hdr[KAVRI_PARAM_HDR_OFF_VERSION];
}
inline bool hdr_is_current(const uint8_t *hdr) {
    return hdr_version(hdr) >= KAVRI_PARAM_VERSION_CURRENT;
}
inline uint32_t hdr_timestamp(const uint8_t *hdr) {
    return le::get_u32(hdr + KAVRI_PARAM_HDR_OFF_TIMESTAMP);
}
inline uint32_t hdr_magic(const uint8_t *hdr) {
    return le::get_u32(hdr + KAVRI_PARAM_HDR_OFF_MAGIC);
}
inline uint16_t hdr_cksum(const uint8_t *hdr) {
    return le::get_u16(hdr + KAVRI_PARAM_HDR_OFF_HDR_CKSUM);
}
inline double hdr_cx(const uint8_t *hdr) {
    return std::bit_cast<double>(le::get_u64(hdr + KAVRI_PARAM_HDR_OFF_CX));
}
inline double hdr_cy(const uint8_t *hdr) {
    return std::bit_cast<double>(le::get_u64(hdr + KAVRI_PARAM_HDR_OFF_CY));
}
inline uint32_t hdr_blk_ts(const uint8_t *hdr) {
    return le::get_u32(hdr + KAVRI_PARAM_HDR_OFF_BLK_TS);
}
inline uint32_t hdr_blk_cnt(const uint8_t *hdr) {
    return le::get_u32(hdr + KAVRI_PARAM_HDR_OFF_BLK_CNT);
}
inline uint32_t hdr_blks_size(const uint8_t *hdr) {
    return le::get_u32(hdr + KAVRI_PARAM_HDR_OFF_BLKS_SIZE);
}
inline uint16_t hdr_blks_cksum(const uint8_t *hdr) {
    return le::get_u16(hdr + KAVRI_PARAM_HDR_OFF_BLKS_CKSUM);
}

}  // namespace kavri::param
