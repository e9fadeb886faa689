#include "cli/frame_source.h"

#include <atomic>
#include <string>

#include "cli/cli_error.h"
#include "cli/params.h"

namespace kavri::cli {
namespace {

// Room for one raw frame: the library's own scratch buffer has this size.
constexpr uint32_t kRawBufferBytes = 4u << 20;
// Waits for a frame that come back empty before the stream counts as dead.
constexpr int kEmptyWaitsAllowed = 2;

// What the error callback saw; it runs on the thread that waits for frames.
std::atomic<uint32_t> g_discarded{0};
std::atomic<int32_t> g_stream_error{0};

[[noreturn]] void stream_failed(int32_t code) {
    throw CliError(kExitCaptureFailed,
                   std::string("the frame stream failed: ") + kavri_error_name(code) + " (" +
                       std::to_string(code) + ")",
                   "check the cable and use a high-speed port; replug the camera");
}

template <typename T>
void enable(kavri_dev_t *dev, int id, T arg, const char *what) {
    if (kavri_filter_enable(dev, id, &arg, sizeof arg) != 1)
        throw CliError(kExitFailure, std::string("the driver refused ") + what,
                       "this camera's chip driver may not offer it; leave the option out");
}

void set_u(kavri_dev_t *dev, uint32_t id, uint32_t value, size_t bytes, const char *what) {
    kavri_param_item_t item{};
    item.param_id = id;
    item.param_val_len = static_cast<uint8_t>(bytes);
    for (size_t i = 0; i < bytes; ++i) item.param_val[i] = static_cast<uint8_t>(value >> (8 * i));
    if (kavri_param_batch_set(dev, &item, 1) != 1)
        throw CliError(kExitFailure,
                       std::string("the camera refused ") + what + " " + std::to_string(value),
                       "pick a value the camera supports (see the log for its reason)");
}

void decode(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out, bool distance) {
    const kavri_frame_info_t &info = src.info();
    const uint32_t pixels = info.width * info.height;
    if (pixels == 0)
        throw CliError(kExitCaptureFailed, "the driver could not describe the frame",
                       "see the log; the camera may send frames this library does not know");
    out.resize(pixels);
    const auto raw = src.raw();
    const int n = distance ? kavri_frame_get_distance(dev, out.data(), pixels, raw.data(),
                                                      static_cast<uint32_t>(raw.size()), &info)
                           : kavri_frame_get_gray(dev, out.data(), pixels, raw.data(),
                                                  static_cast<uint32_t>(raw.size()), &info);
    if (n <= 0)
        throw CliError(kExitCaptureFailed,
                       std::string("the driver could not decode a frame into ") +
                           (distance ? "distances" : "gray values"),
                       "see the log; `kavri-cli info` shows the driver in use");
}

}  // namespace

void apply_setup(kavri_dev_t *dev, const CameraSetup &s) {
    if (s.mod_freq != 0) set_u(dev, KAVRI_PARAM_MOD_FREQ, s.mod_freq, 4, "modulation frequency");
    if (s.fps != 0) set_u(dev, KAVRI_PARAM_FPS, s.fps, 4, "frame rate");
    if (s.intg_time >= 0)
        set_u(dev, KAVRI_PARAM_INTG_TIME, static_cast<uint32_t>(s.intg_time), 2,
              "integration time");
    if (s.undistort && kavri_filter_enable(dev, KAVRI_FILTER_UNDISTORT, nullptr, 0) != 1)
        throw CliError(kExitFailure, "the driver refused lens undistortion",
                       "leave --undistort out for this camera");
    if (s.smooth >= 0)
        enable(dev, KAVRI_FILTER_SMOOTH, static_cast<uint8_t>(s.smooth), "smoothing");
    if (s.amp_min >= 0)
        enable(dev, KAVRI_FILTER_AMP_MIN, static_cast<uint16_t>(s.amp_min), "minimum amplitude");
    if (s.auto_intg >= 0)
        enable(dev, KAVRI_FILTER_AUTO_INTG, static_cast<uint16_t>(s.auto_intg),
               "automatic integration");
    if (s.offset_mm != 0) enable(dev, KAVRI_FILTER_OFFSET, s.offset_mm, "distance offset");
}

FrameSource::FrameSource(kavri_dev_t *dev) : dev_(dev), buf_(kRawBufferBytes) {}

FrameSource::~FrameSource() {
    stop();
}

uint8_t FrameSource::on_error(kavri_dev_t *, int32_t error, uint32_t arg) {
    // Damaged frames are counted; the capture goes on. Stream failures stay
    // pending and come back from the next fetch.
    if (error == KAVRI_ERR_CAP_FRAME_DISCARD) {
        g_discarded.store(arg);
        return 1;
    }
    g_stream_error.store(error);
    return 0;
}

void FrameSource::start() {
    fps_setting_ = item_u32(get_param(dev_, KAVRI_PARAM_FPS));
    g_discarded.store(0);
    g_stream_error.store(0);
    kavri_cap_set_callback_on_error(dev_, &FrameSource::on_error);
    if (kavri_cap_start(dev_) != 1)
        throw CliError(kExitCaptureFailed, "the camera did not start its frame stream",
                       "replug the camera and try again; see the log for the reason");
    started_ = true;
}

void FrameSource::stop() {
    if (!started_) return;
    started_ = false;
    kavri_cap_stop(dev_);
    kavri_cap_set_callback_on_error(dev_, nullptr);
}

void FrameSource::next() {
    for (int empty = 0;; ++empty) {
        const int r = kavri_cap_get_frames(dev_, 1, buf_.data(), kRawBufferBytes, &info_);
        discarded_ = g_discarded.load();
        if (r == 1) break;
        if (r < 0) stream_failed(r);
        if (const int32_t e = g_stream_error.load(); e != 0) stream_failed(e);
        if (empty >= kEmptyWaitsAllowed)
            throw CliError(kExitCaptureFailed, "no frame arrived from the camera",
                           "replug the camera; `kavri-cli doctor` checks the set-up");
    }
    const auto now = std::chrono::steady_clock::now();
    if (frames_ == 0) {
        first_ = now;
    } else {
        const uint16_t gap = static_cast<uint16_t>(info_.frame_idx - last_index_);
        if (gap > 1) dropped_ += gap - 1u;
    }
    last_ = now;
    last_index_ = info_.frame_idx;
    ++frames_;
}

double FrameSource::seconds() const {
    return frames_ < 2 ? 0.0 : std::chrono::duration<double>(last_ - first_).count();
}

double FrameSource::rate() const {
    const double s = seconds();
    return s > 0.0 ? (frames_ - 1) / s : 0.0;
}

uint64_t FrameSource::micros_since_first() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(last_ - first_).count());
}

void decode_distance(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out) {
    decode(dev, src, out, true);
}

void decode_gray(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out) {
    decode(dev, src, out, false);
}

}  // namespace kavri::cli
