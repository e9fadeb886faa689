#include "soak_camera.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "api/dev_priv.h"
#include "camsim.h"
#include "kavri/epc.h"

namespace kavri_soak {
namespace {

using namespace std::chrono_literals;

constexpr int kFramesPerCall = 2;
constexpr uint32_t kRingBytes = 16 * 153600;  // stream transfers in flight
constexpr uint64_t kFramesPerFault = 3;       // a stream fault may cost that many
// Frames lost at a stop besides the ring: the one being assembled, and
// those the camera had queued but not yet sent.
constexpr uint64_t kFramesAtStop = 4;
constexpr int kReopenAttempts = 200;
constexpr auto kReopenPause = 10ms;
constexpr uint8_t kParamModFreq = 1;
constexpr uint8_t kParamFrameRate = 12;
constexpr uint32_t kRates[] = {30, 60, 90, 120};
constexpr auto kUnplugReportLimit = 1000ms;

const int kSimFault[] = {CAMSIM_FAULT_STALL_BULK_IN,   CAMSIM_FAULT_TIMEOUT_BULK_IN,
                         CAMSIM_FAULT_CORRUPT_PAYLOAD, CAMSIM_FAULT_CORRUPT_HEADER,
                         CAMSIM_FAULT_DROP_BYTES,      CAMSIM_FAULT_DROP_CHUNKS,
                         CAMSIM_FAULT_GARBAGE_BYTES,   CAMSIM_FAULT_STATUS_BUSY};

kavri_param_item_t u32_item(uint8_t id, uint32_t v) {
    kavri_param_item_t it{};
    it.param_id = id;
    it.param_val_len = 4;
    for (int i = 0; i < 4; ++i) it.param_val[i] = static_cast<uint8_t>(v >> (8 * i));
    return it;
}

}  // namespace

const char *fault_name(int kind) {
    static const char *const names[kFaultKinds] = {"stall",           "time-out",
                                                   "corrupt payload", "corrupt header",
                                                   "dropped bytes",   "dropped chunk",
                                                   "garbage",         "busy status",
                                                   "unplug+replug",   "close from other thread"};
    return kind >= 0 && kind < kFaultKinds ? names[kind] : "?";
}

uint64_t rss_kb() {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    uint64_t kb = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %lu kB", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

SoakCamera::SoakCamera(CameraPlan plan)
    : plan_(std::move(plan)),
      rng_(plan_.seed),
      buf_(size_t(plan_.frame_bytes) * kFramesPerCall),
      dist_(size_t(plan_.frame_bytes) / 2) {}

uint64_t SoakCamera::camera_frames() const {
    camsim_camera_stats_t s{};
    camsim_get_camera_stats(plan_.cam, &s);
    return s.frames;
}

void SoakCamera::run() {
    while (stats_.delivered < plan_.target_frames) {
        if (!open()) {
            ADD_FAILURE() << "camera " << plan_.cam << " does not open again";
            return;
        }
        round();
    }
}

bool SoakCamera::open() {
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        dev_ = plan_.listed;
        if (kavri_dev_open(&dev_) == &dev_) {
            ++stats_.opens;
            return true;
        }
        ++stats_.reopen_failures;
        std::this_thread::sleep_for(kReopenPause);
    }
    return false;
}

bool SoakCamera::start_segment() {
    seg_sent0_ = camera_frames();
    seg_fetched0_ = kavri::api::priv_of(&dev_)->frames_fetched.load();
    seg_faults_ = 0;
    return kavri_cap_start(&dev_) == 1;
}

// Frames the camera sent in the segment are delivered, or counted by the
// parser, or lost to a fault or to the ring in flight at the stop.
void SoakCamera::end_segment(bool account) {
    // The parser keeps its counters until the next start; read them after the
    // stop so frames that arrive while it stops are counted too.
    kavri_cap_stop(&dev_);
    kv_stream_state_t st{};
    kv_stream_get_state(kavri::api::priv_of(&dev_)->stream, &st);
    stats_.discarded += st.frames_discarded;
    stats_.dropped += st.frames_dropped;
    const uint64_t sent = camera_frames() - seg_sent0_;
    stats_.sent += sent;
    if (!account) return;
    const uint64_t fetched = kavri::api::priv_of(&dev_)->frames_fetched.load() - seg_fetched0_;
    const uint64_t allowance =
        seg_faults_ * kFramesPerFault + kRingBytes / plan_.frame_bytes + kFramesAtStop;
    const uint64_t counted = fetched + st.frames_discarded + st.frames_dropped + allowance;
    if (counted < sent) stats_.unaccounted += sent - counted;
}

void SoakCamera::round() {
    const uint64_t round_frames = 50 + rng_() % 300;
    const End end = static_cast<End>(rng_() % 3);
    if (!start_segment()) {
        ++stats_.capture_errors;
        kavri_dev_close(&dev_);
        return;
    }
    uint64_t got = 0;
    while (got < round_frames && stats_.delivered < plan_.target_frames) {
        kavri_frame_info_t info{};
        const int n = kavri_cap_get_frames(&dev_, kFramesPerCall, buf_.data(),
                                           static_cast<uint32_t>(buf_.size()), &info);
        if (n < 0) {
            // A transport fault ended the capture: start a new one.
            ++stats_.capture_errors;
            end_segment(false);
            if (!start_segment()) break;
            continue;
        }
        take(buf_.data(), n, info);
        got += static_cast<uint64_t>(n);
        if (n > 0 && rng_() % 16 == 0) convert(buf_.data(), info);
        if (rng_() % 8 == 0) random_action();
    }
    switch (end) {
        case End::kClose:
            end_segment(true);
            kavri_dev_close(&dev_);
            break;
        case End::kUnplug:
            end_by_unplug();
            break;
        case End::kCloseFromOtherThread:
            end_by_foreign_close();
            break;
    }
}

void SoakCamera::take(const uint8_t *frames, int n, const kavri_frame_info_t &info) {
    if (n <= 0) return;
    if (info.frame_size != plan_.frame_bytes) stats_.bad += static_cast<uint64_t>(n);
    for (int i = 0; i < n; ++i) {
        if (intact(frames + size_t(i) * plan_.frame_bytes))
            note_intact();
        else
            ++stats_.bad;
    }
    stats_.delivered += static_cast<uint64_t>(n);
    progress_.store(stats_.delivered, std::memory_order_relaxed);
}

bool SoakCamera::intact(const uint8_t *frame) const {
    for (const auto &ref : plan_.references)
        if (std::memcmp(frame, ref.data(), plan_.frame_bytes) == 0) return true;
    return false;
}

void SoakCamera::note_intact() {
    for (int kind : pending_) ++stats_.survived[static_cast<size_t>(kind)];
    pending_.clear();
}

void SoakCamera::random_action() {
    switch (rng_() % 4) {
        case 0:
            inject_stream_fault();
            break;
        case 1:
            change_rate();
            break;
        case 2:
            if (plan_.epc) change_freq();
            break;
        default:
            if (plan_.epc) switch_filter();
            break;
    }
}

void SoakCamera::inject_stream_fault() {
    const int kind = static_cast<int>(rng_() % (kBusyStatus + 1));
    const uint32_t arg = kind == kTimeout ? 5000 : 0;
    ASSERT_EQ(camsim_inject(plan_.cam, kSimFault[kind], 1, arg, nullptr), CAMSIM_OK);
    ++stats_.injected[static_cast<size_t>(kind)];
    pending_.push_back(kind);
    ++seg_faults_;
}

void SoakCamera::change_rate() {
    kavri_param_item_t it = u32_item(kParamFrameRate, kRates[rng_() % std::size(kRates)]);
    kavri_param_batch_set(&dev_, &it, 1);
    ++stats_.rate_changes;
}

// The camera's frames at each frequency are among the references.
void SoakCamera::change_freq() {
    static constexpr uint32_t kFreqs[] = {12000000, 24000000};
    kavri_param_item_t it = u32_item(kParamModFreq, kFreqs[rng_() % std::size(kFreqs)]);
    kavri_param_batch_set(&dev_, &it, 1);
    ++stats_.freq_changes;
}

void SoakCamera::switch_filter() {
    const int which = static_cast<int>(rng_() % 3);
    const bool on = rng_() % 2 == 0;
    if (which == 0) {
        on ? kavri_filter_enable(&dev_, KAVRI_FILTER_UNDISTORT, nullptr, 0)
           : kavri_filter_disable(&dev_, KAVRI_FILTER_UNDISTORT);
    } else if (which == 1) {
        const uint8_t level = static_cast<uint8_t>(2 + rng_() % 3);
        on ? kavri_filter_enable(&dev_, KAVRI_FILTER_SMOOTH, &level, sizeof level)
           : kavri_filter_disable(&dev_, KAVRI_FILTER_SMOOTH);
    } else {
        const uint16_t amp = static_cast<uint16_t>(rng_() % 50);
        on ? kavri_filter_enable(&dev_, KAVRI_FILTER_AMP_MIN, &amp, sizeof amp)
           : kavri_filter_disable(&dev_, KAVRI_FILTER_AMP_MIN);
    }
    ++stats_.filter_switches;
}

void SoakCamera::convert(const uint8_t *frame, const kavri_frame_info_t &info) {
    kavri_frame_get_distance(&dev_, dist_.data(), static_cast<uint32_t>(dist_.size()), frame,
                             plan_.frame_bytes, &info);
    ++stats_.conversions;
}

// The camera leaves the bus mid-capture: the capture reports an error, the
// handle is closed, the camera comes back and is opened again next round.
void SoakCamera::end_by_unplug() {
    ++stats_.injected[kUnplugReplug];
    pending_.push_back(kUnplugReplug);
    ASSERT_EQ(camsim_inject(plan_.cam, CAMSIM_FAULT_UNPLUG, 0, 0, nullptr), CAMSIM_OK);
    // The capture reports the lost camera as an error; frames already
    // assembled may still come first.
    const auto limit = std::chrono::steady_clock::now() + kUnplugReportLimit;
    while (std::chrono::steady_clock::now() < limit) {
        kavri_frame_info_t info{};
        const int n =
            kavri_cap_get_frame(&dev_, buf_.data(), static_cast<uint32_t>(buf_.size()), &info);
        if (n < 0) {
            ++stats_.unplug_reported;
            break;
        }
        take(buf_.data(), n, info);
        if (n == 0) std::this_thread::sleep_for(1ms);
    }
    end_segment(false);
    kavri_dev_close(&dev_);
    ASSERT_EQ(camsim_replug(plan_.cam, 1), CAMSIM_OK);
}

// Another thread closes the handle while this one waits for frames: the
// waiting call returns, later calls on the closed handle fail cleanly.
void SoakCamera::end_by_foreign_close() {
    ++stats_.injected[kCloseFromOtherThread];
    pending_.push_back(kCloseFromOtherThread);
    kv_stream_state_t st{};
    kv_stream_get_state(kavri::api::priv_of(&dev_)->stream, &st);
    stats_.discarded += st.frames_discarded;
    stats_.dropped += st.frames_dropped;
    const auto delay = std::chrono::milliseconds(rng_() % 20);
    std::thread closer([this, delay] {
        std::this_thread::sleep_for(delay);
        kavri_dev_close(&dev_);
    });
    for (int i = 0; i < 1000; ++i) {
        kavri_frame_info_t info{};
        const int n =
            kavri_cap_get_frames(&dev_, 1, buf_.data(), static_cast<uint32_t>(buf_.size()), &info);
        if (n < 0) break;
        take(buf_.data(), n, info);
    }
    closer.join();
    EXPECT_LT(
        kavri_cap_get_frames(&dev_, 1, buf_.data(), static_cast<uint32_t>(buf_.size()), nullptr),
        0);
    stats_.sent += camera_frames() - seg_sent0_;
}

}  // namespace kavri_soak
