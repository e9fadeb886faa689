// `kavri-cli view`: the capture runs on the command's own thread and hands
// every frame to the web server (tools/view/server.*), which keeps only the
// newest one per page. The page's commands run on a control thread, so a
// camera command never holds up the frames or the server, and the replay's
// play, pause, step and seek run between two frames on the capture thread,
// the only one that fetches.
#include "cli/cmd_view.h"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <optional>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/calib_state.h"
#include "cli/cli_error.h"
#include "cli/frame_source.h"
#include "cli/images.h"
#include "cli/interrupt.h"
#include "cli/oni_out.h"
#include "cli/params.h"
#include "cli/ply.h"
#include "cli/raw_recorder.h"
#include "cli/replay.h"
#include "view/access.h"
#include "view/frame_message.h"
#include "view/server.h"

#ifndef KAVRI_VIEW_WEB_SOURCE_DIR
#define KAVRI_VIEW_WEB_SOURCE_DIR ""
#endif
#ifndef KAVRI_VIEW_THREE_DIR
#define KAVRI_VIEW_THREE_DIR "/usr/share/javascript/three"
#endif

namespace kavri::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStatusEvery = std::chrono::milliseconds(500);
constexpr auto kPausedWait = std::chrono::milliseconds(20);
constexpr auto kInterruptPoll = std::chrono::milliseconds(100);
constexpr auto kRateWindow = std::chrono::seconds(1);
// The bounds of the command line's options (main.cpp), so the page is
// held to the same values.
constexpr uint64_t kMinFps = 1, kMaxFps = 120;
constexpr uint64_t kMaxPerMille = 1000;
constexpr uint64_t kMaxSmooth = 255;
constexpr size_t kFloatsPerPoint = 4;
constexpr size_t kRayFloats = 3;
constexpr float kOneMetre = 1.0f;
constexpr double kMsPerSecond = 1000.0;
constexpr double kNsPerMs = 1e6;
constexpr uint64_t kNsPerSecond = 1000000000;
constexpr const char *kInstalledWebDir = "share/kavri/view";
constexpr const char *kIndexFile = "index.html";

std::string json_str(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

double wall_ms() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// CLOCK_MONOTONIC, the library's clock for the frames' arrival times.
uint64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * kNsPerSecond + static_cast<uint64_t>(t.tv_nsec);
}

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// "view-20261210-001502" for the recordings' names.
std::string stamp_name() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "view-%Y%m%d-%H%M%S", &tm);
    return buf;
}

std::string read_and_remove(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    in.close();
    std::remove(path.c_str());
    return s.str();
}

// A temporary file name of our own (created empty, so no one else takes it).
std::string temp_file(const char *suffix) {
    std::string pattern = "/tmp/kavri-view-XXXXXX";
    pattern += suffix;
    const int fd = mkstemps(pattern.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0)
        throw CliError(kExitFileError, "cannot create a temporary file in /tmp",
                       "check that /tmp is writable");
    ::close(fd);
    return pattern;
}

int64_t parse_offset(const std::string &text) {
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        throw CliError(kExitUsage, "offset '" + text + "' is not a whole number of mm",
                       "e.g. -20 or 15");
    return v;
}

bool is_off(const std::string &v) {
    return v == "off" || v.empty();
}

// Jobs run one after the other on a thread of their own.
class Worker {
  public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mu_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

  private:
    void loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mu_);
                cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
                if (stop_) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();  // no lock held
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

// What the page shows as the camera's answer, kept by the control thread.
struct Settings {
    std::string fps = "?", intg_time = "?", mod_freq = "?";
    int auto_intg = -1, smooth = -1, amp_min = -1;
    bool undistort = false;
    int32_t offset_mm = 0;
    bool no_calib = false, calibrated = false;
    std::string temporal = "off";  // the device's weight in per mille, or off
};

std::string off_or(int v) {
    return v < 0 ? "off" : std::to_string(v);
}

class Viewer {
  public:
    Viewer(kavri_dev_t *dev, const GlobalOptions &g, const ViewOptions &o)
        : dev_(dev), g_(g), o_(o), replay_(is_replay(dev)), src_(dev) {
        settings_.auto_intg = o.setup.auto_intg;
        settings_.smooth = o.setup.smooth;
        settings_.amp_min = o.setup.amp_min;
        settings_.undistort = o.setup.undistort;
        settings_.offset_mm = o.setup.offset_mm;
        settings_.no_calib = o.setup.no_calib;
        read_settings();
        if (replay_) replay_frames_ = replay_info(dev).frame_count;
    }

    void attach(view::Server *server) { server_ = server; }

    // The capture loop, until Ctrl-C.
    void run(const InterruptFlag &stop);

    // Server thread: hooks.
    void on_open(const std::shared_ptr<view::Client> &c) {
        c->send_text(hello());
        std::lock_guard lock(latest_mu_);
        if (rays_) c->send_binary(rays_);
        if (latest_) c->send_binary(latest_);
    }
    void on_text(const std::shared_ptr<view::Client> &c, std::string line);
    std::optional<view::Download> download(std::string_view name, std::string_view target);

  private:
    std::string hello();
    std::string settings_json();  // control thread (or before it runs)
    void read_settings();
    void command(const std::shared_ptr<view::Client> &c, std::string name, std::string value);
    std::string set_control(const std::string &name, const std::string &value);
    std::string record(const std::string &what);
    std::string recording_json();
    std::string status_json(double fps, double cpu_ms);
    void replay_step(const std::string &cmd, const std::string &arg);
    void make_rays(uint32_t w, uint32_t h);
    void oni_between_frames();

    kavri_dev_t *dev_;
    const GlobalOptions &g_;
    ViewOptions o_;
    bool replay_;
    FrameSource src_;
    view::Server *server_ = nullptr;
    uint32_t replay_frames_ = 0;

    Settings settings_;                 // control thread
    std::unique_ptr<RawRecorder> raw_;  // control thread
    std::string raw_path_;              // control thread

    std::mutex latest_mu_;
    std::shared_ptr<const std::string> latest_, rays_;

    // Replay commands for the capture thread.
    std::mutex replay_mu_;
    std::deque<std::pair<std::string, std::string>> replay_cmds_;
    std::atomic<bool> paused_{false};
    bool step_pending_ = false;  // capture thread

    // ONI recording, asked for by the control thread, written by the capture thread.
    std::mutex oni_mu_;
    std::string oni_request_;  // a path to start, "-" to stop
    std::string oni_path_;
    std::atomic<uint32_t> oni_frames_{0};
    std::unique_ptr<OniOut> oni_;  // capture thread

    std::vector<float> dist_, gray_;
    std::atomic<bool> calibrated_{false};  // for the frames' flags
    std::mutex control_mu_;                // guards the pointer, not the jobs
    std::unique_ptr<Worker> control_ = std::make_unique<Worker>();
};

void Viewer::read_settings() {
    auto read = [&](uint32_t id, std::string &out) {
        try {
            out = std::to_string(item_u32(get_param(dev_, id)));
        } catch (const CliError &) {
            out = "?";
        }
    };
    read(KAVRI_PARAM_FPS, settings_.fps);
    try {
        settings_.intg_time = std::to_string(item_u16(get_param(dev_, KAVRI_PARAM_INTG_TIME)));
    } catch (const CliError &) {
        settings_.intg_time = "?";
    }
    read(KAVRI_PARAM_MOD_FREQ, settings_.mod_freq);
    // Asking switches the calibration on, so not after --no-calib.
    settings_.calibrated =
        !settings_.no_calib && kavri_filter_enable(dev_, KAVRI_FILTER_CALIB, nullptr, 0) == 1;
    calibrated_ = settings_.calibrated;
    uint16_t weight = 0;
    settings_.temporal =
        kavri_temporal_get(dev_, &weight, nullptr, nullptr) == 1 ? std::to_string(weight) : "off";
}

std::string Viewer::settings_json() {
    const Settings &s = settings_;
    return "{\"fps\":" + json_str(s.fps) + ",\"intg_time\":" + json_str(s.intg_time) +
           ",\"mod_freq\":" + json_str(s.mod_freq) +
           ",\"auto_intg\":" + json_str(off_or(s.auto_intg)) +
           ",\"smooth\":" + json_str(off_or(s.smooth)) +
           ",\"amp_min\":" + json_str(off_or(s.amp_min)) +
           ",\"undistort\":" + json_str(s.undistort ? "on" : "off") +
           ",\"offset\":" + json_str(std::to_string(s.offset_mm)) +
           ",\"temporal\":" + json_str(s.temporal) + ",\"calibration\":" +
           json_str(s.no_calib     ? "off (raw distances)"
                    : s.calibrated ? "mounted"
                                   : "none") +
           "}";
}

std::string Viewer::hello() {
    // Read on the server thread: the settings are copied on the control
    // thread's behalf only at start; later changes come as answers.
    std::string out =
        "{\"type\":\"hello\",\"replay\":" + std::string(replay_ ? "true" : "false") +
        ",\"frames\":" + std::to_string(replay_frames_) +
        ",\"product\":" + json_str(dev_->product) + ",\"ident\":" + json_str(dev_->ident) +
        ",\"source\":" + json_str(replay_ ? g_.from : location_text(location_of(*dev_))) +
        ",\"temperatures\":null,\"paused\":" + (paused_ ? "true" : "false") + "}";
    return out;
}

void Viewer::on_text(const std::shared_ptr<view::Client> &c, std::string line) {
    std::istringstream in(line);
    std::string cmd, a, b;
    in >> cmd >> a >> b;
    if (cmd == "play" || cmd == "pause" || cmd == "step" || cmd == "seek") {
        if (!replay_) {
            c->send_text("{\"type\":\"answer\",\"name\":" + json_str(cmd) +
                         ",\"ok\":false,\"message\":\"a live camera has no replay controls\"}");
            return;
        }
        {
            std::lock_guard lock(replay_mu_);
            replay_cmds_.emplace_back(cmd, a);
        }
        return;
    }
    // Everything else may send camera commands: the control thread.
    std::lock_guard lock(control_mu_);
    if (!control_) return;  // closing
    control_->post([this, c, cmd, a, b] {
        if (cmd == "set") {
            c->send_text(set_control(a, b));
            server_->broadcast_text("{\"type\":\"settings\",\"settings\":" + settings_json() + "}");
        } else if (cmd == "settings") {
            c->send_text("{\"type\":\"settings\",\"settings\":" + settings_json() + "}");
        } else if (cmd == "record") {
            c->send_text(record(a));
        } else {
            c->send_text("{\"type\":\"answer\",\"name\":" + json_str(cmd) +
                         ",\"ok\":false,\"message\":\"unknown command\"}");
        }
    });
}

std::string Viewer::set_control(const std::string &name, const std::string &value) {
    std::string message;
    bool ok = true;
    try {
        CameraSetup s;
        if (name == "fps") {
            const uint64_t v = parse_number(value, kMaxFps, "fps");
            if (v < kMinFps) throw CliError(kExitUsage, "fps must be 1 to 120", "");
            s.fps = static_cast<uint32_t>(v);
            apply_setup(dev_, s);
        } else if (name == "intg_time") {
            s.intg_time = static_cast<int32_t>(parse_number(value, UINT16_MAX, "intg_time"));
            apply_setup(dev_, s);
        } else if (name == "mod_freq") {
            s.mod_freq = static_cast<uint32_t>(parse_number(value, UINT32_MAX, "mod_freq"));
            if (s.mod_freq == 0) throw CliError(kExitUsage, "mod_freq must be above 0", "");
            apply_setup(dev_, s);
        } else if (name == "auto_intg") {
            if (is_off(value)) {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_AUTO_INTG) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
                settings_.auto_intg = -1;
            } else {
                s.auto_intg = static_cast<int>(parse_number(value, kMaxPerMille, "auto_intg"));
                apply_setup(dev_, s);
                settings_.auto_intg = s.auto_intg;
            }
        } else if (name == "smooth") {
            if (is_off(value) || value == "0") {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_SMOOTH) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
                settings_.smooth = -1;
            } else {
                s.smooth = static_cast<int>(parse_number(value, kMaxSmooth, "smooth"));
                apply_setup(dev_, s);
                settings_.smooth = s.smooth;
            }
        } else if (name == "amp_min") {
            if (is_off(value)) {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_AMP_MIN) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
                settings_.amp_min = -1;
            } else {
                s.amp_min = static_cast<int>(parse_number(value, UINT16_MAX, "amp_min"));
                apply_setup(dev_, s);
                settings_.amp_min = s.amp_min;
            }
        } else if (name == "undistort") {
            if (value == "on") {
                s.undistort = true;
                apply_setup(dev_, s);
                settings_.undistort = true;
            } else if (is_off(value)) {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_UNDISTORT) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
                settings_.undistort = false;
            } else {
                throw CliError(kExitUsage, "undistort is on or off", "");
            }
        } else if (name == "offset") {
            const int64_t v = parse_offset(value);
            if (v == 0) {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_OFFSET) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
            } else {
                s.offset_mm = static_cast<int32_t>(v);
                apply_setup(dev_, s);
            }
            settings_.offset_mm = static_cast<int32_t>(v);
        } else if (name == "temporal") {
            if (is_off(value)) {
                if (kavri_filter_disable(dev_, KAVRI_FILTER_TEMPORAL) != 1)
                    throw CliError(kExitFailure, "the driver refused to switch it off", "");
            } else {
                s.temporal = static_cast<int>(parse_number(value, kMaxPerMille, "temporal"));
                if (s.temporal < 1)
                    throw CliError(kExitUsage, "temporal is 1 to 1000 per mille, or off", "");
                apply_setup(dev_, s);
            }
        } else {
            throw CliError(kExitUsage, "unknown control '" + name + "'", "");
        }
    } catch (const CliError &e) {
        ok = false;
        message = e.what();
    }
    // The camera's answer, also after a refusal: what it runs with now.
    read_settings();
    std::string answer;
    if (name == "fps")
        answer = settings_.fps;
    else if (name == "intg_time")
        answer = settings_.intg_time;
    else if (name == "mod_freq")
        answer = settings_.mod_freq;
    else if (name == "auto_intg")
        answer = off_or(settings_.auto_intg);
    else if (name == "smooth")
        answer = off_or(settings_.smooth);
    else if (name == "amp_min")
        answer = off_or(settings_.amp_min);
    else if (name == "undistort")
        answer = settings_.undistort ? "on" : "off";
    else if (name == "offset")
        answer = std::to_string(settings_.offset_mm);
    else if (name == "temporal")
        answer = settings_.temporal;
    return "{\"type\":\"answer\",\"name\":" + json_str(name) +
           ",\"ok\":" + (ok ? "true" : "false") + ",\"value\":" + json_str(answer) +
           ",\"message\":" + json_str(message) + "}";
}

std::string Viewer::recording_json() {
    std::string oni;
    {
        std::lock_guard lock(oni_mu_);
        oni = oni_path_;
    }
    return "{\"raw\":" + (raw_ ? json_str(raw_path_) : std::string("null")) +
           ",\"oni\":" + (oni.empty() ? std::string("null") : json_str(oni)) +
           ",\"oni_frames\":" + std::to_string(oni_frames_.load()) + "}";
}

std::string Viewer::record(const std::string &what) {
    bool ok = true;
    std::string message;
    std::string dir = o_.out_dir.empty() ? "./" : o_.out_dir;
    if (dir.back() != '/') dir += '/';
    try {
        if (what == "raw") {
            if (replay_)
                throw CliError(kExitUsage, "a replay cannot be recorded raw again",
                               "record an ONI file from it instead");
            if (raw_) throw CliError(kExitUsage, "a raw recording is already running", "");
            raw_path_ = dir + stamp_name() + ".kvr";
            raw_ = std::make_unique<RawRecorder>(dev_, raw_path_);
            message = "recording " + raw_path_;
        } else if (what == "raw-stop") {
            if (!raw_) throw CliError(kExitUsage, "no raw recording runs", "");
            const kavri_rec_stats_t s = raw_->finish();
            raw_.reset();
            message = "wrote " + raw_path_ + " (" + std::to_string(s.frames) + " frames, " +
                      std::to_string(s.lost_transfers) + " transfers lost)";
        } else if (what == "oni") {
            std::lock_guard lock(oni_mu_);
            if (!oni_path_.empty())
                throw CliError(kExitUsage, "an ONI recording is already running", "");
            oni_path_ = dir + stamp_name() + ".oni";
            oni_request_ = oni_path_;
            message = "recording " + oni_path_;
        } else if (what == "oni-stop") {
            std::lock_guard lock(oni_mu_);
            if (oni_path_.empty()) throw CliError(kExitUsage, "no ONI recording runs", "");
            oni_request_ = "-";
            message = "finishing " + oni_path_;
        } else {
            throw CliError(kExitUsage, "record raw, raw-stop, oni or oni-stop", "");
        }
    } catch (const CliError &e) {
        ok = false;
        message = e.what();
    }
    return "{\"type\":\"recording\",\"ok\":" + std::string(ok ? "true" : "false") +
           ",\"message\":" + json_str(message) + ",\"recording\":" + recording_json() + "}";
}

// Capture thread, between frames.
void Viewer::oni_between_frames() {
    std::string req;
    {
        std::lock_guard lock(oni_mu_);
        req.swap(oni_request_);
    }
    if (req.empty()) return;
    if (req == "-") {
        if (oni_) oni_->close();
        oni_.reset();
        std::string done;
        {
            std::lock_guard lock(oni_mu_);
            done.swap(oni_path_);
        }
        std::printf("wrote:       %s (%u frames, depth + IR)\n", done.c_str(), oni_frames_.load());
        std::fflush(stdout);
        oni_frames_ = 0;
        return;
    }
    const auto &info = src_.info();
    try {
        oni_ = std::make_unique<OniOut>(req, info.width, info.height, src_.fps_setting(), true);
        oni_frames_ = 0;
    } catch (const CliError &e) {
        std::lock_guard lock(oni_mu_);
        oni_path_.clear();
        server_->broadcast_text("{\"type\":\"recording\",\"ok\":false,\"message\":" +
                                json_str(e.what()) + ",\"recording\":{\"raw\":null,\"oni\":null}}");
    }
}

void Viewer::replay_step(const std::string &cmd, const std::string &arg) {
    std::string message;
    bool ok = true;
    if (cmd == "play") {
        const kavri_rec_options_t o = replay_options(KAVRI_REC_PACE_REALTIME, true);
        kavri_rec_set_options(dev_, &o);
        paused_ = false;
    } else if (cmd == "pause") {
        // Paced by the fetches, the replay holds its place while none comes.
        const kavri_rec_options_t o = replay_options(KAVRI_REC_PACE_FAST, true);
        kavri_rec_set_options(dev_, &o);
        paused_ = true;
    } else if (cmd == "step") {
        if (!paused_) replay_step("pause", {});
        step_pending_ = true;
    } else if (cmd == "seek") {
        try {
            const auto frame = static_cast<uint32_t>(parse_number(arg, UINT32_MAX, "frame"));
            const int32_t r = kavri_rec_seek(dev_, frame);
            if (r != KAVRI_REC_OK) {
                ok = false;
                message = std::string("cannot seek there: ") + rec_result_name(r);
            } else if (paused_) {
                step_pending_ = true;  // show the frame sought
            }
        } catch (const CliError &e) {
            ok = false;
            message = e.what();
        }
    }
    server_->broadcast_text(
        "{\"type\":\"replay\",\"command\":" + json_str(cmd) + ",\"ok\":" + (ok ? "true" : "false") +
        ",\"message\":" + json_str(message) + ",\"paused\":" + (paused_ ? "true" : "false") + "}");
}

void Viewer::make_rays(uint32_t w, uint32_t h) {
    // The point one metre along every pixel's ray, from the driver's lens
    // parameters: the page scales them by the distances.
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<float> ones(pixels, kOneMetre), xyz(pixels * kRayFloats + kRayFloats);
    const int n = kavri_frame_get_pcl(dev_, xyz.data(), static_cast<uint32_t>(xyz.size()),
                                      ones.data(), static_cast<uint32_t>(pixels), w, h, nullptr);
    if (n != static_cast<int>(pixels)) {
        std::fprintf(stderr,
                     "kavri-cli: warning: no lens parameters for %ux%u: the point cloud is not "
                     "shown\n",
                     w, h);
        std::fill(xyz.begin(), xyz.end(), 0.0f);
    }
    auto msg = std::make_shared<const std::string>(view::encode_rays(w, h, xyz));
    {
        std::lock_guard lock(latest_mu_);
        rays_ = msg;
    }
    server_->broadcast_binary(msg);
}

std::string Viewer::status_json(double fps, double cpu_ms) {
    const view::ServerStats s = server_->stats();
    const kavri_cap_stats_t c = src_.library_stats();
    using ull = unsigned long long;
    char nums[768];
    std::snprintf(nums, sizeof nums,
                  "\"fps\":%.2f,\"frames\":%u,\"lost\":{\"transfer\":%llu,\"damaged\":%llu,"
                  "\"slow_fetch\":%llu,\"refused\":%llu,\"bytes_skipped\":%llu,"
                  "\"transfer_errors\":%llu},\"sent\":%llu,\"superseded\":%llu,\"clients\":%u,"
                  "\"refused\":%llu,\"cpu_ms_per_frame\":%.3f",
                  fps, src_.frames(), static_cast<ull>(c.frames_lost),
                  static_cast<ull>(c.frames_discarded), static_cast<ull>(c.frames_dropped),
                  static_cast<ull>(c.frames_refused), static_cast<ull>(c.bytes_skipped),
                  static_cast<ull>(c.transfer_timeouts + c.transfer_stalls + c.transfer_errors),
                  static_cast<ull>(s.frames_sent), static_cast<ull>(s.frames_superseded), s.clients,
                  static_cast<ull>(s.refused), cpu_ms);
    std::string out = std::string("{\"type\":\"status\",") + nums;
    if (replay_) {
        kavri_rec_info_t info{};
        kavri_rec_get_info(dev_, &info);
        out += ",\"position\":" + std::to_string(info.position) +
               ",\"replay_frames\":" + std::to_string(info.frame_count) +
               ",\"paused\":" + (paused_ ? "true" : "false");
    }
    out += ",\"oni_frames\":" + std::to_string(oni_frames_.load()) + ",\"temperatures\":null}";
    return out;
}

void Viewer::run(const InterruptFlag &stop) {
    src_.start();
    std::deque<Clock::time_point> recent;
    auto next_status = Clock::now() + kStatusEvery;
    double cpu_mark = cpu_seconds();
    uint32_t frames_mark = 0;
    double cpu_ms_per_frame = 0;
    uint32_t rays_w = 0, rays_h = 0;
    while (!stop.raised()) {
        std::deque<std::pair<std::string, std::string>> cmds;
        {
            std::lock_guard lock(replay_mu_);
            cmds.swap(replay_cmds_);
        }
        for (const auto &[cmd, arg] : cmds) replay_step(cmd, arg);
        oni_between_frames();

        const auto now = Clock::now();
        if (now >= next_status) {
            while (!recent.empty() && now - recent.front() > kRateWindow) recent.pop_front();
            const double cpu = cpu_seconds();
            if (src_.frames() > frames_mark)
                cpu_ms_per_frame = (cpu - cpu_mark) * kMsPerSecond / (src_.frames() - frames_mark);
            cpu_mark = cpu;
            frames_mark = src_.frames();
            server_->broadcast_text(
                status_json(static_cast<double>(recent.size()), cpu_ms_per_frame));
            next_status = now + kStatusEvery;
        }
        if (paused_ && !step_pending_) {
            std::this_thread::sleep_for(kPausedWait);
            continue;
        }
        step_pending_ = false;
        if (!src_.try_next()) {  // a replay without a loop: the end
            paused_ = true;
            continue;
        }
        // The latency the page shows starts when the frame's last byte
        // reached the host. A replay's times are the recording's, not this
        // host's: its frames count from their delivery.
        const uint64_t arrival_ns =
            replay_ || src_.meta().t_ns == 0 ? monotonic_ns() : src_.meta().t_ns;
        const kavri_frame_info_t &info = src_.info();
        decode_distance(dev_, src_, dist_);
        decode_gray(dev_, src_, gray_);
        if (info.width != rays_w || info.height != rays_h) {
            make_rays(info.width, info.height);
            rays_w = info.width;
            rays_h = info.height;
        }
        recent.push_back(Clock::now());
        while (recent.size() > 1 && recent.back() - recent.front() > kRateWindow)
            recent.pop_front();

        view::FrameMeta m;
        m.width = info.width;
        m.height = info.height;
        m.number = src_.frames();
        m.stream_index = info.frame_idx;
        m.flags = static_cast<uint16_t>((replay_ ? view::kFlagReplay : 0) |
                                        (calibrated_ ? view::kFlagCalibrated : 0) |
                                        (paused_ ? view::kFlagPaused : 0));
        // Both clocks read together: the arrival on the wall clock the page compares with.
        m.arrival_ms = wall_ms() - static_cast<double>(monotonic_ns() - arrival_ns) / kNsPerMs;
        m.stream_s = static_cast<double>(src_.micros_since_first()) / 1e6;
        const kavri_cap_stats_t c = src_.library_stats();
        m.lost = static_cast<uint32_t>(c.frames_lost + c.frames_discarded + c.frames_dropped +
                                       c.frames_refused);
        m.fps = static_cast<float>(
            recent.size() > 1
                ? (recent.size() - 1) /
                      std::chrono::duration<double>(recent.back() - recent.front()).count()
                : 0.0);
        if (replay_) {
            kavri_rec_info_t ri{};
            kavri_rec_get_info(dev_, &ri);
            m.replay_position = ri.position;
        }
        std::string encoded = view::encode_frame(m, dist_, gray_);
        view::set_frame_age(
            encoded,
            static_cast<float>(static_cast<double>(monotonic_ns() - arrival_ns) / kNsPerMs));
        auto msg = std::make_shared<const std::string>(std::move(encoded));
        {
            std::lock_guard lock(latest_mu_);
            latest_ = msg;
        }
        server_->publish_frame(std::move(msg));
        if (oni_) {
            oni_->add(dist_, gray_, src_.micros_since_first());
            ++oni_frames_;
        }
    }
    src_.stop();
    std::printf("library:     %s\n", lost_by_cause(src_.library_stats()).c_str());
    // Commands still in flight end before the server and the camera go.
    std::unique_ptr<Worker> control;
    {
        std::lock_guard lock(control_mu_);
        control.swap(control_);
    }
    control.reset();
    if (raw_) print_raw_stats(raw_->finish(), raw_path_);
    if (oni_) {
        oni_->close();
        std::printf("wrote:       %s (%u frames, depth + IR)\n", oni_path_.c_str(),
                    oni_frames_.load());
    }
}

std::optional<view::Download> Viewer::download(std::string_view name, std::string_view target) {
    std::shared_ptr<const std::string> frame;
    {
        std::lock_guard lock(latest_mu_);
        frame = latest_;
    }
    if (!frame) return std::nullopt;
    uint32_t w = 0, h = 0;
    std::vector<float> dist, amp;
    if (!view::decode_frame(*frame, w, h, dist, amp)) return std::nullopt;
    try {
        const std::string range_text(view::query_value(target, "range"));
        const DistanceRange range =
            range_text.empty() || range_text == "auto" ? auto_range(dist) : parse_range(range_text);
        const std::vector<uint8_t> rgb = colourise(dist, range);
        if (name == "snapshot.png") {
            const Picture pic = with_colour_bar(rgb, w, h, range);
            const std::string tmp = temp_file(".png");
            write_png(tmp, pic.width, pic.height, 3, pic.rgb);
            return view::Download{"image/png", stamp_name() + ".png", read_and_remove(tmp)};
        }
        if (name == "snapshot.ply") {
            std::vector<float> points(dist.size() * kFloatsPerPoint + kFloatsPerPoint);
            const int n = kavri_frame_get_pcl_xyzd(
                dev_, points.data(), static_cast<uint32_t>(points.size()), dist.data(),
                static_cast<uint32_t>(dist.size()), w, h, 0, nullptr);
            if (n < 0) return std::nullopt;
            std::vector<uint8_t> colours(static_cast<size_t>(n) * 3);
            size_t k = 0;
            for (size_t i = 0; i < dist.size() && k < static_cast<size_t>(n); ++i)
                if (valid_distance(dist[i])) std::memcpy(&colours[3 * k++], &rgb[3 * i], 3);
            const std::string tmp = temp_file(".ply");
            write_ply(tmp, points, colours, static_cast<uint32_t>(n));
            return view::Download{"application/octet-stream", stamp_name() + ".ply",
                                  read_and_remove(tmp)};
        }
    } catch (const CliError &e) {
        std::fprintf(stderr, "kavri-cli: warning: snapshot failed: %s\n", e.what());
    }
    return std::nullopt;
}

std::filesystem::path exe_dir() {
    std::error_code ec;
    const auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : p.parent_path();
}

}  // namespace

std::filesystem::path find_view_web_dir() {
    std::error_code ec;
    const std::filesystem::path installed = exe_dir() / ".." / kInstalledWebDir;
    if (std::filesystem::exists(installed / kIndexFile, ec)) return installed.lexically_normal();
    const std::filesystem::path source = KAVRI_VIEW_WEB_SOURCE_DIR;
    if (!source.empty() && std::filesystem::exists(source / kIndexFile, ec)) return source;
    return {};
}

int run_view(const GlobalOptions &g, const ViewOptions &o) {
    const std::filesystem::path web = find_view_web_dir();
    if (web.empty())
        throw CliError(kExitFileError, "the viewer's page files are not installed",
                       "install kavri-cli with its share/kavri/view folder");
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::path(KAVRI_VIEW_THREE_DIR) / "three.module.js",
                                 ec))
        throw CliError(kExitFileError,
                       std::string("three.js is missing from ") + KAVRI_VIEW_THREE_DIR,
                       "sudo apt-get install libjs-three");
    const std::string bind = o.bind == "localhost" ? kLoopbackAddress : o.bind;

    Library lib(g);
    const kavri_rec_options_t pacing = replay_options(KAVRI_REC_PACE_REALTIME, true);
    OpenCamera cam(g, &pacing);
    kavri_dev_t *dev = cam.dev();
    apply_setup(dev, o.setup);

    Viewer viewer(dev, g, o);
    view::ServerConfig cfg;
    cfg.bind_address = bind;
    cfg.port = o.port;
    cfg.token = view::make_token();
    cfg.web_dir = web;
    cfg.three_dir = KAVRI_VIEW_THREE_DIR;
    view::ServerHooks hooks;
    hooks.on_open = [&](const std::shared_ptr<view::Client> &c) { viewer.on_open(c); };
    hooks.on_text = [&](const std::shared_ptr<view::Client> &c, std::string t) {
        viewer.on_text(c, std::move(t));
    };
    hooks.download = [&](std::string_view name, std::string_view target) {
        return viewer.download(name, target);
    };
    std::unique_ptr<view::Server> server;
    try {
        server = std::make_unique<view::Server>(cfg, hooks);
    } catch (const std::exception &e) {
        throw CliError(
            kExitUsage,
            "cannot listen on " + bind + " port " + std::to_string(o.port) + ": " + e.what(),
            "pick another port with --port (0: any free one) or another --bind address");
    }
    viewer.attach(server.get());
    if (!server->loopback_only())
        std::fprintf(stderr,
                     "kavri-cli: warning: listening on %s: anyone who can reach this address and "
                     "has the token can watch and change the camera\n",
                     bind.c_str());
    InterruptFlag interrupt;
    server->start();
    const std::string host = bind.find(':') != std::string::npos ? "[" + bind + "]" : bind;
    std::printf("viewer:      http://%s:%u/?%s=%s\n", host.c_str(), server->port(),
                std::string(view::kTokenParam).c_str(), cfg.token.c_str());
    std::printf("source:      %s\n",
                g.from.empty() ? location_text(cam.location()).c_str() : g.from.c_str());
    std::printf("stop:        Ctrl-C\n");
    std::fflush(stdout);
    viewer.run(interrupt);
    const view::ServerStats s = server->stats();
    server.reset();
    std::printf(
        "frames:      %llu sent to pages, %llu replaced by newer ones before a page took them\n",
        static_cast<unsigned long long>(s.frames_sent),
        static_cast<unsigned long long>(s.frames_superseded));
    return kExitOk;
}

}  // namespace kavri::cli
