#include "camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "src/ll/usb_ids.h"
#include "wire.h"

namespace camsim {
namespace {

constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kReqGetStatus = 0x00;
constexpr uint8_t kReqGetDescriptor = 0x06;
constexpr uint8_t kDescDevice = 1, kDescConfig = 2, kDescString = 3;
constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr auto kRebootLeaveDelay = std::chrono::milliseconds(100);
// Temperatures rise slowly while the camera streams, then settle.
constexpr uint64_t kSensorDriftFrames = 32, kBoardDriftFrames = 48;
constexpr int16_t kSensorDriftMax = 60, kBoardDriftMax = 40;
constexpr size_t kFifoCompactBytes = 1 << 20;

Chip to_chip(uint8_t chip) {
    switch (chip) {
        case CAMSIM_CHIP_E1:
            return Chip::E1;
        case CAMSIM_CHIP_E3:
            return Chip::E3;
        case CAMSIM_CHIP_T0:
            return Chip::T0;
        default:
            return Chip::E2;
    }
}

std::vector<uint8_t> config_descriptor() {
    // configuration 1, interface 0 (vendor class) with bulk IN 0x81 and bulk OUT 0x01
    return {9, kDescConfig, 32,   0, 1,    1,    0, 0x80, 250,  // configuration
            9, 4,           0,    0, 2,    0xFF, 0, 0,    0,    // interface 0
            7, 5,           0x81, 2, 0x00, 0x02, 0,             // bulk IN, 512 bytes
            7, 5,           0x01, 2, 0x00, 0x02, 0};            // bulk OUT, 512 bytes
}

std::vector<uint8_t> string_descriptor(uint8_t index, uint32_t serial) {
    std::string text;
    if (index == 0) return {4, kDescString, kLangEnglishUs & 0xff, kLangEnglishUs >> 8};
    if (index == 1)
        text = "Kavri";
    else if (index == 2)
        text = "Kavri ToF camera";
    else if (index == 3) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08u", serial);
        text = buf;
    } else
        return {};
    std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * text.size()), kDescString};
    for (char c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

}  // namespace

const char *chip_code(uint8_t chip) {
    switch (chip) {
        case CAMSIM_CHIP_E1:
            return "E1";
        case CAMSIM_CHIP_E3:
            return "E3";
        case CAMSIM_CHIP_T0:
            return "T0";
        default:
            return "E2";
    }
}

Camera::Camera(int id, const camsim_camera_config_t &cfg)
    : id_(id), cfg_(cfg), t_sensor_(cfg.t_sensor), t_ib_(cfg.t_ib) {
    identity_.chip_code = chip_code(cfg.chip);
    identity_.serial = cfg.serial ? cfg.serial : static_cast<uint32_t>(id + 1);
    identity_.fps = cfg.fps;
    FrameGenConfig g;
    g.chip = to_chip(cfg.chip);
    g.scene = cfg.scene;
    g.pinhole_lens = cfg.pinhole_lens != 0;
    g.noise = cfg.noise != 0;
    g.fpn = cfg.fpn != 0;
    g.seed = cfg.seed;
    g.width = cfg.width;
    g.height = cfg.height;
    gen_ = std::make_unique<FrameGenerator>(g);
    StreamLayout layout;
    layout.chunk_payload = cfg.chunk_payload;
    layout.frames_per_chunk = cfg.frames_per_chunk;
    layout.data_checksum = cfg.data_checksum != 0;
    encoder_.set_layout(layout);
    calib.configure(*gen_);
    power_cycle();
}

void Camera::power_cycle() {
    params_.reset_defaults(identity_);
    calib.apply(params_);
    registers_.reset_defaults(identity_.serial);
    status_ = status::kDone;
    last_type_ = 0;
    last_value_ = 0;
    message_.clear();
    pending_param_ids_.clear();
    reg_read_pending_ = false;
    t_sensor_ = cfg_.t_sensor;
    t_ib_ = cfg_.t_ib;
    drift_frames_ = 0;
    inconsistent_ = false;
    data.power_cycle();
    link_down();
}

void Camera::link_down() {
    streaming_ = false;
    // What the FIFO held never reaches the host.
    appended_ -= fifo_available();
    in_fifo_.clear();
    fifo_.clear();
    fifo_pos_ = 0;
    encoder_.drop_pending();
}

std::optional<BusLeave> Camera::take_bus_leave() {
    auto l = leave_;
    leave_.reset();
    return l;
}

void Camera::set_pacing(uint32_t fps, bool free_run) {
    if (fps > 0) {
        uint8_t b[4];
        wire::put_u32(b, fps);
        params_.store(param_id::kFrameRate, b);
    }
    cfg_.free_run = free_run ? 1 : 0;
}

void Camera::set_temperature(int16_t t_sensor, int16_t t_ib, bool drift) {
    cfg_.t_sensor = t_sensor_ = t_sensor;
    cfg_.t_ib = t_ib_ = t_ib;
    cfg_.drift_temperature = drift ? 1 : 0;
    drift_frames_ = 0;
}

uint16_t Camera::set_scene(const std::string &scene) {
    // The configuration keeps the name too, so that config() says what the camera sees; a
    // name its field cannot hold (a wall distance written with many leading zeros) is refused.
    if (scene.size() >= sizeof cfg_.scene) {
        throw std::invalid_argument("scene name longer than " +
                                    std::to_string(sizeof cfg_.scene - 1) + " characters");
    }
    gen_->set_scene(scene);
    std::snprintf(cfg_.scene, sizeof cfg_.scene, "%s", scene.c_str());
    // Frames already made (in the FIFO or waiting to be packed) used up their indexes: the
    // encoder's next index is the first frame of the new scene.
    return encoder_.next_frame_index;
}

uint8_t *Camera::device_descriptor(uint8_t d[18]) const {
    const uint8_t desc[18] = {18,
                              kDescDevice,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,
                              KAVRI_USB_VENDOR_ID & 0xff,
                              KAVRI_USB_VENDOR_ID >> 8,
                              KAVRI_USB_PRODUCT_ID & 0xff,
                              KAVRI_USB_PRODUCT_ID >> 8,
                              0x50,
                              0x01,
                              1,
                              2,
                              3,
                              1};
    std::memcpy(d, desc, sizeof desc);
    return d;
}

// ---- control requests ------------------------------------------------------

ControlResponse Camera::control(const ControlRequest &req, Clock::time_point now) {
    ControlResponse resp;
    if ((req.request_type & kTypeMask) == kTypeStandard) {
        standard_request(req, resp);
        return resp;
    }
    const bool in = (req.request_type & kDirIn) != 0;
    if (req.request == cmd::kStatusPoll && in) {
        ++stats.status_polls;
        status_reply(req.length, resp, data.busy(now));
        return resp;
    }
    ++stats.commands;
    last_type_ = req.request;
    last_value_ = req.value;
    stats.last_cmd_type = req.request;
    stats.last_cmd_value = req.value;
    status_ = status::kDone;
    message_.clear();
    if (in) resp.data.assign(req.length, 0);
    if (usb_faults.fail_command > 0) {
        --usb_faults.fail_command;
        fail(usb_faults.fail_message);
        return resp;
    }
    command(req, resp, now);
    return resp;
}

void Camera::fail(const std::string &text) {
    status_ = status::kFailed;
    message_ = text.substr(0, kStatusTextBytes - 1);
    ++stats.failed_commands;
}

void Camera::command(const ControlRequest &req, ControlResponse &resp, Clock::time_point now) {
    const bool in = (req.request_type & kDirIn) != 0;
    if (req.request == kDataCommand) {
        std::string err = data.command(in, req.value, req.data, resp.data, now);
        if (!err.empty()) fail(err);
        return;
    }
    if (req.request == cmd::kDevice && !in) {
        switch (req.value) {
            case cmd::kReset:
                return reset(req.data, now);
            case cmd::kParamSet:
                return param_set(req.data);
            case cmd::kParamGet:
                return param_request(req.data);
        }
    } else if (req.request == cmd::kDevice && in && req.value == cmd::kParamGet) {
        return param_reply(req.length, resp);
    } else if (req.request == cmd::kRegister && !in) {
        switch (req.value) {
            case cmd::kRegWrite:
                return reg_write(req.data);
            case cmd::kRegRead:
                return reg_request(req.data);
            case cmd::kStreamStart:
                return stream_start(req.data, now);
            case cmd::kStreamStop:
                return stream_stop();
        }
    } else if (req.request == cmd::kRegister && in && req.value == cmd::kRegRead) {
        return reg_reply(req.length, resp);
    }
    char msg[64];
    std::snprintf(msg, sizeof msg, "unknown command 0x%02x/%u (%s)", req.request, req.value,
                  in ? "in" : "out");
    fail(msg);
}

void Camera::standard_request(const ControlRequest &req, ControlResponse &resp) const {
    std::vector<uint8_t> d;
    if (req.request == kReqGetDescriptor && (req.request_type & kDirIn)) {
        const uint8_t type = req.value >> 8, index = req.value & 0xff;
        if (type == kDescDevice) {
            uint8_t dd[18];
            device_descriptor(dd);
            d.assign(dd, dd + 18);
        } else if (type == kDescConfig && index == 0) {
            d = config_descriptor();
        } else if (type == kDescString) {
            d = string_descriptor(index, identity_.serial);
        }
    } else if (req.request == kReqGetStatus && (req.request_type & kDirIn)) {
        d = {0, 0};
    }
    if (d.empty()) {
        resp.stall = true;
        return;
    }
    d.resize(std::min<size_t>(d.size(), req.length));
    resp.data = std::move(d);
}

void Camera::status_reply(uint16_t length, ControlResponse &resp, bool flash_busy) {
    std::vector<uint8_t> r(kStatusReplyBytes, 0);
    r[0] = status_;
    if (flash_busy) {
        ++stats.busy_replies;
        r[0] = status::kBusy;
    } else if (usb_faults.status_busy > 0) {
        --usb_faults.status_busy;
        ++stats.busy_replies;
        r[0] = status::kBusy;
    }
    r[1] = last_type_;
    r[2] = static_cast<uint8_t>(last_value_ & 0xff);
    std::memcpy(r.data() + 3, message_.data(), std::min(message_.size(), kStatusTextBytes - 1));
    size_t n = std::min<size_t>(r.size(), length);
    if (usb_faults.status_mismatch > 0) {
        --usb_faults.status_mismatch;
        r[1] = static_cast<uint8_t>(last_type_ + 1);
    }
    if (usb_faults.status_short > 0) {
        --usb_faults.status_short;
        r[0] = status::kDone;
        n = std::min<size_t>(n, usb_faults.status_short_bytes);
    }
    r.resize(n);
    resp.data = std::move(r);
}

void Camera::param_set(std::span<const uint8_t> data) {
    if (data.empty() || data.size() % kParamItemBytes != 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "parameter block of %zu bytes is not whole items",
                      data.size());
        return fail(msg);
    }
    // Check every item first: a refused batch changes nothing.
    for (size_t off = 0; off < data.size(); off += kParamItemBytes) {
        const uint8_t id = data[off], len = data[off + 1];
        std::string err = params_.check_host_write(
            id, data.subspan(off + 2, std::min<size_t>(len, kParamValueBytes)));
        if (!err.empty()) return fail(err);
    }
    for (size_t off = 0; off < data.size(); off += kParamItemBytes) {
        const uint8_t id = data[off], len = data[off + 1];
        params_.store(id, data.subspan(off + 2, std::min<size_t>(len, kParamValueBytes)));
        ++stats.param_sets;
        if (id == param_id::kResync) {
            inconsistent_ = false;
            usb_faults.inconsistent = 0;
        }
    }
}

void Camera::param_request(std::span<const uint8_t> data) {
    pending_param_ids_.clear();
    if (data.empty() || data.size() % kParamItemBytes != 0) {
        char msg[64];
        std::snprintf(msg, sizeof msg, "parameter request of %zu bytes is not whole items",
                      data.size());
        return fail(msg);
    }
    for (size_t off = 0; off < data.size(); off += kParamItemBytes) {
        if (!params_.known(data[off])) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "unknown parameter id %u", data[off]);
            pending_param_ids_.clear();
            return fail(msg);
        }
        pending_param_ids_.push_back(data[off]);
    }
}

void Camera::param_reply(uint16_t length, ControlResponse &resp) {
    if (pending_param_ids_.empty()) return fail("parameter read without request");
    const size_t n = std::min(pending_param_ids_.size(), size_t{length} / kParamItemBytes);
    for (size_t i = 0; i < n; ++i) {
        const ParamValue *p = params_.find(pending_param_ids_[i]);
        uint8_t *item = resp.data.data() + i * kParamItemBytes;
        item[0] = pending_param_ids_[i];
        item[1] = p->len;
        std::memcpy(item + 2, p->bytes.data(), kParamValueBytes);
        ++stats.param_gets;
    }
    pending_param_ids_.clear();
}

void Camera::reg_write(std::span<const uint8_t> data) {
    if (data.size() < kRegHeaderBytes) return fail("register request too short");
    const uint8_t target = data[0];
    const uint32_t first = wire::get_u32(data.data() + 1);
    const uint16_t nbytes = wire::get_u16(data.data() + 5);
    if (nbytes % 4 != 0 || data.size() - kRegHeaderBytes < nbytes)
        return fail("register values do not match the header");
    std::string err = registers_.check(target, first, nbytes / 4u, true);
    if (!err.empty()) return fail(err);
    for (uint32_t i = 0; i < nbytes / 4u; ++i) {
        registers_.set(target, first + i, wire::get_u32(data.data() + kRegHeaderBytes + 4 * i));
        ++stats.reg_writes;
    }
}

void Camera::reg_request(std::span<const uint8_t> data) {
    reg_read_pending_ = false;
    if (data.size() < kRegHeaderBytes) return fail("register request too short");
    const uint8_t target = data[0];
    const uint32_t first = wire::get_u32(data.data() + 1);
    const uint16_t nbytes = wire::get_u16(data.data() + 5);
    if (nbytes % 4 != 0) return fail("register byte count is not whole registers");
    std::string err = registers_.check(target, first, nbytes / 4u, false);
    if (!err.empty()) return fail(err);
    reg_read_pending_ = true;
    reg_read_target_ = target;
    reg_read_first_ = first;
    reg_read_count_ = nbytes / 4u;
}

void Camera::reg_reply(uint16_t length, ControlResponse &resp) {
    if (!reg_read_pending_) return fail("register read without request");
    const uint32_t n = std::min<uint32_t>(reg_read_count_, length / 4u);
    for (uint32_t i = 0; i < n; ++i) {
        wire::put_u32(resp.data.data() + 4 * i,
                      registers_.get(reg_read_target_, reg_read_first_ + i));
        ++stats.reg_reads;
    }
    reg_read_pending_ = false;
}

void Camera::reset(std::span<const uint8_t> data, Clock::time_point now) {
    if (data.size() < 4) return fail("reset needs a 32-bit target");
    const uint32_t target = wire::get_u32(data.data());
    ++stats.resets;
    stats.last_reset_target = target;
    switch (target) {
        case reset_target::kReboot:
            // Acknowledged first; the board drops off the bus a moment later.
            leave_ = BusLeave{now + kRebootLeaveDelay,
                              std::chrono::milliseconds(cfg_.reboot_delay_ms), false};
            return;
        case reset_target::kSensor:
            registers_.reset_target(reg_target::kSensor);
            return;
        case reset_target::kStream:
            link_down();
            return;
        case reset_target::kUsbInterface:
            leave_ = BusLeave{now, std::chrono::milliseconds(cfg_.reset_delay_ms), true};
            return;
        default: {
            char msg[64];
            std::snprintf(msg, sizeof msg, "reset target %u not supported", target);
            return fail(msg);
        }
    }
}

void Camera::stream_start(std::span<const uint8_t> data, Clock::time_point now) {
    if (data.size() < 4) return fail("stream start needs a 32-bit argument");
    stats.last_start_arg = wire::get_u32(data.data());
    ++stats.stream_starts;
    if (streaming_) return;
    calib.rewind();
    streaming_ = true;
    next_due_ = now;
}

void Camera::stream_stop() {
    ++stats.stream_stops;
    link_down();
}

// ---- stream -------------------------------------------------------------------

Clock::duration Camera::frame_period() const {
    const uint32_t fps = std::max<uint32_t>(1, params_.u32(param_id::kFrameRate));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(1000000000 / fps));
}

std::optional<Clock::time_point> Camera::next_frame_due() const {
    if (!streaming_ || cfg_.free_run || calib.uploading(params_)) return std::nullopt;
    return next_due_;
}

void Camera::drift_temperatures() {
    if (!cfg_.drift_temperature) return;
    ++drift_frames_;
    if (drift_frames_ % kSensorDriftFrames == 0 && t_sensor_ < cfg_.t_sensor + kSensorDriftMax)
        ++t_sensor_;
    if (drift_frames_ % kBoardDriftFrames == 0 && t_ib_ < cfg_.t_ib + kBoardDriftMax) ++t_ib_;
}

bool Camera::produce(Clock::time_point now) {
    if (!streaming_) return false;
    if (calib.uploading(params_)) return produce_upload();
    if (!cfg_.free_run) {
        if (now < next_due_) return false;
        const auto period = frame_period();
        next_due_ += period;
        // Late by more than a frame (nobody was reading): no catch-up burst.
        if (next_due_ + period <= now) next_due_ = now + period;
    }
    SensorState s;
    s.mod_freq_hz = params_.u32(param_id::kModFreq);
    s.intg_time = params_.u16(param_id::kIntgTime);
    s.intg_time2 = params_.u16(param_id::kIntgTime2);
    s.t_sensor = t_sensor_;
    s.t_ib = t_ib_;
    if (usb_faults.inconsistent > 0) {
        --usb_faults.inconsistent;
        inconsistent_ = true;
    } else {
        inconsistent_ = false;
    }
    s.inconsistent = inconsistent_;
    gen_->make_frame(s, frame_buf_);

    uint8_t desc[kFrameDescBytes] = {};
    wire::put_u16(desc, static_cast<uint16_t>(cfg_.width));
    wire::put_u16(desc + 2, static_cast<uint16_t>(cfg_.height));
    wire::put_u16(desc + 4, static_cast<uint16_t>(t_sensor_));
    wire::put_u16(desc + 6, static_cast<uint16_t>(t_ib_));

    if (fifo_pos_ == fifo_.size()) {
        fifo_.clear();
        fifo_pos_ = 0;
    } else if (fifo_pos_ > kFifoCompactBytes) {
        fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(fifo_pos_));
        fifo_pos_ = 0;
    }
    const size_t before = fifo_.size();
    last_frame_index_ = encoder_.next_frame_index;
    stats.chunks +=
        encoder_.add_frame(frame_buf_, gen_->frame_format(), desc, fifo_, stream_faults);
    appended_ += fifo_.size() - before;
    in_fifo_.push_back({last_frame_index_, appended_});
    ++stats.frames;
    last_frame_ = frame_buf_;
    std::memcpy(last_desc_, desc, kFrameDescBytes);
    stats.next_frame_index = encoder_.next_frame_index;
    stats.next_stream_index = encoder_.next_stream_index;
    drift_temperatures();
    return fifo_.size() > before;
}

// Data upload mode: the stored calibration package, one format-171 frame a
// call (indexes from 0), unpaced; nothing after its last frame.
bool Camera::produce_upload() {
    uint16_t index = 0;
    if (!calib.next_frame(frame_buf_, index)) return false;
    uint8_t desc[kFrameDescBytes] = {};
    wire::put_u16(desc, static_cast<uint16_t>(cfg_.width));
    wire::put_u16(desc + 2, static_cast<uint16_t>(cfg_.height));
    if (fifo_pos_ == fifo_.size()) {
        fifo_.clear();
        fifo_pos_ = 0;
    }
    const size_t before = fifo_.size();
    encoder_.next_frame_index = index;
    last_frame_index_ = index;
    stats.chunks += encoder_.add_frame(frame_buf_, kCalibFrameFormat, desc, fifo_, stream_faults);
    appended_ += fifo_.size() - before;
    ++stats.frames;
    stats.next_frame_index = encoder_.next_frame_index;
    stats.next_stream_index = encoder_.next_stream_index;
    return fifo_.size() > before;
}

void Camera::note_delivered(uint64_t t_ns) {
    while (!in_fifo_.empty() && in_fifo_.front().end <= stats.stream_bytes) {
        sent_.push_back({in_fifo_.front().index, t_ns});
        in_fifo_.pop_front();
        if (sent_.size() > kSentKept) sent_.pop_front();
    }
}

bool Camera::frame_sent_ns(uint16_t index, uint64_t &t_ns) const {
    for (auto it = sent_.rbegin(); it != sent_.rend(); ++it)
        if (it->index == index) {
            t_ns = it->t_ns;
            return true;
        }
    return false;
}

size_t Camera::take(uint8_t *dst, size_t n) {
    n = std::min(n, fifo_available());
    std::memcpy(dst, fifo_.data() + fifo_pos_, n);
    fifo_pos_ += n;
    stats.stream_bytes += n;
    return n;
}

}  // namespace camsim
