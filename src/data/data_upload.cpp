// The upload engine: ask the camera what it holds of a type, then fetch the
// image in payload chunks into a file that appears only when whole.
#include <algorithm>
#include <vector>

#include "data/data_file.h"
#include "data/data.h"
#include "data/data_hooks.h"
#include "data/data_wire.h"
#include "core/log_internal.h"

using namespace kavri::data;

namespace {

constexpr const char *kTag = "kavri_bin_data_read";
constexpr int32_t kOk = 1, kFailed = -1;

int32_t upload(kavri_ll_t *ll, uint8_t type, const char *path) {
    KV_DBG("[%s] Get info\n", kTag);
    uint8_t info_rec[KAVRI_DATA_INFO_SIZE] = {type};
    const bool info_ok = get_data_info(ll, KAVRI_DATA_ACT_INFO, info_rec, sizeof info_rec) == 1;
    const DataInfo info = decode_info(info_rec);
    KV_INF("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kTag, info.version,
           static_cast<unsigned short>(info.type), info.addr, static_cast<int>(info.size));
    // Without the camera's answer the size is unknown: an empty file would
    // pass for the camera's image.
    if (!info_ok) {
        KV_ERR("[%s] Data info unavailable, nothing read\n", kTag);
        return kFailed;
    }
    if (info.size == KAVRI_DATA_NO_DATA) {
        KV_ERR("[%s] No valid data to read, please check\n", kTag);
        return kFailed;
    }

    PendingFile file(path != nullptr ? path : KAVRI_DATA_DEFAULT_UPLOAD_FILE);
    if (!file.open()) {
        KV_ERR("[%s] File open failed\n", kTag);
        return kFailed;
    }
    std::vector<uint8_t> chunk(KAVRI_DATA_UPLOAD_CHUNK);
    report_progress(KAVRI_DATA_PHASE_TRANSFER, 0, info.size);
    for (uint32_t done = 0; done < info.size;) {
        const uint16_t n =
            static_cast<uint16_t>(std::min<uint32_t>(KAVRI_DATA_UPLOAD_CHUNK, info.size - done));
        // A chunk the camera did not hand over must not reach the file.
        if (!fetch_payload(ll, chunk.data(), chunk.size(), n)) {
            KV_ERR("[%s] Payload request failed at byte %u of %u, upload abandoned\n", kTag, done,
                   info.size);
            return kFailed;
        }
        if (!file.write(chunk.data(), n)) {
            KV_ERR("[%s] File write failed\n", kTag);
            return kFailed;
        }
        done += n;
        report_progress(KAVRI_DATA_PHASE_TRANSFER, done, info.size);
    }
    if (!file.commit()) {
        KV_ERR("[%s] File write failed\n", kTag);
        return kFailed;
    }
    return kOk;
}

}  // namespace

namespace kavri::data {

int32_t bin_data_read(kavri_ll_t *ll, uint8_t type, const char *path) {
    return upload(ll, type, path);
}

}  // namespace kavri::data

extern "C" KAVRI_API int32_t kavri_bin_data_read(kavri_ll_t *ll, uint8_t type, const char *path) {
    return kavri::data::bin_data_read(ll, type, path);
}
