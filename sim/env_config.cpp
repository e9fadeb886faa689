#include "env_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "stream_encoder.h"

namespace camsim {
namespace {

constexpr uint32_t kDefaultFps = 30;
constexpr uint16_t kDefaultWidth = 320, kDefaultHeight = 240;
constexpr uint32_t kDefaultResetDelayMs = 300;
constexpr uint32_t kDefaultRebootDelayMs = 1000;
constexpr int16_t kDefaultTSensor = 350, kDefaultTIb = 300;
constexpr int kMaxCameras = 16;

const char *env(const char *key) {
    const char *v = std::getenv(key);
    return (v && *v) ? v : nullptr;
}

void warn(const char *key, const char *value) {
    std::fprintf(stderr, "camsim: ignoring %s=%s\n", key, value);
}

bool env_flag(const char *key, bool fallback) {
    const char *v = env(key);
    if (!v) return fallback;
    if (!std::strcmp(v, "0")) return false;
    if (!std::strcmp(v, "1")) return true;
    warn(key, v);
    return fallback;
}

bool env_uint(const char *key, unsigned long long max, unsigned long long &out) {
    const char *v = env(key);
    if (!v) return false;
    char *end = nullptr;
    unsigned long long n = std::strtoull(v, &end, 0);
    if (*end || n > max || v[0] == '-') {
        warn(key, v);
        return false;
    }
    out = n;
    return true;
}

}  // namespace

void default_config(camsim_camera_config_t &cfg) {
    std::memset(&cfg, 0, sizeof cfg);
    cfg.speed = 3;  // LIBUSB_SPEED_HIGH
    cfg.chip = CAMSIM_CHIP_E2;
    if (const char *v = env("CAMSIM_CHIP")) {
        static const char *const codes[] = {"E1", "E2", "E3", "T0"};
        bool found = false;
        for (int i = 0; i < 4; ++i) {
            if (!std::strcmp(v, codes[i])) {
                cfg.chip = static_cast<uint8_t>(i);
                found = true;
            }
        }
        if (!found) warn("CAMSIM_CHIP", v);
    }
    std::snprintf(cfg.scene, sizeof cfg.scene, "default");
    if (const char *v = env("CAMSIM_SCENE")) {
        if (!std::strcmp(v, "default") || !std::strncmp(v, "wall:", 5))
            std::snprintf(cfg.scene, sizeof cfg.scene, "%s", v);
        else
            warn("CAMSIM_SCENE", v);
    }
    if (const char *v = env("CAMSIM_LENS")) {
        if (!std::strcmp(v, "pinhole"))
            cfg.pinhole_lens = 1;
        else if (std::strcmp(v, "default"))
            warn("CAMSIM_LENS", v);
    }
    cfg.noise = env_flag("CAMSIM_NOISE", true);
    cfg.fpn = env_flag("CAMSIM_FPN", true);
    cfg.free_run = env_flag("CAMSIM_FREE_RUN", false);
    unsigned long long n = 0;
    cfg.seed = env_uint("CAMSIM_SEED", ~0ull, n) ? n : 1;
    cfg.fps = kDefaultFps;
    if (env_uint("CAMSIM_FPS", 120, n) && n > 0) cfg.fps = static_cast<uint32_t>(n);
    cfg.width = kDefaultWidth;
    cfg.height = kDefaultHeight;
    cfg.chunk_payload = kDefaultChunkPayload;
    cfg.frames_per_chunk = 1;
    cfg.data_checksum = 1;
    cfg.drift_temperature = 1;
    cfg.reset_delay_ms = kDefaultResetDelayMs;
    cfg.reboot_delay_ms = kDefaultRebootDelayMs;
    cfg.t_sensor = kDefaultTSensor;
    cfg.t_ib = kDefaultTIb;
}

int env_camera_count() {
    unsigned long long n = 1;
    if (!env_uint("CAMSIM_CAMERAS", kMaxCameras, n)) n = 1;
    if (!env("CAMSIM_CAMERAS")) n = 1;
    return static_cast<int>(n);
}

}  // namespace camsim
