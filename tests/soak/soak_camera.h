// One simulated camera driven through the soak: rounds of open, capture and
// close, with faults, setting changes and conversions thrown in at random.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <vector>

#include "kavri.h"
#include "soak_stats.h"

namespace kavri_soak {

struct CameraPlan {
    int cam = -1;                // simulator id
    kavri_dev_t listed{};        // located record from kavri_dev_list (reopened after replug)
    bool epc = false;            // EPC chip: frequency changes and filter switches too
    uint32_t frame_bytes = 0;    // raw frame size
    uint64_t target_frames = 0;  // frames to deliver before the run ends
    uint64_t seed = 1;
    // Intact frames: one of these (the camera's frame at each setting).
    std::vector<std::vector<uint8_t>> references;
};

class SoakCamera {
  public:
    explicit SoakCamera(CameraPlan plan);
    // Runs to the target; returns with the handle closed.
    void run();
    const CameraStats &stats() const { return stats_; }
    // Frames delivered so far, readable from any thread while run() goes on.
    uint64_t progress() const { return progress_.load(std::memory_order_relaxed); }

  private:
    enum class End { kClose, kUnplug, kCloseFromOtherThread };

    bool open();
    void round();
    bool start_segment();
    void end_segment(bool account);
    void take(const uint8_t *frames, int n, const kavri_frame_info_t &info);
    void random_action();
    void inject_stream_fault();
    void change_rate();
    void change_freq();
    void switch_filter();
    void convert(const uint8_t *frame, const kavri_frame_info_t &info);
    void end_by_unplug();
    void end_by_foreign_close();
    bool intact(const uint8_t *frame) const;
    void note_intact();
    uint64_t camera_frames() const;

    CameraPlan plan_;
    CameraStats stats_;
    std::atomic<uint64_t> progress_{0};
    std::mt19937_64 rng_;
    kavri_dev_t dev_{};
    std::vector<uint8_t> buf_;
    std::vector<float> dist_;
    // Per capture segment.
    uint64_t seg_sent0_ = 0, seg_fetched0_ = 0, seg_faults_ = 0;
    std::vector<int> pending_;  // faults injected since the last intact frame
};

}  // namespace kavri_soak
