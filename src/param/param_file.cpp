// The parameter file reader: open, verify the header, walk the blocks with
// their checksum, close. Every size read from the file is bounded by what
// the file holds before it is used, so a damaged file is refused, never
// trusted into a huge read.
#include <array>
#include <cstring>
#include <span>

#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/param.h"
#include "param/file_util.h"
#include "core/fletcher16.h"
#include "param/param_format.h"

namespace kavri::param {
namespace {

constexpr char kTagOpen[] = "kavri_param_open_file";
constexpr char kTagVerify[] = "_param_verify";
constexpr size_t kStreamChunk = 4096;  // block data is checksummed in pieces

bool lens_center_in_range(double v) {
    return v >= kLensCenterMin && v <= kLensCenterMax;
}

// The header checks, in the order the tooling expects them reported.
bool verify_header(const uint8_t *hdr) {
    const int ver = hdr_version(hdr);
    const uint32_t magic = hdr_magic(hdr);
    const uint32_t want_magic =
        hdr_is_current(hdr) ? KAVRI_PARAM_MAGIC_CURRENT : KAVRI_PARAM_MAGIC_LEGACY;
    if (magic != want_magic) {
        KV_DBG("[%s] wrong magic id (ver=%d): 0x%x\n", kTagVerify, ver, magic);
        return false;
    }
    const uint16_t cksum =
        fletcher16(std::span<const uint8_t>(hdr + kHdrCksumBegin, hdr + kHdrCksumEnd));
    if (cksum != hdr_cksum(hdr)) {
        KV_DBG("[%s] wrong cksum (ver=%d): 0x%x\n", kTagVerify, ver, hdr_cksum(hdr));
        return false;
    }
    const uint8_t *lens_name = hdr + KAVRI_PARAM_HDR_OFF_LENS_NAME;
    if (lens_name[0] != 0) {
        const double cx = hdr_cx(hdr);
        const double cy = hdr_cy(hdr);
        if (!lens_center_in_range(cx) || !lens_center_in_range(cy)) {
            // The name field need not be terminated: print a terminated copy.
            char name[kLensNameSize + 1] = {};
            std::memcpy(name, lens_name, kLensNameSize);
            KV_DBG("[%s] wrong range for lens param: cx/cy=%.1f/%.1f, name=%64s\n", kTagVerify, cx,
                   cy, name);
            return false;
        }
    }
    const uint32_t blk_cnt = hdr_blk_cnt(hdr);
    if (blk_cnt > KAVRI_PARAM_MAX_BLKS) {
        KV_DBG("[%s] too much param blks: %d", kTagVerify, static_cast<int>(blk_cnt));
        return false;
    }
    KV_DBG("[%s] BLK param timestamp: %u\n", kTagVerify, hdr_blk_ts(hdr));
    if (hdr_is_current(hdr)) {
        const uint32_t blks_size = hdr_blks_size(hdr);
        if (blks_size < KAVRI_PARAM_UNIT_HDR_SIZE * blk_cnt || blks_size > kMaxBlksSize) {
            KV_DBG("[%s] wrong blk total size: %d\n", kTagVerify, static_cast<int>(blks_size));
            return false;
        }
    }
    return true;
}

struct Walk {
    kavri_param_t *param;
    FILE *file;
    const char *path;
    uint64_t file_len;
    uint64_t size = 0;  // bytes of the block area seen so far
    Fletcher16 cksum;
};

bool read_blk_failed(const Walk &w, uint32_t idx) {
    KV_ERR("[%s] read blk#%d data failed: %s\n", kTagOpen, static_cast<int>(idx), w.path);
    return false;
}

bool walk_current_blk(Walk &w, uint32_t idx) {
    uint8_t unit[KAVRI_PARAM_UNIT_HDR_SIZE];
    if (!read_exact(w.file, unit, sizeof unit)) {
        KV_ERR("[%s] read par_dev_hdr failed: %s\n", kTagOpen, w.path);
        return false;
    }
    const uint32_t n = le::get_u32(unit + 1);
    w.param->unit_hdr[idx].type = unit[0];
    w.param->unit_hdr[idx].size = n;
    const long pos = ftell(w.file);
    if (pos < 0) return read_blk_failed(w, idx);
    w.param->data_off[idx] = static_cast<uint32_t>(pos);  // below 2^32: bounded by blks size

    // The block must fit both the declared block area and the file.
    const uint64_t size_after = w.size + KAVRI_PARAM_UNIT_HDR_SIZE + n;
    const uint32_t blks_size = hdr_blks_size(w.param->hdr);
    if (size_after > blks_size) {
        KV_ERR("[%s] param blks size wrong: size=%d (expect %d)\n", kTagOpen,
               static_cast<int>(size_after), static_cast<int>(blks_size));
        return false;
    }
    if (static_cast<uint64_t>(pos) + n > w.file_len) return read_blk_failed(w, idx);

    w.cksum.update(unit);
    std::array<uint8_t, kStreamChunk> chunk;
    for (uint32_t left = n; left > 0;) {
        const size_t take = std::min<size_t>(left, chunk.size());
        if (!read_exact(w.file, chunk.data(), take)) return read_blk_failed(w, idx);
        w.cksum.update(std::span<const uint8_t>(chunk.data(), take));
        left -= static_cast<uint32_t>(take);
    }
    w.size = size_after;
    return true;
}

bool walk_legacy_blk(Walk &w, uint32_t idx) {
    uint8_t blk_hdr[kLegacyBlkHdrSize];
    if (!read_exact(w.file, blk_hdr, sizeof blk_hdr)) {
        KV_ERR("[%s] read blk_unit_hdr failed: %s\n", kTagOpen, w.path);
        return false;
    }
    if (blk_hdr[0] != KAVRI_PARAM_UNIT_CALIB) {
        KV_ERR("[%s] wrong blk unit type: %d\n", kTagOpen, blk_hdr[0]);
        return false;
    }
    const uint32_t p = le::get_u32(blk_hdr + kLegacyPayloadSizeOff);
    const long pos = ftell(w.file);
    // Legacy files declare no block area: the payload must fit the file, and
    // the reader's offsets and sizes are 32 bits.
    const uint64_t end = static_cast<uint64_t>(pos) + p;
    if (pos < 0 || end > w.file_len || end > UINT32_MAX) return read_blk_failed(w, idx);
    w.param->unit_hdr[idx].type = KAVRI_PARAM_UNIT_CALIB;
    w.param->unit_hdr[idx].size = p + kLegacyDataLead;
    w.param->data_off[idx] = static_cast<uint32_t>(pos) - kLegacyDataLead;
    if (fseek(w.file, static_cast<long>(p), SEEK_CUR) != 0) return read_blk_failed(w, idx);
    w.size += static_cast<uint64_t>(p) + kLegacyBlkHdrSize;
    return true;
}

bool open_verified(kavri_param_t *param, FILE *file, const char *path) {
    if (!read_exact(file, param->hdr, KAVRI_PARAM_HDR_SIZE)) {
        KV_ERR("[%s] read kavri_param_t failed: %s\n", kTagOpen, path);
        return false;
    }
    const uint8_t *hdr = param->hdr;
    if (!verify_header(hdr)) {
        KV_ERR("[%s] _param_verify failed: %s\n", kTagOpen, path);
        return false;
    }
    const uint32_t blk_cnt = hdr_blk_cnt(hdr);
    KV_DBG("[%s] calib param : ver = %d, blk cnt = %d, size = %u, cksum = 0x%x\n", kTagOpen,
           hdr_version(hdr), static_cast<int>(blk_cnt), hdr_blks_size(hdr), hdr_blks_cksum(hdr));

    const auto file_len = file_length(file);
    if (!file_len) {
        KV_ERR("[%s] read kavri_param_t failed: %s\n", kTagOpen, path);
        return false;
    }
    Walk w{param, file, path, *file_len, 0, Fletcher16{}};
    const bool current = hdr_is_current(hdr);
    for (uint32_t i = 0; i < blk_cnt; ++i) {
        if (!(current ? walk_current_blk(w, i) : walk_legacy_blk(w, i))) return false;
    }
    if (current) {
        if (w.size != hdr_blks_size(hdr)) {
            KV_ERR("[%s] param blks size wrong: size=%d (expect %d)\n", kTagOpen,
                   static_cast<int>(w.size), static_cast<int>(hdr_blks_size(hdr)));
            return false;
        }
        if (w.cksum.value() != hdr_blks_cksum(hdr)) {
            KV_ERR("[%s] param blks cksum failed: ck_sum=0x%x (expect 0x%x)\n", kTagOpen,
                   w.cksum.value(), hdr_blks_cksum(hdr));
            return false;
        }
    }
    const size_t path_len = std::strlen(path);
    if (path_len >= KAVRI_PARAM_NAME_SIZE) {
        KV_ERR("[%s] param filename too long: len=%d\n", kTagOpen, static_cast<int>(path_len));
        return false;
    }
    // Kept for the messages of later block reads.
    std::memcpy(param->name, path, path_len + 1);
    return true;
}

}  // namespace
}  // namespace kavri::param

using namespace kavri::param;

namespace kavri::param {

int param_init() {
    return 1;
}

void param_uninit() {}

uint8_t param_open_file(kavri_param_t *param, const char *path) {
    if (param == nullptr) return 0;
    std::memset(param, 0, sizeof *param);
    if (path == nullptr) {
        KV_DBG("[%s] open calib bin failed: %s\n", kTagOpen, "");
        return 0;
    }
    FilePtr file(fopen(path, "rb"));
    if (!file) {
        KV_DBG("[%s] open calib bin failed: %s\n", kTagOpen, path);
        return 0;
    }
    if (!open_verified(param, file.get(), path)) return 0;  // the file closes here
    param->file = file.release();
    param->valid = 1;
    return 1;
}

void param_close(kavri_param_t *param) {
    if (param == nullptr || !param->valid) return;
    if (param->file != nullptr) fclose(param->file);
    param->file = nullptr;
    param->valid = 0;
}

uint8_t param_is_valid(const kavri_param_t *param) {
    return param != nullptr ? param->valid : 0;
}

uint32_t param_get_blk_cnt(const kavri_param_t *param) {
    if (param == nullptr || !param->valid) return 0;
    return hdr_blk_cnt(param->hdr);
}

}  // namespace kavri::param

extern "C" KAVRI_API int kavri_param_init(void) {
    return kavri::param::param_init();
}

extern "C" KAVRI_API void kavri_param_uninit(void) {
    kavri::param::param_uninit();
}

extern "C" KAVRI_API uint8_t kavri_param_open_file(kavri_param_t *param, const char *path) {
    return kavri::param::param_open_file(param, path);
}

extern "C" KAVRI_API void kavri_param_close(kavri_param_t *param) {
    kavri::param::param_close(param);
}

extern "C" KAVRI_API uint8_t kavri_param_is_valid(const kavri_param_t *param) {
    return kavri::param::param_is_valid(param);
}

extern "C" KAVRI_API uint32_t kavri_param_get_blk_cnt(const kavri_param_t *param) {
    return kavri::param::param_get_blk_cnt(param);
}
