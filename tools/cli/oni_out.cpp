#include "cli/oni_out.h"

#include <algorithm>
#include <cmath>

#include "cli/cli_error.h"
#include "cli/images.h"

namespace kavri::cli {
namespace {

// Depth values beyond this are not expected from the camera (mm).
constexpr int32_t kMaxDepthMm = 16000;
constexpr float kMmPerMetre = 1000.0f;
constexpr float kMaxGray = 65535.0f;
// Timestamps start one frame period in: 0 would mean "now" to the writer.
constexpr uint64_t kFirstStampUs = 1;

}  // namespace

OniOut::OniOut(const std::string &path, uint32_t width, uint32_t height, uint32_t fps,
               bool with_gray)
    : pixels_(static_cast<size_t>(width) * height) {
    if (!oni_open(&file_, path.c_str()))
        throw CliError(kExitFileError, "cannot create the ONI file " + path,
                       "check that the folder exists and is writable");
    open_ = true;
    oni_stream_config_t cfg{};
    cfg.kind = ONI_NODE_DEPTH;
    cfg.pixel_format = ONI_PIXEL_FORMAT_DEPTH_1_MM;
    cfg.max_depth = kMaxDepthMm;
    cfg.x_res = static_cast<int32_t>(width);
    cfg.y_res = static_cast<int32_t>(height);
    cfg.bytes_per_pixel = 2;
    cfg.fps = static_cast<int32_t>(fps);
    depth_ = oni_stream_open(&file_, &cfg);
    if (with_gray) {
        cfg.kind = ONI_NODE_IR;
        cfg.pixel_format = ONI_PIXEL_FORMAT_GRAY16;
        ir_ = oni_stream_open(&file_, &cfg);
    }
    if (depth_ == nullptr || (with_gray && ir_ == nullptr)) {
        close();
        throw CliError(kExitFileError, "cannot write the ONI streams of " + path,
                       "check the free space of the disk");
    }
}

OniOut::~OniOut() {
    close();
}

void OniOut::close() {
    if (!open_) return;
    open_ = false;
    oni_close(&file_);
}

void OniOut::add(std::span<const float> dist_m, std::span<const float> gray, uint64_t micros) {
    const uint64_t stamp = kFirstStampUs + micros;
    const size_t n = std::min(dist_m.size(), pixels_.size());
    // Depth players read 0 as "no depth": markers and failed pixels become 0.
    for (size_t i = 0; i < n; ++i)
        pixels_[i] = valid_distance(dist_m[i])
                         ? static_cast<uint16_t>(std::lround(dist_m[i] * kMmPerMetre))
                         : 0;
    oni_stream_save_frame(depth_, pixels_.data(), static_cast<uint32_t>(n * 2), stamp);
    if (ir_ != nullptr) {
        const size_t m = std::min(gray.size(), pixels_.size());
        for (size_t i = 0; i < m; ++i)
            pixels_[i] = static_cast<uint16_t>(
                std::isfinite(gray[i]) ? std::clamp(gray[i], 0.0f, kMaxGray) : 0.0f);
        oni_stream_save_frame(ir_, pixels_.data(), static_cast<uint32_t>(m * 2), stamp);
    }
    ++frames_;
}

}  // namespace kavri::cli
