// One simulated camera: what the firmware does with the vendor requests on
// endpoint 0 (commands, status poll, parameters, registers, stream start and
// stop, resets) and the frame stream it produces for bulk endpoint 0x81.
// Not thread-safe: the bus calls it under its lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "calib_store.h"
#include "camsim.h"
#include "data_actions.h"
#include "frame_gen.h"
#include "param_table.h"
#include "register_file.h"
#include "stream_encoder.h"

namespace camsim {

using Clock = std::chrono::steady_clock;

// The vendor commands (request byte) and their values.
namespace cmd {
constexpr uint8_t kStatusPoll = 0xB0;
constexpr uint8_t kDevice = 0xC0;  // values below
constexpr uint16_t kReset = 0, kParamSet = 3, kParamGet = 4;
constexpr uint8_t kRegister = 0xC2;  // values below
constexpr uint16_t kRegWrite = 0, kRegRead = 1, kStreamStart = 4, kStreamStop = 5;
}  // namespace cmd

namespace status {
constexpr uint8_t kDone = 0;
constexpr uint8_t kBusy = 254;
constexpr uint8_t kFailed = 255;
}  // namespace status

constexpr size_t kStatusReplyBytes = 63;
constexpr size_t kStatusTextBytes = 60;
constexpr size_t kParamItemBytes = 20;
constexpr size_t kRegHeaderBytes = 7;

// Reset targets.
namespace reset_target {
constexpr uint32_t kReboot = 0;
constexpr uint32_t kSensor = 1;
constexpr uint32_t kStream = 2;
constexpr uint32_t kUsbInterface = 3;
}  // namespace reset_target

struct ControlRequest {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    std::span<const uint8_t> data;  // host-to-device data stage
};

struct ControlResponse {
    bool stall = false;
    std::vector<uint8_t> data;  // device-to-host data stage
};

// Faults that concern the USB side; the bus consumes them.
struct UsbFaults {
    uint32_t status_busy = 0;
    uint32_t fail_command = 0;
    std::string fail_message = "injected failure";
    uint32_t hang_control = 0;
    uint32_t claim_busy = 0;
    uint32_t claim_busy_iface = 0;
    uint32_t open_fail = 0;
    uint32_t stall_in = 0;
    uint32_t timeout_in = 0;
    uint32_t timeout_in_bytes = 0;
    bool timeout_in_wait = false;
    uint32_t stall_out = 0;
    int64_t unplug_after = -1;  // bulk IN completions before the camera drops off
    uint32_t inconsistent = 0;
    uint32_t event_error = 0;
    int event_error_code = -1;  // LIBUSB_ERROR_IO
    uint32_t status_mismatch = 0;
    uint32_t status_short = 0;
    uint32_t status_short_bytes = 10;
};

// A request of the firmware to leave the bus (resets).
struct BusLeave {
    Clock::time_point leave_at;
    std::chrono::milliseconds away;
    bool keep_state = true;
};

class Camera {
  public:
    Camera(int id, const camsim_camera_config_t &cfg);

    int id() const { return id_; }
    const camsim_camera_config_t &config() const { return cfg_; }

    // Handles one control transfer (the setup packet and its data stage).
    ControlResponse control(const ControlRequest &req, Clock::time_point now);

    // Stream: makes the frames due at `now`, appending their chunks to the
    // FIFO; returns true when bytes were added.
    bool produce(Clock::time_point now);
    std::optional<Clock::time_point> next_frame_due() const;
    size_t fifo_available() const { return fifo_.size() - fifo_pos_; }
    // Moves up to n FIFO bytes to dst; returns how many.
    size_t take(uint8_t *dst, size_t n);
    // The host received the stream bytes taken so far (a transfer completed
    // at t_ns, CLOCK_MONOTONIC): frames whose last byte was among them are
    // sent at that time.
    void note_delivered(uint64_t t_ns);
    // When frame `index` last reached the host; false when it is not among
    // the last kSentKept frames sent.
    bool frame_sent_ns(uint16_t index, uint64_t &t_ns) const;
    bool streaming() const { return streaming_; }
    bool free_running() const { return cfg_.free_run != 0; }

    // Power cycle: parameters, registers and stream back to their defaults.
    void power_cycle();
    // The USB link went away: the stream stops, the FIFO empties.
    void link_down();
    std::optional<BusLeave> take_bus_leave();

    void set_stream_layout(const StreamLayout &layout) { encoder_.set_layout(layout); }
    void set_pacing(uint32_t fps, bool free_run);
    void set_temperature(int16_t t_sensor, int16_t t_ib, bool drift);
    // Points the camera at another scene from the next frame it makes on, and returns the
    // stream frame index that frame will carry. Throws std::invalid_argument for an unknown
    // scene (nothing changes then).
    uint16_t set_scene(const std::string &scene);

    ParamTable &params() { return params_; }
    RegisterFile &registers() { return registers_; }
    FrameGenerator &generator() { return *gen_; }
    const std::vector<uint8_t> &last_frame() const { return last_frame_; }
    const uint8_t *last_desc() const { return last_desc_; }
    uint16_t last_frame_index() const { return last_frame_index_; }
    uint8_t *device_descriptor(uint8_t out[18]) const;

    UsbFaults usb_faults;
    StreamFaults stream_faults;
    DataActions data;  // data images: command 0xCC and bulk OUT 0x01
    CalibStore calib;  // the calibration package (parameter 8, upload mode)
    camsim_camera_stats_t stats{};

  private:
    void command(const ControlRequest &req, ControlResponse &resp, Clock::time_point now);
    void fail(const std::string &text);
    void standard_request(const ControlRequest &req, ControlResponse &resp) const;
    void param_set(std::span<const uint8_t> data);
    void param_request(std::span<const uint8_t> data);
    void param_reply(uint16_t length, ControlResponse &resp);
    void reg_write(std::span<const uint8_t> data);
    void reg_request(std::span<const uint8_t> data);
    void reg_reply(uint16_t length, ControlResponse &resp);
    void reset(std::span<const uint8_t> data, Clock::time_point now);
    void stream_start(std::span<const uint8_t> data, Clock::time_point now);
    void stream_stop();
    void status_reply(uint16_t length, ControlResponse &resp, bool flash_busy);
    void drift_temperatures();
    bool produce_upload();
    Clock::duration frame_period() const;

    int id_;
    camsim_camera_config_t cfg_;
    CameraIdentity identity_;
    ParamTable params_;
    RegisterFile registers_;
    std::unique_ptr<FrameGenerator> gen_;
    StreamEncoder encoder_;

    // status of the last command
    uint8_t status_ = status::kDone;
    uint8_t last_type_ = 0;
    uint16_t last_value_ = 0;
    std::string message_;

    // requests waiting for their read phase
    std::vector<uint8_t> pending_param_ids_;
    bool reg_read_pending_ = false;
    uint8_t reg_read_target_ = 0;
    uint32_t reg_read_first_ = 0, reg_read_count_ = 0;

    // stream
    bool streaming_ = false;
    Clock::time_point next_due_{};
    std::vector<uint8_t> fifo_;
    size_t fifo_pos_ = 0;
    // Stream frames not yet wholly at the host: index and the stream byte
    // count (stats.stream_bytes) at their end; then the last ones sent.
    struct FrameEnd {
        uint16_t index;
        uint64_t end;
    };
    struct FrameSent {
        uint16_t index;
        uint64_t t_ns;
    };
    static constexpr size_t kSentKept = 256;
    std::deque<FrameEnd> in_fifo_;
    std::deque<FrameSent> sent_;
    uint64_t appended_ = 0;  // bytes ever put into the FIFO, as stream_bytes counts taken ones
    std::vector<uint8_t> frame_buf_;
    std::vector<uint8_t> last_frame_;
    uint8_t last_desc_[kFrameDescBytes] = {};
    uint16_t last_frame_index_ = 0;
    int16_t t_sensor_, t_ib_;
    uint64_t drift_frames_ = 0;
    bool inconsistent_ = false;

    std::optional<BusLeave> leave_;
};

// "E1", "E2", "E3" or "T0" for a CAMSIM_CHIP_* code.
const char *chip_code(uint8_t chip);

}  // namespace camsim
