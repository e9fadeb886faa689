// What the camera's firmware does with the data-transfer commands (request
// 0xCC, the command value selects the action) and with the data blocks that
// arrive on bulk OUT 0x01: the download of an image into the flash (start,
// erase, blocks checked by CRC and length) and the upload of an image back
// to the host (data info, then payload requests).
// Not thread-safe: the camera calls it under the bus lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "camsim_data.h"
#include "flash_store.h"

namespace camsim {

constexpr uint8_t kDataCommand = 0xCC;

namespace data_action {
constexpr uint16_t kInfo = 0;        // read: 16-byte data info of the type in byte 0
constexpr uint16_t kStart = 1;       // write: 12-byte start action
constexpr uint16_t kAck = 4;         // read: 13-byte acknowledgement (write: accepted, no effect)
constexpr uint16_t kState = 5;       // read: 9-byte transfer state
constexpr uint16_t kErase = 7;       // write: 13-byte erase action
constexpr uint16_t kPayload = 0x11;  // read: the next bytes of the selected image
}  // namespace data_action

// Status byte of an acknowledgement.
namespace data_status {
constexpr uint8_t kIdle = 0;
constexpr uint8_t kReady = 1;  // erased, receiving blocks
constexpr uint8_t kRefused = 2;
constexpr uint8_t kStartAccepted = 3;
constexpr uint8_t kErasing = 4;
}  // namespace data_status

constexpr uint32_t kDataBlockBytes = 65530;
constexpr uint32_t kPayloadMaxBytes = 450;
constexpr size_t kDataInfoBytes = 16;
constexpr size_t kStartActionBytes = 12;
constexpr size_t kEraseActionBytes = 13;
constexpr size_t kAckBytes = 13;
constexpr size_t kStateBytes = 9;
constexpr size_t kPayloadRequestBytes = 12;
constexpr size_t kBlockHeaderBytes = 6;  // u16 CRC, u32 data length

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
uint16_t crc16_xmodem(std::span<const uint8_t> bytes);

struct DataFaults {
    uint32_t reject_start = 0;
    uint8_t reject_status = data_status::kRefused;
    uint32_t erase_stuck = 0;
    uint32_t corrupt_block = 0;
    uint32_t ack_fail = 0;
    uint32_t payload_fail = 0;
};

class DataActions {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // One data-transfer command. `out` is the host-to-device data stage,
    // `reply` the device-to-host one (already sized to the request's
    // length). Returns "" when done, otherwise the camera's error text.
    std::string command(bool in, uint16_t value, std::span<const uint8_t> out,
                        std::span<uint8_t> reply, TimePoint now);
    // One bulk OUT transfer on 0x01: a data block.
    void bulk_out(std::span<const uint8_t> bytes);

    // Power cycle or reboot: a transfer in progress is forgotten; the flash
    // keeps its images.
    void power_cycle();

    // camsim_inject for the CAMSIM_FAULT_DATA_* faults; false for any other fault.
    bool inject(int fault, uint32_t count, uint32_t arg);
    void clear_faults() { faults_ = DataFaults{}; }
    void set_erase_time(std::chrono::milliseconds t) { erase_time_ = t; }
    void set_busy_time(std::chrono::milliseconds t) { busy_time_ = t; }
    // Whether the status poll answers busy at `now` (the camera works on flash).
    bool busy(TimePoint now) const { return now < busy_until_; }

    FlashStore &flash() { return flash_; }
    const camsim_data_stats_t &stats() const { return stats_; }

  private:
    enum class Phase { Idle, Started, Erasing, Receiving, Done };

    std::string start(std::span<const uint8_t> out);
    std::string erase(std::span<const uint8_t> out, TimePoint now);
    std::string ack_reply(std::span<uint8_t> reply, TimePoint now);
    void state_reply(std::span<uint8_t> reply) const;
    void info_reply(std::span<uint8_t> reply);
    std::string payload_request(std::span<const uint8_t> out);
    std::string payload_reply(std::span<uint8_t> reply);
    uint32_t received() const { return static_cast<uint32_t>(staging_.size()); }
    uint32_t block_count() const;

    FlashStore flash_;
    DataFaults faults_;
    camsim_data_stats_t stats_{};
    std::chrono::milliseconds erase_time_{100};
    std::chrono::milliseconds busy_time_{0};
    TimePoint busy_until_{};
    bool image_taken_ = false;  // the next acknowledgement read starts the busy time

    // download
    Phase phase_ = Phase::Idle;
    uint8_t idle_status_ = data_status::kIdle;  // what an acknowledgement says while idle
    uint8_t type_ = 0;
    uint16_t version_ = 0;
    uint32_t size_ = 0;
    TimePoint erase_end_{};
    uint32_t erase_acks_ = 0;
    bool erase_stuck_ = false;
    uint32_t next_block_ = 0;
    std::vector<uint8_t> staging_;

    // upload
    uint8_t info_type_ = 0;  // type named by the latest data info request
    bool upload_selected_ = false;
    uint8_t upload_type_ = 0;
    uint32_t upload_pos_ = 0;
    uint32_t payload_pending_ = 0;  // bytes asked for by the latest payload request
};

}  // namespace camsim
