// The calibration loader walks the parameter file block by block and keeps
// the payload of the block for the wanted modulation frequency.
#include "drv/epc_calc_load.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/param_format.h"

namespace kavri::epc {
namespace {

constexpr const char *kTag = "_cal_load_calib_data";

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool read_exact(FILE *f, void *buf, size_t len) {
    return std::fread(buf, 1, len, f) == len;
}

// Bytes from the current position to the end of the file.
uint64_t bytes_left(FILE *f) {
    struct stat sb {};
    const long pos = std::ftell(f);
    if (pos < 0 || ::fstat(::fileno(f), &sb) != 0 || sb.st_size < pos) return 0;
    return static_cast<uint64_t>(sb.st_size) - static_cast<uint64_t>(pos);
}

bool skip(FILE *f, uint32_t len) {
    return std::fseek(f, static_cast<long>(len), SEEK_CUR) == 0;
}

// One block's driver header and payload size, read from the current position.
struct BlockHead {
    uint8_t drv_hdr[kDrvHdrBytes];
    uint32_t payload = 0;
    bool calib = false;  // a block carrying a calibration
};

enum class Next { kBlock, kFail };

Next read_block_head(FILE *f, uint8_t version, const char *path, BlockHead &out) {
    if (version >= KAVRI_PARAM_VERSION_CURRENT) {
        uint8_t unit[KAVRI_PARAM_UNIT_HDR_SIZE];
        if (!read_exact(f, unit, sizeof unit)) {
            KV_ERR("[%s] read par_dev_hdr failed: %s\n", kTag, path);
            return Next::kFail;
        }
        if (!read_exact(f, out.drv_hdr, kDrvHdrBytes)) {
            KV_ERR("[%s] read par_drv_hdr failed: %s\n", kTag, path);
            return Next::kFail;
        }
        const uint32_t size = le::get_u32(unit + 1);
        if (size < kDrvHdrBytes) {
            KV_ERR("[%s] parse calib file failed: %s\n", kTag, path);
            return Next::kFail;
        }
        out.payload = size - static_cast<uint32_t>(kDrvHdrBytes);
        out.calib = unit[0] == KAVRI_PARAM_UNIT_CALIB;
        return Next::kBlock;
    }
    uint8_t old[param::kLegacyBlkHdrSize];
    if (!read_exact(f, old, sizeof old)) {
        KV_ERR("[%s] read old_hdr failed: %s\n", kTag, path);
        return Next::kFail;
    }
    if (old[0] != KAVRI_PARAM_UNIT_CALIB) {
        KV_ERR("[%s] wrong blk param type: %d for (ver%d)\n", kTag, old[0], version);
        return Next::kFail;
    }
    std::memcpy(out.drv_hdr, old + 1, kDrvHdrBytes);
    out.payload = le::get_u32(old + param::kLegacyPayloadSizeOff);
    out.calib = true;
    return Next::kBlock;
}

}  // namespace

void release_calib_block(CalibInfo &c) {
    c.payload.reset();
    c.payload_bytes = 0;
    c.drnu.reset();
    c.plane_dist_um.clear();
    c.normalised = false;
    std::memset(c.drv_hdr, 0, sizeof c.drv_hdr);
}

bool load_calib_block(State &st, uint32_t freq_hz) {
    if (!st.param_valid || st.calib == nullptr) return false;
    CalibInfo &c = *st.calib;
    const uint32_t loaded = le::get_u32(c.drv_hdr + param::drv_hdr::kFreq);
    if (c.payload != nullptr || c.drnu != nullptr) {
        if (loaded == freq_hz) {
            KV_TRC("[%s] Calib data already loaded: freq=%u\n", kTag, loaded);
            return true;
        }
    }
    release_calib_block(c);
    const char *path = st.param_path;
    File f(std::fopen(path, "rb"));
    if (f == nullptr) {
        KV_ERR("[%s] open calib bin failed: %s\n", kTag, path);
        return false;
    }
    uint8_t hdr[KAVRI_PARAM_HDR_SIZE];
    if (!read_exact(f.get(), hdr, sizeof hdr)) {
        KV_ERR("[%s] read par_kv_hdr failed: %s\n", kTag, path);
        return false;
    }
    const uint8_t version = param::hdr_version(hdr);
    uint32_t blocks = param::hdr_blk_cnt(hdr);
    if (blocks > KAVRI_PARAM_MAX_BLKS) blocks = KAVRI_PARAM_MAX_BLKS;
    for (uint32_t b = 0; b < blocks; ++b) {
        BlockHead head{};
        if (read_block_head(f.get(), version, path, head) == Next::kFail) return false;
        const uint32_t freq = le::get_u32(head.drv_hdr + param::drv_hdr::kFreq);
        if (!head.calib || (freq != freq_hz && freq_hz != 0)) {
            if (!skip(f.get(), head.payload)) {
                KV_ERR("[%s] parse calib file failed: %s\n", kTag, path);
                return false;
            }
            continue;
        }
        // The size comes from the file: never allocate more than it holds.
        if (head.payload > bytes_left(f.get())) {
            KV_ERR("[%s] read drnu.payload failed: %s\n", kTag, path);
            return false;
        }
        std::memcpy(c.drv_hdr, head.drv_hdr, kDrvHdrBytes);
        c.payload.reset(new (std::nothrow) uint8_t[head.payload == 0 ? 1 : head.payload]);
        if (c.payload == nullptr) {
            KV_ERR("[%s] malloc failed\n", kTag);
            std::exit(-3);
        }
        c.payload_bytes = head.payload;
        if (!read_exact(f.get(), c.payload.get(), head.payload)) {
            KV_ERR("[%s] read drnu.payload failed: %s\n", kTag, path);
            release_calib_block(c);
            return false;
        }
        KV_DBG("[%s] Calib data: freq=%u, ver=%d, ts=%d\n", kTag, freq, version,
               static_cast<int>(param::hdr_timestamp(hdr)));
        return true;
    }
    return false;
}

}  // namespace kavri::epc
