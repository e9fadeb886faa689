#include "cli/frame_source.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "cli/cli_error.h"
#include "cli/params.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

// Room for one raw frame: the library's own scratch buffer has this size.
constexpr uint32_t kRawBufferBytes = 4u << 20;
// Waits for a frame that come back empty before the stream counts as dead.
constexpr int kEmptyWaitsAllowed = 2;
constexpr double kMicrosPerSecond = 1e6;
// How often a replay is asked for its next frame while none is ready.
constexpr std::chrono::milliseconds kReplayPoll{2};
// A replay in real time may stay quiet as long as the recording did; past
// its whole duration and this much more it is stuck.
constexpr std::chrono::seconds kReplayQuietSlack{3};
// A replay's frame index that does not move forward (as a signed 16-bit
// step) means it started over, by a loop or a seek back: not 65535 drops.
constexpr int16_t kNoAdvance = 0;

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
    if (is_replay(dev)) check_replay_setup(s);
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
    if (s.no_calib && kavri_filter_disable(dev, KAVRI_FILTER_CALIB) < 0)
        throw CliError(kExitFailure, "the driver cannot switch the calibration off",
                       "leave --no-calib out for this camera");
    if (s.temporal_motion >= 0 || s.temporal_holes >= 0) {
        // One call sets both: the one not given keeps the device's value.
        uint16_t motion_mm = 0;
        uint8_t holes = 0;
        if (kavri_temporal_get(dev, nullptr, &motion_mm, &holes) < 0 ||
            kavri_temporal_set(
                dev, s.temporal_motion >= 0 ? static_cast<uint16_t>(s.temporal_motion) : motion_mm,
                s.temporal_holes >= 0 ? static_cast<uint8_t>(s.temporal_holes) : holes) != 1)
            throw CliError(kExitFailure,
                           "the driver refused the temporal filter's motion threshold or hole "
                           "persistence",
                           "this camera's chip driver may not offer the temporal filter; leave "
                           "--temporal-motion and --temporal-holes out");
    }
    // Last: switching any other filter starts the temporal history afresh.
    if (s.temporal >= 0)
        enable(dev, KAVRI_FILTER_TEMPORAL, static_cast<uint16_t>(s.temporal), "temporal filtering");
}

FrameSource::FrameSource(kavri_dev_t *dev)
    : dev_(dev), replay_(is_replay(dev)), buf_(kRawBufferBytes) {}

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
    if (replay_)
        replay_quiet_limit_ = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(replay_info(dev_).duration_ns) + kReplayQuietSlack);
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
    if (!try_next())
        throw CliError(kExitCaptureFailed,
                       "the recording ended after " + std::to_string(frames_) + " frames",
                       "ask for fewer frames (-n), or record a longer one");
}

bool FrameSource::replay_ended() const {
    kavri_rec_info_t info{};
    return kavri_rec_get_info(dev_, &info) == KAVRI_REC_OK && info.ended != 0;
}

bool FrameSource::try_next() {
    if (replay_) {
        if (!fetch_replay()) return false;
    } else {
        fetch_live();
    }
    count(std::chrono::steady_clock::now());
    return true;
}

void FrameSource::fetch_live() {
    for (int empty = 0;; ++empty) {
        const int r =
            kavri_cap_get_frames_meta(dev_, 1, buf_.data(), kRawBufferBytes, &info_, &meta_, 1);
        discarded_ = g_discarded.load();
        if (r == 1) return;
        if (r < 0) stream_failed(r);
        if (const int32_t e = g_stream_error.load(); e != 0) stream_failed(e);
        if (empty >= kEmptyWaitsAllowed)
            throw CliError(kExitCaptureFailed, "no frame arrived from the camera",
                           "replug the camera; `kavri-cli doctor` checks the set-up");
    }
}

bool FrameSource::fetch_replay() {
    // A replay's end is no stream event that would wake a waiting fetch, so
    // the frames are polled and the replay asked in between.
    const auto give_up = std::chrono::steady_clock::now() + replay_quiet_limit_;
    for (;;) {
        const int r = kavri_cap_get_frame(dev_, buf_.data(), kRawBufferBytes, &info_);
        discarded_ = g_discarded.load();
        if (r == 1) {
            // The only fetching thread, no frame callback: the last frame
            // delivered is this one.
            kavri_cap_get_frame_meta(dev_, &meta_);
            return true;
        }
        if (r < 0) stream_failed(r);
        if (const int32_t e = g_stream_error.load(); e != 0) stream_failed(e);
        // Ended counts only when no frame waits, so none is left behind.
        if (replay_ended()) return false;
        if (std::chrono::steady_clock::now() >= give_up)
            throw CliError(kExitCaptureFailed, "the replay delivered no frame for a long time",
                           "see the library's log (-v); the recording may be damaged");
        std::this_thread::sleep_for(kReplayPoll);
    }
}

void FrameSource::count(const std::chrono::steady_clock::time_point &now) {
    if (frames_ == 0) {
        first_ = now;
    } else {
        const uint16_t gap = static_cast<uint16_t>(info_.frame_idx - last_index_);
        if (replay_ && static_cast<int16_t>(gap) <= kNoAdvance) {
            ++restarts_;
            ++stream_ticks_;
        } else {
            if (gap > 1) dropped_ += gap - 1u;
            stream_ticks_ += gap;
        }
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
    if (replay_ && fps_setting_ != 0)
        return static_cast<uint64_t>(static_cast<double>(stream_ticks_) * kMicrosPerSecond /
                                     fps_setting_);
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(last_ - first_).count());
}

kavri_cap_stats_t FrameSource::library_stats() const {
    kavri_cap_stats_t s{};
    kavri_cap_get_stats(dev_, &s);
    return s;
}

std::string lost_by_cause(const kavri_cap_stats_t &s) {
    auto u = [](uint64_t v) { return std::to_string(v); };
    std::string out = u(s.frames_lost) + " lost in transfer, " + u(s.frames_discarded) +
                      " damaged, " + u(s.frames_dropped) + " dropped for a slow fetch, " +
                      u(s.frames_refused) + " refused by the consistency check; " +
                      u(s.bytes_skipped) + " stream bytes skipped";
    if (s.transfer_timeouts + s.transfer_stalls + s.transfer_errors != 0)
        out += "; transfers: " + u(s.transfer_timeouts) + " timed out, " + u(s.transfer_stalls) +
               " stalled, " + u(s.transfer_errors) + " failed";
    return out;
}

void decode_distance(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out) {
    decode(dev, src, out, true);
}

void decode_gray(kavri_dev_t *dev, const FrameSource &src, std::vector<float> &out) {
    decode(dev, src, out, false);
}

}  // namespace kavri::cli
