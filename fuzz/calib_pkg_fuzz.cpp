// The calibration package as the camera serves it, with input-chosen header
// fields and payload: a device open pulls it over the frame stream, unpacks
// or copies it into the working folder and mounts it. Nothing may crash,
// hang or leave libusb objects behind.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "camsim.h"
#include "cmd_script.h"
#include "fuzz_check.h"
#include "kavri.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFrameBytes = CAMSIM_CALIB_FRAME_BYTES;

int g_cam = -1;
fs::path g_work;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    camsim_clear();
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.chip = CAMSIM_CHIP_E2;
    cfg.reset_delay_ms = 5;
    cfg.reboot_delay_ms = 5;
    g_cam = camsim_plug(&cfg);
    FUZZ_CHECK(g_cam >= 0);
    g_work = fs::path("/tmp") / ("kvfuzz_pkg_" + std::to_string(::getpid()));
    fs::create_directories(g_work);
    kavri_path_cfg((g_work.string() + "/").c_str());
    return 0;
}

// Input: [flags][valid][type][timestamp x4][package size x4][payload size x4][payload ...]
//   flags bit 0: use the header fields given, else let the camera fill them in.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kvfuzz::cmd::Reader in(data, size);
    const uint8_t flags = in.u8();
    camsim_calib_header_t hdr{};
    hdr.valid = in.u8();
    hdr.payload_type = in.u8();
    hdr.timestamp = static_cast<uint32_t>(in.u16()) | static_cast<uint32_t>(in.u16()) << 16;
    hdr.package_size = static_cast<uint32_t>(in.u16()) | static_cast<uint32_t>(in.u16()) << 16;
    hdr.payload_size = static_cast<uint32_t>(in.u16()) | static_cast<uint32_t>(in.u16()) << 16;
    const std::vector<uint8_t> payload = in.bytes(size);
    // The camera streams at least package_size bytes: keep that to a few frames.
    const uint32_t most = static_cast<uint32_t>(payload.size()) + 4 * kFrameBytes;
    if (hdr.package_size != CAMSIM_CALIB_AUTO && hdr.package_size > most) hdr.package_size %= most;
    FUZZ_CHECK(camsim_calib_set(g_cam, payload.data(), static_cast<uint32_t>(payload.size()),
                                (flags & 1) ? &hdr : nullptr) == CAMSIM_OK);

    std::error_code ec;
    for (const fs::directory_entry &e : fs::directory_iterator(g_work))
        fs::remove_all(e.path(), ec);
    kavri_dev_t dev{};
    if (kavri_dev_open(&dev) == &dev) kavri_dev_close(&dev);

    camsim_counters_t c{};
    camsim_get_counters(&c);
    FUZZ_CHECK(c.open_handles == 0 && c.claimed_interfaces == 0);
    FUZZ_CHECK(c.live_transfers == 0 && c.inflight_transfers == 0);
    FUZZ_CHECK(camsim_misuse_count() == 0);
    return 0;
}
