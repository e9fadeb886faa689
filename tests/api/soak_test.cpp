// Soak: thousands of frames from a free-running camera with random stream
// faults, through kavri_cap_get_frames and through callbacks with
// kavri_cap_wait. Every frame is delivered intact or accounted for.
#include <atomic>
#include <future>
#include <random>

#include "api/api_fixture.h"
#include "common/emulated.h"

namespace {

using namespace kavri_api_test;
using kavri::api::priv_of;

// Under an emulator, whose frames come some ten times slower, a thousand
// still take every kind of fault several times (one every 40 frames).
const int kSoakFrames = kavri_testing::emulated() ? 1000 : 2500;
constexpr uint64_t kSeed = 20261208;

// Faults a stream survives: each loses at most a couple of frames.
constexpr int kFaults[] = {CAMSIM_FAULT_CORRUPT_PAYLOAD, CAMSIM_FAULT_CORRUPT_HEADER,
                           CAMSIM_FAULT_DROP_BYTES,      CAMSIM_FAULT_DROP_CHUNKS,
                           CAMSIM_FAULT_GARBAGE_BYTES,   CAMSIM_FAULT_TIMEOUT_BULK_IN,
                           CAMSIM_FAULT_STALL_BULK_IN};
// Frames a fault or the ring in flight at the end may take with it.
constexpr int kFramesPerFault = 3;
constexpr int kFramesInRing = 16 * 153600 / kTiFrameBytes + 2;

std::vector<uint8_t> g_reference;
std::atomic<int> g_cb_frames{0};
std::atomic<int> g_cb_bad{0};
std::atomic<int> g_cb_discard_reports{0};
std::atomic<int> g_cb_target{0};

void check_frame(kavri_dev_t *dev, kavri_frame_t *f) {
    const bool ok = f->frame_info.frame_size == kTiFrameBytes &&
                    std::memcmp(f->frame_data, g_reference.data(), kTiFrameBytes) == 0;
    if (!ok) ++g_cb_bad;
    if (++g_cb_frames == g_cb_target.load()) kavri_cap_stop(dev);
}

uint8_t note_error(kavri_dev_t *, int32_t error, uint32_t) {
    if (error == KAVRI_ERR_CAP_FRAME_DISCARD) ++g_cb_discard_reports;
    return error == KAVRI_ERR_CAP_FRAME_DISCARD;  // a transport fault ends the soak
}

class Soak : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        cam_ = plug();
        dev_ = open_first();
        ASSERT_NE(dev_, nullptr);
        // No noise, no drift: every frame of the scene is the same.
        g_reference.assign(kTiFrameBytes, 0);
        ASSERT_EQ(kavri_cap_snapshot(dev_, g_reference.data(), kTiFrameBytes, nullptr), 1);
    }

    // Injects a random fault now and then from another thread while `busy`.
    std::future<int> fault_injector(std::atomic<bool> &busy) {
        return std::async(std::launch::async, [this, &busy] {
            std::mt19937_64 rng(kSeed);
            int injected = 0;
            uint64_t last_frames = 0;
            while (busy.load()) {
                const uint64_t frames = camera_stats(cam_).frames;
                if (frames >= last_frames + 40) {
                    last_frames = frames;
                    const int fault = kFaults[rng() % std::size(kFaults)];
                    camsim_inject(cam_, fault, 1, fault == CAMSIM_FAULT_TIMEOUT_BULK_IN ? 5000 : 0,
                                  nullptr);
                    ++injected;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return injected;
        });
    }

    // Frames the camera sent against frames taken by the engine (delivered,
    // or dropped because the request was full) and counted by the parser;
    // the difference is bounded by the faults.
    void expect_accounted(uint64_t delivered, int injected, uint64_t frames_before,
                          uint64_t fetched_before) {
        kv_stream_state_t st{};
        kv_stream_get_state(priv_of(dev_)->stream, &st);
        const uint64_t sent = camera_stats(cam_).frames - frames_before;
        const uint64_t fetched = priv_of(dev_)->frames_fetched.load() - fetched_before;
        const uint64_t counted = fetched + st.frames_discarded + st.frames_dropped;
        EXPECT_LE(delivered, fetched);
        EXPECT_LE(fetched, sent);
        EXPECT_GE(counted + static_cast<uint64_t>(injected * kFramesPerFault + kFramesInRing), sent)
            << "delivered " << delivered << " discarded " << st.frames_discarded << " dropped "
            << st.frames_dropped << " injected " << injected;
    }

    int cam_ = -1;
    kavri_dev_t *dev_ = nullptr;
};

TEST_F(Soak, GetFramesWithRandomFaults) {
    std::vector<uint8_t> buf(4 * kTiFrameBytes);
    const uint64_t before = camera_stats(cam_).frames;
    const uint64_t fetched_before = priv_of(dev_)->frames_fetched.load();
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    std::atomic<bool> busy{true};
    auto injector = fault_injector(busy);
    int delivered = 0;
    int bad = 0;
    while (delivered < kSoakFrames) {
        kavri_frame_info_t info{};
        const int n =
            kavri_cap_get_frames(dev_, 4, buf.data(), static_cast<uint32_t>(buf.size()), &info);
        ASSERT_GE(n, 0) << "after " << delivered << " frames";
        for (int i = 0; i < n; ++i)
            bad +=
                std::memcmp(buf.data() + i * kTiFrameBytes, g_reference.data(), kTiFrameBytes) != 0;
        if (n > 0) {
            EXPECT_EQ(info.frame_size, kTiFrameBytes);
        }
        delivered += n;
    }
    busy = false;
    const int injected = injector.get();
    ASSERT_EQ(kavri_cap_stop(dev_), 1);
    EXPECT_EQ(bad, 0);
    EXPECT_GT(injected, 10);
    // Frames dropped unseen because a request was already full also count.
    expect_accounted(static_cast<uint64_t>(delivered), injected, before, fetched_before);
}

TEST_F(Soak, CallbacksAndWaitWithRandomFaults) {
    g_cb_frames = 0;
    g_cb_bad = 0;
    g_cb_discard_reports = 0;
    g_cb_target = kSoakFrames;
    kavri_cap_set_callback_on_frame_ready(dev_, check_frame);
    kavri_cap_set_callback_on_error(dev_, note_error);
    const uint64_t before = camera_stats(cam_).frames;
    const uint64_t fetched_before = priv_of(dev_)->frames_fetched.load();
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    std::atomic<bool> busy{true};
    auto injector = fault_injector(busy);
    EXPECT_EQ(kavri_cap_wait(dev_, 0), 1);
    busy = false;
    const int injected = injector.get();
    EXPECT_GE(g_cb_frames.load(), kSoakFrames);
    EXPECT_EQ(g_cb_bad.load(), 0);
    EXPECT_GT(g_cb_discard_reports.load(), 0);
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 0);
    expect_accounted(static_cast<uint64_t>(g_cb_frames.load()), injected, before, fetched_before);
}

}  // namespace
