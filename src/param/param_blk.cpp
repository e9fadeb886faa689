// Hands one block of an open parameter file to a callback.
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/buffer.h"
#include "param/file_util.h"
#include "param/param.h"

namespace {
constexpr char kTag[] = "kavri_param_parse_blk";
}

using namespace kavri::param;

extern "C" KAVRI_API uint8_t kavri_param_parse_blk(kavri_param_t *param, uint32_t blk_idx,
                                                   kavri_param_blk_cb_t cb, uint32_t user) {
    if (param == nullptr || !param->valid || cb == nullptr || param->file == nullptr) return 0;
    const uint32_t blk_cnt = kavri::param::param_get_blk_cnt(param);
    if (blk_idx >= blk_cnt || blk_idx >= KAVRI_PARAM_BLK_SLOTS) {
        KV_DBG("[%s] wrong blk_idx %d to parse \n", kTag, static_cast<int>(blk_idx));
        return 0;
    }
    const kavri_param_unit_hdr_t *unit = &param->unit_hdr[blk_idx];
    const uint32_t off = param->data_off[blk_idx];
    const uint32_t size = unit->size;
    if (fseek(param->file, static_cast<long>(off), SEEK_SET) != 0) {
        KV_ERR("[%s] seek to param blk # %d failed\n", kTag, static_cast<int>(blk_idx));
        return 0;
    }
    // The file stays open between calls and may have shrunk since it was
    // verified: allocate only what it still holds.
    const auto len = file_length(param->file);
    if (!len || static_cast<uint64_t>(off) + size > *len) {
        KV_ERR("[%s] read blk#%d data failed: %s\n", kTag, static_cast<int>(blk_idx), param->name);
        return 0;
    }
    auto data = alloc_or_exit(size, kTag);
    if (!read_exact(param->file, data.get(), size)) {
        KV_ERR("[%s] read blk#%d data failed: %s\n", kTag, static_cast<int>(blk_idx), param->name);
        return 0;
    }
    const bool ok = cb(param, unit, data.get(), size, user) != 0;
    data.reset();
    KV_ERR("[%s] read param blk#%d: %s\n", kTag, static_cast<int>(blk_idx), ok ? "OK" : "NG");
    return ok ? 1 : 0;
}
