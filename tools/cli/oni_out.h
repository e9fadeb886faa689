// An ONI recording of distance (depth, 1 mm) and optionally amplitude (IR,
// 16-bit gray) frames; the file is finished when the object goes.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavri::cli {

class OniOut {
  public:
    // Throws CliError when the file cannot be created.
    OniOut(const std::string &path, uint32_t width, uint32_t height, uint32_t fps, bool with_gray);
    ~OniOut();
    OniOut(const OniOut &) = delete;
    OniOut &operator=(const OniOut &) = delete;

    void add(std::span<const float> dist_m, std::span<const float> gray, uint64_t micros);
    void close();
    uint32_t frames() const { return frames_; }

  private:
    oni_file_t file_{};
    oni_stream_t *depth_ = nullptr, *ir_ = nullptr;
    std::vector<uint16_t> pixels_;
    uint32_t frames_ = 0;
    bool open_ = false;
};

}  // namespace kavri::cli
