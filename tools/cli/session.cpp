#include "cli/session.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli_error.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

constexpr int kMaxCameras = 16;
constexpr const char *kLogName = "kavri-cli.log";
// Library log levels for -v, -vv, -vvv on the console.
constexpr unsigned kConsoleLevels[] = {KV_LOG_OFF, KV_LOG_WRN, KV_LOG_INF, KV_LOG_DBG};

std::string with_slash(std::string dir) {
    if (dir.empty()) return "./";
    if (dir.back() != '/') dir += '/';
    return dir;
}

bool is_dir(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "BUS:PORT" to numbers; false when it is not that shape.
bool parse_location(const std::string &text, unsigned &bus, unsigned &port) {
    unsigned b = 0, p = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &b, &p, &tail) != 2) return false;
    bus = b;
    port = p;
    return true;
}

}  // namespace

const char *const kOpenFix =
    "check that no other program uses the camera and that you may access it: install the udev "
    "rule (sudo cp 60-kavri.rules /etc/udev/rules.d/ && sudo udevadm control --reload && "
    "replug the camera); `kavri-cli doctor` tells more";

std::string default_workdir() {
    if (const char *w = std::getenv("KAVRI_WORKDIR"); w && *w) return with_slash(w);
    if (const char *x = std::getenv("XDG_CACHE_HOME"); x && *x) return with_slash(x) + "kavri/";
    if (const char *h = std::getenv("HOME"); h && *h) return with_slash(h) + ".cache/kavri/";
    return "./";
}

Library::Library(const GlobalOptions &opts)
    : workdir_(opts.workdir.empty() ? default_workdir() : with_slash(opts.workdir)) {
    const int v = opts.verbose < 0 ? 0 : (opts.verbose > 3 ? 3 : opts.verbose);
    kv_log_enable(KV_LOG_SINK_CONSOLE, kConsoleLevels[v], nullptr);
    // Creates the folder (every level of it), so the log file can live there.
    kavri_path_cfg(workdir_.c_str());
    if (!is_dir(workdir_))
        throw CliError(kExitFileError, "cannot create the working folder " + workdir_,
                       "pass a writable folder with --workdir or set KAVRI_WORKDIR");
    log_path_ = workdir_ + kLogName;
    kavri_init(log_path_.c_str());
    // kavri_init sets its own console level and working path: ours win.
    kv_log_enable(KV_LOG_SINK_CONSOLE, kConsoleLevels[v], nullptr);
    kavri_path_cfg(workdir_.c_str());
}

Library::~Library() {
    kavri_uninit();
}

UsbLocation location_of(const kavri_dev_t &dev) {
    kavri_usb_info_t info;
    std::memcpy(&info, dev.if_info, sizeof info);
    return {info.usb_bus, info.usb_port, info.usb_addr, info.usb_speed};
}

UsbLocation location_of(const kavri_ll_t &ll) {
    kavri_usb_info_t info;
    std::memcpy(&info, ll.if_info, sizeof info);
    return {info.usb_bus, info.usb_port, info.usb_addr, info.usb_speed};
}

const char *speed_name(unsigned speed) {
    switch (speed) {
        case 1:
            return "low";
        case 2:
            return "full";
        case 3:
            return "high";
        case 4:
            return "super";
        case 5:
            return "super+";
        default:
            return "unknown";
    }
}

std::string location_text(const UsbLocation &loc) {
    return std::to_string(loc.bus) + ":" + std::to_string(loc.port);
}

std::vector<kavri_dev_t> list_cameras() {
    std::vector<kavri_dev_t> devs(kMaxCameras);
    const int n = kavri_dev_list(devs.data(), kMaxCameras);
    devs.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return devs;
}

kavri_dev_t select_camera(const GlobalOptions &opts) {
    const std::vector<kavri_dev_t> devs = list_cameras();
    if (devs.empty())
        throw CliError(kExitNoCamera, "no camera found on the USB buses",
                       "plug the camera in (a high-speed USB port), then run `kavri-cli list`; "
                       "`kavri-cli doctor` checks the set-up");
    if (opts.device.empty()) return devs.front();
    unsigned bus = 0, port = 0;
    if (!parse_location(opts.device, bus, port))
        throw CliError(kExitUsage, "--device '" + opts.device + "' is not BUS:PORT",
                       "give the bus and port that `kavri-cli list` shows, e.g. --device 1:2");
    std::string seen;
    for (const kavri_dev_t &d : devs) {
        const UsbLocation loc = location_of(d);
        if (loc.bus == bus && loc.port == port) return d;
        seen += (seen.empty() ? "" : ", ") + location_text(loc);
    }
    throw CliError(kExitNoCamera, "no camera at " + opts.device + " (cameras at: " + seen + ")",
                   "pick one of the listed places with --device");
}

OpenCamera::OpenCamera(const GlobalOptions &opts, const kavri_rec_options_t *replay) {
    if (!opts.from.empty()) {
        open_replay(&dev_, opts.from,
                    replay != nullptr ? *replay : replay_options(KAVRI_REC_PACE_FAST, false));
        return;
    }
    dev_ = select_camera(opts);
    if (kavri_dev_open(&dev_) == nullptr)
        throw CliError(kExitOpenFailed,
                       "cannot open the camera at " + location_text(location_of(dev_)), kOpenFix);
}

OpenCamera::~OpenCamera() {
    kavri_dev_close(&dev_);
}

}  // namespace kavri::cli
