// The exported steps of the data protocol: data info, payload request,
// acknowledgement reads, action records, and the image file check.
#include <algorithm>
#include <cstring>
#include <vector>

#include "data/data_file.h"
#include "data/data.h"
#include "data/data_wire.h"
#include "ll/ll.h"
#include "core/log_internal.h"

namespace le = kavri::le;

namespace {

constexpr const char *kCmdFailed = "[%s] Cmd:(0x%x,0x%x) failed\n";

}  // namespace

namespace kavri::data {

int32_t get_data_info(kavri_ll_t *ll, uint8_t value, uint8_t *buf, uint8_t len) {
    constexpr const char *tag = "al_get_data_info";
    if ((buf == nullptr && len > 0) ||
        !kavri::ll::ll_exe_cmd(ll, kCmdRead, KAVRI_DATA_CMD, value, buf, len, kInfoTimeoutMs)) {
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, value);
        return 0;
    }
    return 1;
}

// The exported form: a 12-byte request read into the caller's 12-byte
// record, whatever the length asks for; its result is always 0.
int32_t get_data_payload(kavri_ll_t *ll, uint8_t *buf, uint16_t len) {
    constexpr const char *tag = "al_get_data_payload";
    if (buf == nullptr) {
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD);
        return 0;
    }
    le::put_u32(buf + kPayloadLenOffset, len);
    if (!kavri::ll::ll_exe_cmd(ll, kCmdRead, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD, buf,
                               KAVRI_DATA_PAYLOAD_REQ_SIZE, kPayloadTimeoutMs))
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD);
    return 0;
}

// The camera hands a payload over as the reply of a read whose length is
// the number of bytes wanted (at least the 12 bytes of the request record):
// the reply carries the image bytes from offset 0.
bool fetch_payload(kavri_ll_t *ll, uint8_t *buf, size_t size, uint16_t len) {
    constexpr const char *tag = "al_get_data_payload";
    const uint32_t read_len = std::max<uint32_t>(len, KAVRI_DATA_PAYLOAD_REQ_SIZE);
    if (buf == nullptr || len == 0 || len > KAVRI_DATA_UPLOAD_CHUNK || size < read_len) {
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD);
        return false;
    }
    std::memset(buf, 0, read_len);
    le::put_u32(buf + kPayloadLenOffset, len);
    if (!kavri::ll::ll_exe_cmd(ll, kCmdRead, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD, buf, read_len,
                               kPayloadTimeoutMs)) {
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, KAVRI_DATA_ACT_PAYLOAD);
        return false;
    }
    return true;
}

int32_t data_read_action_info(kavri_ll_t *ll, uint8_t action, uint8_t *out) {
    constexpr const char *tag = "al_data_read_action_info";
    uint32_t len = 0;
    if (action == KAVRI_DATA_ACT_ACK)
        len = KAVRI_DATA_ACK_SIZE;
    else if (action == KAVRI_DATA_ACT_STATE)
        len = KAVRI_DATA_STATE_SIZE;
    else
        return 1;
    uint8_t rec[KAVRI_DATA_ACK_SIZE] = {};
    if (out == nullptr ||
        !kavri::ll::ll_exe_cmd(ll, kCmdRead, KAVRI_DATA_CMD, action, rec, len, kAckTimeoutMs)) {
        KV_ERR(kCmdFailed, tag, KAVRI_DATA_CMD, action);
        return -1;
    }
    std::memcpy(out, rec, len);
    return 1;
}

int32_t data_send_action_info(kavri_ll_t *ll, uint8_t action, const uint8_t *record) {
    constexpr const char *tag = "al_data_send_action_info";
    if (record == nullptr) return -1;
    uint8_t rec[KAVRI_DATA_ERASE_SIZE] = {};
    uint32_t len = 0, timeout = 0;
    switch (action) {
        case KAVRI_DATA_ACT_START:
            len = KAVRI_DATA_START_SIZE;
            timeout = kStartTimeoutMs;
            std::memcpy(rec, record, len);
            KV_INF("[%s] type = %hu, version = %hu, size = %d\n", tag,
                   static_cast<unsigned short>(rec[0]), le::get_u16(rec + 2),
                   static_cast<int>(le::get_u32(rec + 4)));
            break;
        case KAVRI_DATA_ACT_ERASE:
            len = KAVRI_DATA_ERASE_SIZE;
            timeout = kEraseTimeoutMs;
            std::memcpy(rec, record, len);
            break;
        case KAVRI_DATA_ACT_ACK:
            len = KAVRI_DATA_ACK_SIZE;
            timeout = kKind4TimeoutMs;
            std::memcpy(rec, record, len);
            break;
        default:
            return -1;
    }
    return kavri::ll::ll_exe_cmd(ll, kCmdWrite, KAVRI_DATA_CMD, action, rec, len, timeout) ? 1 : -1;
}

int32_t data_build_file_buffer(const char *path, uint32_t *size) {
    constexpr const char *tag = "al_data_build_file_buffer";
    KV_INF("[%s] Loading data image file:%s\n", tag, path != nullptr ? path : "(null)");
    if (size != nullptr) *size = 0;
    if (path == nullptr) return -1;
    FilePtr f(std::fopen(path, "rb"));
    if (!f) return -1;
    uint64_t total = 0;
    if (!file_size(f.get(), total)) total = 0;
    KV_INF("[%s] File size:%d\n", tag, static_cast<int>(total));
    std::vector<uint8_t> bytes;
    // An image beyond 32 bits cannot be described to the camera.
    const bool fits = total <= UINT32_MAX;
    const size_t got = fits ? read_whole(f.get(), total, bytes) : 0;
    KV_INF("[%s] File read ok,%d,%x\n", tag, static_cast<int>(got),
           got > 0 ? static_cast<unsigned>(bytes[0]) : 0u);
    if (total == 0 || !fits || got < total) {
        KV_INF("[%s] Data image file loading failed.\n", tag);
        return -1;
    }
    if (size != nullptr) *size = static_cast<uint32_t>(total);
    KV_INF("[%s] Data image file loaded.\n", tag);
    return 1;
}

}  // namespace kavri::data

extern "C" KAVRI_API int32_t al_get_data_info(kavri_ll_t *ll, uint8_t value, uint8_t *buf,
                                              uint8_t len) {
    return kavri::data::get_data_info(ll, value, buf, len);
}

extern "C" KAVRI_API int32_t al_get_data_payload(kavri_ll_t *ll, uint8_t *buf, uint16_t len) {
    return kavri::data::get_data_payload(ll, buf, len);
}

extern "C" KAVRI_API int32_t al_data_read_action_info(kavri_ll_t *ll, uint8_t action,
                                                      uint8_t *out) {
    return kavri::data::data_read_action_info(ll, action, out);
}

extern "C" KAVRI_API int32_t al_data_send_action_info(kavri_ll_t *ll, uint8_t action,
                                                      const uint8_t *record) {
    return kavri::data::data_send_action_info(ll, action, record);
}

extern "C" KAVRI_API int32_t al_data_build_file_buffer(const char *path, uint32_t *size) {
    return kavri::data::data_build_file_buffer(path, size);
}
