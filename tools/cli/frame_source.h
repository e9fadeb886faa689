// Frames from an open camera or a replayed recording, one at a time, with
// the counts a user wants to see afterwards: frames, rate, frames lost in
// the stream (index gaps) and frames the library discarded as damaged.
#pragma once

#include <kavri.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace kavri::cli {

// Applies settings and filters before a capture; throws CliError.
void apply_setup(kavri_dev_t *dev, const CameraSetup &s);

class FrameSource {
  public:
    explicit FrameSource(kavri_dev_t *dev);
    ~FrameSource();
    FrameSource(const FrameSource &) = delete;
    FrameSource &operator=(const FrameSource &) = delete;

    void start();  // throws CliError
    void stop();
    // Waits for the next frame; throws CliError when the stream fails.
    void next();
    // As next(), but false when a replay has delivered its last frame and
    // none is left waiting (a camera never ends: it throws instead).
    bool try_next();

    std::span<const uint8_t> raw() const { return {buf_.data(), info_.frame_size}; }
    const kavri_frame_info_t &info() const { return info_; }
    // The library's description of the current frame: its arrival time
    // (CLOCK_MONOTONIC for a camera, the recording's own time for a replay).
    const kavri_frame_meta_t &meta() const { return meta_; }
    // The library's counts of the running (or last) capture, lost frames by cause.
    kavri_cap_stats_t library_stats() const;
    uint32_t frames() const { return frames_; }
    uint32_t dropped() const { return dropped_; }
    uint32_t discarded() const { return discarded_; }
    uint32_t fps_setting() const { return fps_setting_; }
    // Times the frame index went back on a replay (a loop or a seek back).
    uint32_t restarts() const { return restarts_; }
    double seconds() const;  // from the first frame to the last
    double rate() const;     // frames a second over that time
    // The current frame's time since the first: as fetched from a camera; on
    // a replay the stream's time at the recorded frame rate, since a fast
    // replay hands frames out quicker than they were taken.
    uint64_t micros_since_first() const;

  private:
    static uint8_t on_error(kavri_dev_t *dev, int32_t error, uint32_t arg);
    bool replay_ended() const;
    void fetch_live();
    bool fetch_replay();
    void count(const std::chrono::steady_clock::time_point &now);

    kavri_dev_t *dev_;
    bool replay_;
    std::vector<uint8_t> buf_;
    kavri_frame_info_t info_{};
    kavri_frame_meta_t meta_{};
    uint32_t frames_ = 0, dropped_ = 0, discarded_ = 0, fps_setting_ = 0, restarts_ = 0;
    uint64_t stream_ticks_ = 0;  // frame periods since the first frame (replays)
    std::chrono::steady_clock::duration replay_quiet_limit_{};
    uint16_t last_index_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point first_, last_;
};

// One line of the library's counts: frames lost in transfer, damaged,
// dropped for a slow fetch, refused, bytes skipped, and the transfers that
// failed when any did.
std::string lost_by_cause(const kavri_cap_stats_t &s);

// Distance (metres) and gray images of the current frame; throws CliError.
void decode_distance(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out);
void decode_gray(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out);

}  // namespace kavri::cli
