#include "cli/replay.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "cli/cli_error.h"
#include "cli/params.h"
#include "core/le.h"

namespace kavri::cli {
namespace {

constexpr double kNsPerSecond = 1e9;
constexpr double kBytesPerMB = 1e6;

const char *filter_name(uint32_t id) {
    switch (id) {
        case KAVRI_FILTER_UNDISTORT:
            return "undistort";
        case KAVRI_FILTER_CALIB:
            return "calibration";
        case KAVRI_FILTER_SMOOTH:
            return "smoothing";
        case KAVRI_FILTER_AMP_MIN:
            return "minimum amplitude";
        case KAVRI_FILTER_AUTO_INTG:
            return "automatic integration";
        case KAVRI_FILTER_SYNC_CHECK:
            return "sync check";
        case KAVRI_FILTER_TEMP_MONITOR:
            return "temperature monitor";
        case KAVRI_FILTER_HDR:
            return "hdr";
        case KAVRI_FILTER_OFFSET:
            return "distance offset";
        case KAVRI_FILTER_TEMPORAL:
            return "temporal";
        default:
            return "filter";
    }
}

// "12 fps = 15": the value read as the parameter's type.
std::string param_text(const kavri_rec_event_t &ev, size_t len) {
    ParamSpec spec{ev.id, "", ParamType::Bytes, ""};
    for (const ParamSpec &p : param_table())
        if (p.id == ev.id) spec = p;
    kavri_param_item_t item{};
    item.param_id = ev.id;
    // The library records the item as it went over the wire: id, length,
    // value bytes. Anything shorter is taken as bare value bytes.
    const uint8_t *value = ev.value;
    size_t n = len;
    if (len == sizeof(kavri_ll_param_item_t)) {
        kavri_ll_param_item_t wire{};
        std::memcpy(&wire, ev.value, sizeof wire);
        value = ev.value + offsetof(kavri_ll_param_item_t, param_val);
        n = std::min<size_t>(wire.param_val_len, KAVRI_PARAM_WIRE_VAL_SIZE);
    }
    n = std::min<size_t>(n, KAVRI_PARAM_VAL_SIZE);
    std::memcpy(item.param_val, value, n);
    item.param_val_len = static_cast<uint8_t>(n);
    std::string out = std::to_string(ev.id);
    if (*spec.name) out += std::string(" ") + spec.name;
    return out + " = " + format_param(spec, item);
}

std::string reg_text(const kavri_rec_event_t &ev) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%u:%u = 0x%08x", ev.id, ev.addr, le::get_u32(ev.value));
    return buf;
}

std::string fix_for_recordings() {
    return "give a file that `kavri-cli record --raw FILE` wrote; add -v to see the library's "
           "reason";
}

}  // namespace

bool is_replay(const kavri_dev_t *dev) {
    return dev != nullptr && dev->if_type == KAVRI_IF_REPLAY;
}

kavri_rec_options_t replay_options(uint32_t pacing, bool loop) {
    kavri_rec_options_t o{};
    o.pacing = pacing;
    o.loop = loop ? 1 : 0;
    return o;
}

void open_replay(kavri_dev_t *dev, const std::string &path, const kavri_rec_options_t &options) {
    // The library would refuse a missing file too, but only in its log: say
    // which of the two troubles it is.
    if (::access(path.c_str(), R_OK) != 0)
        throw CliError(kExitFileError,
                       "cannot read the recording " + path + ": " + std::strerror(errno),
                       fix_for_recordings());
    if (kavri_rec_open(dev, path.c_str(), &options) == nullptr)
        throw CliError(kExitFileError,
                       path +
                           " is not a raw recording this version can replay (not a "
                           "recording, another format version, or too damaged to open)",
                       fix_for_recordings());
}

kavri_rec_info_t replay_info(kavri_dev_t *dev) {
    kavri_rec_info_t info{};
    if (const int32_t r = kavri_rec_get_info(dev, &info); r != KAVRI_REC_OK)
        throw CliError(kExitFailure,
                       std::string("cannot read the recording's counts: ") + rec_result_name(r),
                       "see the log");
    return info;
}

void print_recording(kavri_dev_t *dev, const std::string &path, bool events) {
    const kavri_rec_info_t info = replay_info(dev);
    std::printf("recording:       %s (format %u)\n", path.c_str(), info.format_version);
    std::printf("frames:          %u\n", info.frame_count);
    std::printf("duration:        %.3f s\n", static_cast<double>(info.duration_ns) / kNsPerSecond);
    std::printf("transfers:       %llu (%.2f MB)\n",
                static_cast<unsigned long long>(info.transfer_count),
                static_cast<double>(info.byte_count) / kBytesPerMB);
    std::printf("events:          %u\n", info.event_count);
    if (info.damaged)
        std::printf("damaged:         the file ends in damage; it replays up to there\n");
    if (!events) return;
    for (uint32_t i = 0; i < info.event_count; ++i) {
        kavri_rec_event_t ev{};
        if (const int32_t r = kavri_rec_get_event(dev, i, &ev); r != KAVRI_REC_OK)
            throw CliError(
                kExitFailure,
                "cannot read recorded event " + std::to_string(i) + ": " + rec_result_name(r),
                "the file may be damaged; see the log");
        std::printf("  %10.3f s  transfer %-6llu fetched %-5u %s\n",
                    static_cast<double>(ev.t_ns) / kNsPerSecond,
                    static_cast<unsigned long long>(ev.transfer), ev.frames_fetched,
                    event_text(ev).c_str());
    }
}

std::string event_text(const kavri_rec_event_t &ev) {
    const size_t len = std::min<size_t>(ev.len, KAVRI_REC_EVENT_VALUE_SIZE);
    switch (ev.kind) {
        case KAVRI_REC_EV_PARAM_SET:
            return "param set    " + param_text(ev, len);
        case KAVRI_REC_EV_PARAM_VALUE:
            return "param value  " + param_text(ev, len);
        case KAVRI_REC_EV_REG_WRITE:
            return "reg write    " + reg_text(ev);
        case KAVRI_REC_EV_REG_VALUE:
            return "reg value    " + reg_text(ev);
        case KAVRI_REC_EV_FILTER:
            return std::string("filter ") + (ev.addr ? "on   " : "off  ") + filter_name(ev.id) +
                   " (" + std::to_string(ev.id) + ")" +
                   (ev.addr && len ? " " + hex_bytes(ev.value, len) : "");
        case KAVRI_REC_EV_CAP_START:
            return "capture start";
        case KAVRI_REC_EV_CAP_STOP:
            return "capture stop";
        case KAVRI_REC_EV_LOSS:
            return "lost         " + std::to_string(ev.id) + " transfers (" +
                   std::to_string(ev.addr) + " bytes): the disk did not keep up";
        default:
            return "kind " + std::to_string(ev.kind) + " id " + std::to_string(ev.id) + " addr " +
                   std::to_string(ev.addr) + " " + hex_bytes(ev.value, len);
    }
}

void check_replay_setup(const CameraSetup &s) {
    const char *option = s.mod_freq != 0    ? "--mod-freq"
                         : s.fps != 0       ? "--fps"
                         : s.intg_time >= 0 ? "--intg-time"
                         : s.auto_intg >= 0 ? "--auto-intg"
                                            : nullptr;
    if (option == nullptr) return;
    throw CliError(kExitUsage,
                   std::string(option) +
                       " changes the camera, and a recording replays what the camera sent at "
                       "its recorded settings",
                   "leave --mod-freq, --fps, --intg-time and --auto-intg out with --from; the "
                   "filters (--smooth, --amp-min, --undistort, --offset, --no-calib, "
                   "--temporal) work on a recording");
}

const char *rec_result_name(int32_t result) {
    switch (result) {
        case KAVRI_REC_OK:
            return "ok";
        case KAVRI_REC_ERR_ARG:
            return "bad argument";
        case KAVRI_REC_ERR_IO:
            return "the file cannot be created, opened or written";
        case KAVRI_REC_ERR_FORMAT:
            return "not a recording, another version, or damaged";
        case KAVRI_REC_ERR_BUSY:
            return "busy";
        case KAVRI_REC_ERR_NOT_REPLAY:
            return "the device is a live camera";
        case KAVRI_REC_ERR_RANGE:
            return "no such frame, time or event";
        default:
            return "unknown result";
    }
}

}  // namespace kavri::cli
