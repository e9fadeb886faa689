// A calibration parameter file of any content: opened and verified, every
// block handed to a callback (blocks handed out must lie inside the file).
// Built with KVFUZZ_MOUNT it is then mounted by the EPC driver as a cached
// calibration would be (a target of its own, so that a fault is placed at
// once).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "drv/epc_state.h"
#include "fuzz_check.h"
#include "kavri/epc.h"
#include "kavri/log.h"
#include "kavri/param.h"

namespace {

struct BlockWalk {
    size_t file_size = 0;
    uint64_t bytes_seen = 0;
    uint32_t sum = 0;
};

BlockWalk g_walk;

int32_t on_block(kavri_param_t *, const kavri_param_unit_hdr_t *unit, const uint8_t *data,
                 uint32_t size, uint32_t user) {
    FUZZ_CHECK(user == 77);
    FUZZ_CHECK(unit != nullptr && unit->size == size);
    FUZZ_CHECK(size <= g_walk.file_size);
    // Touch every byte so that the sanitizer sees any read past the block.
    for (uint32_t i = 0; i < size; ++i) g_walk.sum += data[i];
    g_walk.bytes_seen += size;
    return 1;
}

std::string temp_path() {
    return "/tmp/kvfuzz_param_" + std::to_string(::getpid()) + ".bin";
}

[[maybe_unused]] void mount(const std::string &path) {
    kavri_drv_t drv{};
    drv.name = "EPC";
    drv.chip_code = "E2";
    drv.ops = &g_kavri_driver_op_epc;
    if (!epc_init(&drv, nullptr)) return;
    kavri::epc::State *st = kavri::epc::state_of(&drv);
    std::snprintf(st->param_path, sizeof st->param_path, "%s", path.c_str());
    st->param_valid = 1;
    st->mod_freq = 0;
    epc_calc_mount_calib(&drv);
    epc_uninit(&drv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    kavri_param_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string path = temp_path();
    FILE *f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    std::fclose(f);

    kavri_param_t param{};
    g_walk = BlockWalk{size};
    if (kavri_param_open_file(&param, path.c_str())) {
        FUZZ_CHECK(kavri_param_is_valid(&param));
        const uint32_t blocks = kavri_param_get_blk_cnt(&param);
        FUZZ_CHECK(blocks <= KAVRI_PARAM_MAX_BLKS);
        for (uint32_t i = 0; i <= blocks; ++i) kavri_param_parse_blk(&param, i, on_block, 77);
        FUZZ_CHECK(g_walk.bytes_seen <= size);
        kavri_param_close(&param);
    }
    FUZZ_CHECK(!kavri_param_is_valid(&param));
#ifdef KVFUZZ_MOUNT
    mount(path);
#endif
    std::remove(path.c_str());
    return 0;
}
