#include "data_actions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace camsim {
namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;

std::string text(const char *fmt, unsigned a, unsigned b = 0) {
    char msg[64];
    std::snprintf(msg, sizeof msg, fmt, a, b);
    return msg;
}

}  // namespace

uint16_t crc16_xmodem(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc = static_cast<uint16_t>(crc ^ (b << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kCrcPolynomial : crc << 1);
    }
    return crc;
}

bool DataActions::inject(int fault, uint32_t count, uint32_t arg) {
    switch (fault) {
        case CAMSIM_FAULT_DATA_REJECT_START:
            faults_.reject_start += count;
            faults_.reject_status = arg ? static_cast<uint8_t>(arg) : data_status::kRefused;
            return true;
        case CAMSIM_FAULT_DATA_ERASE_STUCK:
            faults_.erase_stuck += count;
            return true;
        case CAMSIM_FAULT_DATA_CORRUPT_BLOCK:
            faults_.corrupt_block += count;
            return true;
        case CAMSIM_FAULT_DATA_ACK_FAIL:
            faults_.ack_fail += count;
            return true;
        case CAMSIM_FAULT_DATA_PAYLOAD_FAIL:
            faults_.payload_fail += count;
            return true;
        default:
            return false;
    }
}

void DataActions::power_cycle() {
    phase_ = Phase::Idle;
    busy_until_ = {};
    image_taken_ = false;
    idle_status_ = data_status::kIdle;
    staging_.clear();
    staging_.shrink_to_fit();
    next_block_ = 0;
    upload_selected_ = false;
    payload_pending_ = 0;
}

uint32_t DataActions::block_count() const {
    return (size_ + kDataBlockBytes - 1) / kDataBlockBytes;
}

std::string DataActions::command(bool in, uint16_t value, std::span<const uint8_t> out,
                                 std::span<uint8_t> reply, TimePoint now) {
    switch (value) {
        case data_action::kInfo:
            if (!in) {
                if (out.empty()) return "data info request without a type";
                info_type_ = out[0];
                return {};
            }
            info_reply(reply);
            return {};
        case data_action::kStart:
            if (in) break;
            return start(out);
        case data_action::kAck:
            if (in) return ack_reply(reply, now);
            // The request phase of an acknowledgement read (or an action
            // record of kind 4, which changes nothing).
            if (faults_.ack_fail > 0) {
                --faults_.ack_fail;
                return "injected acknowledgement failure";
            }
            return {};
        case data_action::kState:
            if (in) state_reply(reply);
            return {};
        case data_action::kErase:
            if (in) break;
            return erase(out, now);
        case data_action::kPayload:
            return in ? payload_reply(reply) : payload_request(out);
    }
    return text("unknown data action 0x%02x (direction %u)", value, in ? 1u : 0u);
}

std::string DataActions::start(std::span<const uint8_t> out) {
    if (out.size() < kStartActionBytes) return "start action too short";
    ++stats_.starts;
    staging_.clear();
    next_block_ = 0;
    phase_ = Phase::Idle;
    const uint8_t type = out[0];
    const uint16_t version = wire::get_u16(out.data() + 2);
    const uint32_t size = wire::get_u32(out.data() + 4);
    if (faults_.reject_start > 0) {
        --faults_.reject_start;
        idle_status_ = faults_.reject_status;
        return {};
    }
    if (size == 0 || size > FlashStore::kCapacity) {
        idle_status_ = data_status::kRefused;
        return {};
    }
    type_ = type;
    version_ = version;
    size_ = size;
    phase_ = Phase::Started;
    return {};
}

std::string DataActions::erase(std::span<const uint8_t> out, TimePoint now) {
    if (out.size() < kEraseActionBytes) return "erase action too short";
    if (phase_ != Phase::Started) return "erase without an accepted start";
    const uint8_t type = out[0];
    const uint32_t size = wire::get_u32(out.data() + 1);
    const uint32_t block = wire::get_u32(out.data() + 5);
    if (type != type_ || size != size_)
        return text("erase of type %u does not match the start (type %u)", type, type_);
    if (block != kDataBlockBytes) return text("block size %u not supported", block);
    ++stats_.erases;
    flash_.erase(type_);
    busy_until_ = now + busy_time_;
    phase_ = Phase::Erasing;
    erase_end_ = now + erase_time_;
    erase_acks_ = 0;
    erase_stuck_ = faults_.erase_stuck > 0;
    if (erase_stuck_) --faults_.erase_stuck;
    staging_.clear();
    staging_.reserve(size_);
    next_block_ = 0;
    return {};
}

std::string DataActions::ack_reply(std::span<uint8_t> reply, TimePoint now) {
    if (image_taken_) {
        image_taken_ = false;
        busy_until_ = now + busy_time_;
    }
    uint32_t next = 0;
    uint8_t status = idle_status_;
    switch (phase_) {
        case Phase::Idle:
            break;
        case Phase::Started:
            status = data_status::kStartAccepted;
            break;
        case Phase::Erasing: {
            const bool busy =
                erase_stuck_ || (erase_time_.count() > 0 && erase_acks_ == 0) || now < erase_end_;
            ++erase_acks_;
            if (busy) {
                status = data_status::kErasing;
                ++stats_.erase_busy_acks;
                break;
            }
            phase_ = Phase::Receiving;
            status = data_status::kReady;
            break;
        }
        case Phase::Receiving:
            next = next_block_;
            status = data_status::kReady;
            break;
        case Phase::Done:
            next = block_count();
            status = data_status::kReady;
            break;
    }
    ++stats_.ack_reads;
    uint8_t ack[kAckBytes] = {};
    wire::put_u32(ack, next);
    ack[4] = status;
    std::memcpy(reply.data(), ack, std::min(reply.size(), sizeof ack));
    return {};
}

void DataActions::state_reply(std::span<uint8_t> reply) const {
    uint8_t st[kStateBytes] = {};
    wire::put_u32(st, phase_ == Phase::Done ? block_count() : next_block_);
    st[4] = static_cast<uint8_t>(phase_);
    wire::put_u32(st + 5, received());
    std::memcpy(reply.data(), st, std::min(reply.size(), sizeof st));
}

void DataActions::bulk_out(std::span<const uint8_t> bytes) {
    ++stats_.blocks;
    auto refuse = [this] { ++stats_.bad_blocks; };
    if (phase_ != Phase::Receiving || bytes.size() < kBlockHeaderBytes) return refuse();
    std::vector<uint8_t> block(bytes.begin(), bytes.end());
    if (faults_.corrupt_block > 0 && block.size() > kBlockHeaderBytes) {
        --faults_.corrupt_block;
        block[kBlockHeaderBytes + (block.size() - kBlockHeaderBytes) / 2] ^= 0x5A;
    }
    const uint16_t crc = wire::get_u16(block.data());
    const uint32_t n = wire::get_u32(block.data() + 2);
    const uint32_t expected = std::min(kDataBlockBytes, size_ - received());
    if (n != expected || block.size() - kBlockHeaderBytes != n) return refuse();
    std::span<const uint8_t> data(block.data() + kBlockHeaderBytes, n);
    if (crc16_xmodem(data) != crc) return refuse();
    staging_.insert(staging_.end(), data.begin(), data.end());
    ++next_block_;
    stats_.last_block_len = n;
    if (received() == size_) {
        flash_.store(type_, version_, staging_);
        ++stats_.images_written;
        image_taken_ = true;
        staging_.clear();
        staging_.shrink_to_fit();
        phase_ = Phase::Done;
    }
}

void DataActions::info_reply(std::span<uint8_t> reply) {
    ++stats_.info_requests;
    uint8_t info[kDataInfoBytes] = {};
    info[0] = info_type_;
    const FlashImage *img = flash_.find(info_type_);
    wire::put_u16(info + 2, img ? img->version : 0);
    wire::put_u32(info + 4, img ? static_cast<uint32_t>(img->bytes.size()) : FlashStore::kNoData);
    wire::put_u32(info + 8, img ? FlashStore::address_of(info_type_) : 0);
    std::memcpy(reply.data(), info, std::min(reply.size(), sizeof info));
    // The data info starts an upload of that type from its first byte.
    upload_selected_ = img != nullptr;
    upload_type_ = info_type_;
    upload_pos_ = 0;
    payload_pending_ = 0;
}

std::string DataActions::payload_request(std::span<const uint8_t> out) {
    payload_pending_ = 0;
    if (out.size() < kPayloadRequestBytes) return "payload request too short";
    if (faults_.payload_fail > 0) {
        --faults_.payload_fail;
        return "injected payload failure";
    }
    const uint32_t wanted = wire::get_u32(out.data() + 4);
    if (!upload_selected_) return "payload request without data info";
    const FlashImage *img = flash_.find(upload_type_);
    if (img == nullptr) return "payload request without data info";
    if (wanted == 0 || wanted > kPayloadMaxBytes)
        return text("payload of %u bytes (1..%u)", wanted, kPayloadMaxBytes);
    if (wanted > out.size())
        return text("payload of %u bytes needs a %u-byte read", wanted, wanted);
    if (wanted > img->bytes.size() - upload_pos_)
        return text("payload of %u bytes beyond the end (%u left)", wanted,
                    static_cast<unsigned>(img->bytes.size() - upload_pos_));
    payload_pending_ = wanted;
    return {};
}

std::string DataActions::payload_reply(std::span<uint8_t> reply) {
    const FlashImage *img = flash_.find(upload_type_);
    if (payload_pending_ == 0 || img == nullptr) return "payload read without request";
    const uint32_t n = std::min<uint32_t>(payload_pending_, static_cast<uint32_t>(reply.size()));
    std::memcpy(reply.data(), img->bytes.data() + upload_pos_, n);
    upload_pos_ += n;
    payload_pending_ = 0;
    ++stats_.payload_requests;
    stats_.payload_bytes += n;
    return {};
}

}  // namespace camsim
