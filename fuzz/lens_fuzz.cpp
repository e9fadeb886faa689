// A lens parameter file of any content: read into the shared lens record,
// scaled to frame sizes, and turned into an undistortion map, which must
// only ever point inside the image.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "drv/epc_lens.h"
#include "fuzz_check.h"
#include "kavri/epc.h"
#include "kavri/lens.h"
#include "kavri/log.h"

namespace fs = std::filesystem;

namespace {

// Maps are built only for images up to this many pixels (the sensor's 4x).
constexpr int64_t kMaxMapPixels = 4 * 320 * 240;

void check_map(const kv_lens_param_t &p) {
    if (p.img_w <= 0 || p.img_h <= 0 || int64_t{p.img_w} * p.img_h > kMaxMapPixels) return;
    kv_calib_len_map_t map{};
    if (kv_calib_len_init_map(&map, &p) > 0) {
        const int64_t pixels = int64_t{p.img_w} * p.img_h;
        FUZZ_CHECK(map.map != nullptr && map.count >= 0 && map.count <= pixels);
        for (int32_t i = 0; i < map.count; ++i) FUZZ_CHECK(map.map[i] >= -1 && map.map[i] < pixels);
    }
    kv_calib_len_uninit_map(&map);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path dir = fs::path("/tmp") / ("kvfuzz_lens_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    FILE *f = std::fopen((dir / "lens_param.txt").c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    std::fclose(f);

    kavri::epc::update_lens_param((dir.string() + "/").c_str());
    const kv_lens_param_t whole = kavri::epc::lens_param();
    check_map(whole);
    for (const auto &[w, h] : {std::pair{320u, 240u}, std::pair{160u, 120u}, std::pair{7u, 5u}}) {
        kv_lens_param_t scaled{};
        if (epc_lens_param_get(nullptr, &scaled, w, h)) {
            FUZZ_CHECK(scaled.img_w == static_cast<int32_t>(w) &&
                       scaled.img_h == static_cast<int32_t>(h));
            check_map(scaled);
        }
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
