// Soak: two simulated cameras capture at once for thousands of frames (tens
// of thousands with `make soak`) through random stream faults, busy status,
// unplug and replug, closes from another thread, frame-rate, frequency and
// filter changes. Nothing crashes or hangs, every frame is delivered intact
// or accounted for, the simulator gets every libusb object back, and the
// resident size stays flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "camsim.h"
#include "common/emulated.h"
#include "common/sim_leak_check.h"
#include "kavri.h"
#include "soak_camera.h"

namespace {

using namespace kavri_soak;
using namespace std::chrono_literals;

constexpr uint64_t kCiFrames = 1500;  // per camera in CI; KAVRI_SOAK_FRAMES overrides
constexpr uint32_t kTiFrameBytes = 320 * 240 * 4;
constexpr uint32_t kEpcFrameBytes = 320 * 240 * 8;
constexpr uint8_t kParamModFreq = 1;
constexpr uint32_t kEpcFps = 120;
// Growth of the resident size from the first tenth of the run to its end
// that still counts as flat.
constexpr uint64_t kFlatGrowthKb = 48 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

uint64_t frames_per_camera() {
    if (const char *env = std::getenv("KAVRI_SOAK_FRAMES")) {
        const uint64_t n = std::strtoull(env, nullptr, 10);
        if (n > 0) return n;
    }
    // Sanitized and emulated builds run several times slower: fewer frames
    // keep CI short.
    return kSanitized || kavri_testing::emulated() ? kCiFrames / 2 : kCiFrames;
}

camsim_camera_config_t camera_config(uint8_t chip, uint8_t port) {
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.chip = chip;
    cfg.port = port;
    cfg.noise = 0;
    cfg.fpn = 0;
    cfg.drift_temperature = 0;
    cfg.free_run = chip == CAMSIM_CHIP_T0 ? 1 : 0;
    cfg.fps = kEpcFps;
    cfg.reset_delay_ms = 20;
    cfg.reboot_delay_ms = 20;
    return cfg;
}

bool set_freq(kavri_dev_t *dev, uint32_t hz) {
    kavri_param_item_t it{};
    it.param_id = kParamModFreq;
    it.param_val_len = 4;
    for (int i = 0; i < 4; ++i) it.param_val[i] = static_cast<uint8_t>(hz >> (8 * i));
    return kavri_param_batch_set(dev, &it, 1) == 1;
}

std::vector<uint8_t> snapshot(kavri_dev_t *dev, uint32_t bytes) {
    std::vector<uint8_t> f(bytes);
    kavri_frame_info_t info{};
    EXPECT_EQ(kavri_cap_snapshot(dev, f.data(), bytes, &info), 1);
    EXPECT_EQ(info.frame_size, bytes);
    return f;
}

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
        camsim_clear();
        cam_ti_ = camsim_plug(&cfg_ti_);
        cam_epc_ = camsim_plug(&cfg_epc_);
        ASSERT_GE(cam_ti_, 0);
        ASSERT_GE(cam_epc_, 0);
        camsim_calib_none(cam_epc_);
    }
    void TearDown() override { camsim_clear(); }

    // The located records of both cameras, by port.
    void list(kavri_dev_t &ti, kavri_dev_t &epc) {
        kavri_dev_t found[4]{};
        ASSERT_EQ(kavri_dev_list(found, 4), 2);
        for (const kavri_dev_t &d : found) {
            kavri_usb_info_t usb{};
            std::memcpy(&usb, d.if_info, sizeof usb);
            if (usb.usb_port == cfg_ti_.port) ti = d;
            if (usb.usb_port == cfg_epc_.port) epc = d;
        }
        ASSERT_TRUE(ti.located && epc.located);
    }

    // Intact frames: the scene at each setting the soak may choose.
    void references(CameraPlan &ti, CameraPlan &epc) {
        kavri_dev_t dev = ti.listed;
        ASSERT_EQ(kavri_dev_open(&dev), &dev);
        ti.references.push_back(snapshot(&dev, kTiFrameBytes));
        kavri_dev_close(&dev);
        dev = epc.listed;
        ASSERT_EQ(kavri_dev_open(&dev), &dev);
        for (uint32_t hz : {24000000u, 12000000u}) {
            ASSERT_TRUE(set_freq(&dev, hz));
            epc.references.push_back(snapshot(&dev, kEpcFrameBytes));
        }
        kavri_dev_close(&dev);
    }

    camsim_camera_config_t cfg_ti_ = camera_config(CAMSIM_CHIP_T0, 1);
    camsim_camera_config_t cfg_epc_ = camera_config(CAMSIM_CHIP_E2, 2);
    int cam_ti_ = -1, cam_epc_ = -1;
};

void print_report(const CameraStats &ti, const CameraStats &epc, double seconds, uint64_t peak_kb,
                  uint64_t base_kb, uint64_t final_kb) {
    std::printf("soak: %.1f s, RSS base %lu kB, peak %lu kB, final %lu kB\n", seconds,
                static_cast<unsigned long>(base_kb), static_cast<unsigned long>(peak_kb),
                static_cast<unsigned long>(final_kb));
    for (const auto &[name, s] : {std::pair{"T0", &ti}, std::pair{"E2", &epc}})
        std::printf(
            "soak %s: delivered %lu (bad %lu) sent %lu discarded %lu dropped %lu "
            "unaccounted %lu opens %lu capture errors %lu unplugs reported %lu rate %lu freq %lu "
            "filter %lu "
            "conversions %lu\n",
            name, static_cast<unsigned long>(s->delivered), static_cast<unsigned long>(s->bad),
            static_cast<unsigned long>(s->sent), static_cast<unsigned long>(s->discarded),
            static_cast<unsigned long>(s->dropped), static_cast<unsigned long>(s->unaccounted),
            static_cast<unsigned long>(s->opens), static_cast<unsigned long>(s->capture_errors),
            static_cast<unsigned long>(s->unplug_reported),
            static_cast<unsigned long>(s->rate_changes),
            static_cast<unsigned long>(s->freq_changes),
            static_cast<unsigned long>(s->filter_switches),
            static_cast<unsigned long>(s->conversions));
    std::printf("soak faults: %-24s %9s %9s\n", "kind", "injected", "survived");
    for (int k = 0; k < kFaultKinds; ++k)
        std::printf("soak faults: %-24s %9lu %9lu\n", fault_name(k),
                    static_cast<unsigned long>(ti.injected[k] + epc.injected[k]),
                    static_cast<unsigned long>(ti.survived[k] + epc.survived[k]));
}

TEST_F(Soak, TwoCamerasThroughFaultsAndChanges) {
    const uint64_t frames = frames_per_camera();
    CameraPlan ti, epc;
    list(ti.listed, epc.listed);
    ti.cam = cam_ti_;
    ti.frame_bytes = kTiFrameBytes;
    ti.target_frames = frames;
    ti.seed = 1208;
    epc.cam = cam_epc_;
    epc.epc = true;
    epc.frame_bytes = kEpcFrameBytes;
    epc.target_frames = frames / 2;  // paced by its frame rate
    epc.seed = 2026;
    references(ti, epc);
    if (HasFatalFailure()) return;

    SoakCamera a(ti), b(epc);
    std::atomic<bool> running{true};
    std::atomic<uint64_t> peak_kb{rss_kb()}, base_kb{0};
    std::thread monitor([&] {
        while (running.load()) {
            const uint64_t now = rss_kb();
            peak_kb.store(std::max(peak_kb.load(), now));
            if (base_kb.load() == 0 && a.progress() >= frames / 10) base_kb.store(now);
            std::this_thread::sleep_for(20ms);
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    std::thread ta([&] { a.run(); });
    std::thread tb([&] { b.run(); });
    ta.join();
    tb.join();
    running = false;
    monitor.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const uint64_t final_kb = rss_kb();
    print_report(a.stats(), b.stats(), seconds, peak_kb.load(), base_kb.load(), final_kb);

    for (const CameraStats *s : {&a.stats(), &b.stats()}) {
        EXPECT_EQ(s->bad, 0u);
        EXPECT_EQ(s->unaccounted, 0u);
        EXPECT_GT(s->opens, 1u);
        for (int k = 0; k < kFaultKinds; ++k)
            EXPECT_LE(s->injected[k] - s->survived[k], 1u) << fault_name(k);
    }
    EXPECT_GE(a.stats().delivered, frames);
    EXPECT_GE(b.stats().delivered, frames / 2);

    kavri_testing::expect_nothing_left_behind();
    if (!kSanitized && base_kb.load() != 0) {
        EXPECT_LT(final_kb, base_kb.load() + kFlatGrowthKb);
    }
}

}  // namespace
