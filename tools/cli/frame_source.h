// Frames from an open camera, one at a time, with the counts a user wants
// to see afterwards: frames, rate, frames lost in the stream (index gaps)
// and frames the library discarded as damaged.
#pragma once

#include <kavri.h>

#include <chrono>
#include <cstdint>
#include <span>
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

    std::span<const uint8_t> raw() const { return {buf_.data(), info_.frame_size}; }
    const kavri_frame_info_t &info() const { return info_; }
    uint32_t frames() const { return frames_; }
    uint32_t dropped() const { return dropped_; }
    uint32_t discarded() const { return discarded_; }
    uint32_t fps_setting() const { return fps_setting_; }
    double seconds() const;  // from the first frame to the last
    double rate() const;     // frames a second over that time
    uint64_t micros_since_first() const;

  private:
    static uint8_t on_error(kavri_dev_t *dev, int32_t error, uint32_t arg);

    kavri_dev_t *dev_;
    std::vector<uint8_t> buf_;
    kavri_frame_info_t info_{};
    uint32_t frames_ = 0, dropped_ = 0, discarded_ = 0, fps_setting_ = 0;
    uint16_t last_index_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::time_point first_, last_;
};

// Distance (metres) and gray images of the current frame; throws CliError.
void decode_distance(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out);
void decode_gray(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out);

}  // namespace kavri::cli
