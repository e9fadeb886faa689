// The command protocol: vendor control transfers on endpoint 0, each
// followed by a status poll in which the camera reports on the last command.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/le.h"
#include "kavri/ll.h"
#include "core/log_internal.h"
#include "ll/usb_ll.h"
#include "ll/usb_sync.h"

namespace kavri::ll {
namespace {

constexpr const char *kCmdTag = "usb_ll_exe_cmd";

// Setup packet.
constexpr size_t kSetupSize = LIBUSB_CONTROL_SETUP_SIZE;
constexpr uint8_t kRequestTypeOut = 0x22;  // host-to-device, class, endpoint
constexpr uint8_t kRequestTypeIn = 0xA2;   // device-to-host, class, endpoint
constexpr uint32_t kMaxDataLength = 0xFFFF;

// Command types and values.
constexpr uint8_t kCmdStatus = 0xB0;
constexpr uint8_t kCmdDevice = 0xC0;
constexpr uint16_t kValReset = 0;
constexpr uint16_t kValParamSet = 3;
constexpr uint16_t kValParamGet = 4;
constexpr uint8_t kCmdRegister = 0xC2;
constexpr uint16_t kValRegWrite = 0;
constexpr uint16_t kValRegRead = 1;
constexpr uint32_t kCmdTimeoutMs = 1000;

// Status reply.
constexpr size_t kStatusReplySize = 63;
constexpr uint8_t kStatusBusy = 254;
constexpr uint8_t kStatusFailed = 255;
constexpr size_t kStatusTextOffset = 3;
// A healthy camera answers busy for a moment, or for as long as the command
// itself may take (its time-out); one that stays busy beyond both is stuck,
// and the command fails instead of waiting forever.
constexpr auto kMinBusyLimit = std::chrono::milliseconds(3000);

// Register and parameter chunking.
constexpr size_t kRegHeaderSize = 7;
constexpr uint32_t kRegChunk = 16;
constexpr size_t kRegBytes = 4;
constexpr size_t kParamItemSize = sizeof(kavri_ll_param_item_t);
constexpr uint32_t kParamChunk = 3;

// Device reset.
constexpr uint8_t kResetInterface = 3;
constexpr int kReopenAttempts = 15;
constexpr auto kReopenPause = std::chrono::milliseconds(200);
constexpr int kResetIfTimeoutMs = 3000;

usb_ll_dev_priv_t *ready_state(kavri_ll_t *ll) {
    usb_ll_dev_priv_t *st = usb_state(ll);
    if (st == nullptr || st->handle == nullptr) {
        KV_ERR("[%s]  USB handler Is NULL!\r\n", kCmdTag);
        return nullptr;
    }
    if (st->on_event_thread()) {
        // Only this thread could deliver the completion the command waits for.
        KV_ERR("[%s] commands cannot run on the device's event thread\n", kCmdTag);
        return nullptr;
    }
    return st;
}

// One control transfer and its wait. Out commands send `data`; in commands
// receive into it. Returns the data-stage length or a negative libusb error.
int32_t control_transfer(kavri_ll_t *ll, bool out, uint8_t type, uint16_t value, uint8_t *data,
                         uint32_t len, uint32_t timeout_ms) {
    usb_ll_dev_priv_t *st = ready_state(ll);
    if (st == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (len > kMaxDataLength || (len > 0 && data == nullptr)) {
        // The setup packet's length field has 16 bits.
        KV_ERR("[%s] bad command data (len=%u)\n", kCmdTag, len);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    auto job = usb_ll_sync_alloc(kSetupSize + len, kCmdTag);
    if (job == nullptr) return LIBUSB_ERROR_NO_MEM;

    libusb_transfer *t = job->transfer;
    unsigned char *buffer = t->buffer;
    libusb_fill_control_setup(buffer, out ? kRequestTypeOut : kRequestTypeIn, type, value, 0,
                              static_cast<uint16_t>(len));
    if (out && len > 0) std::memcpy(buffer + kSetupSize, data, len);
    libusb_fill_control_transfer(t, st->handle.get(), buffer, nullptr, nullptr, timeout_ms);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;

    return usb_ll_sync_run(
        *st, std::move(job), kCommandLimits, SyncKind::command, kCmdTag,
        [&](const libusb_transfer &done) {
            if (out || done.actual_length <= 0) return;
            const size_t got = std::min<size_t>(static_cast<size_t>(done.actual_length), len);
            std::memcpy(
                data, libusb_control_transfer_get_data(const_cast<libusb_transfer *>(&done)), got);
        });
}

// A control transfer that must move exactly len bytes.
bool send_command(kavri_ll_t *ll, bool out, uint8_t type, uint16_t value, uint8_t *data,
                  uint32_t len, uint32_t timeout_ms) {
    const int32_t r = control_transfer(ll, out, type, value, data, len, timeout_ms);
    if (r == static_cast<int32_t>(len)) return true;
    KV_ERR("[%s] exe usb cmd failed: %s\n", kCmdTag, libusb_error_name(r));
    return false;
}

// A write command followed by its status poll.
bool write_and_check(kavri_ll_t *ll, uint8_t type, uint16_t value, uint8_t *data, uint32_t len) {
    return send_command(ll, true, type, value, data, len, kCmdTimeoutMs) &&
           usb_ll_check_last_cmd(ll, type, static_cast<uint8_t>(value));
}

// A read phase: the reply into data, followed by its status poll.
bool read_and_check(kavri_ll_t *ll, uint8_t type, uint16_t value, uint8_t *data, uint32_t len) {
    return send_command(ll, false, type, value, data, len, kCmdTimeoutMs) &&
           usb_ll_check_last_cmd(ll, type, static_cast<uint8_t>(value));
}

void put_reg_header(uint8_t *out, uint8_t target, uint32_t base, uint32_t count) {
    out[0] = target;
    le::put_u32(out + 1, base);
    le::put_u16(out + 5, static_cast<uint16_t>(count * kRegBytes));
}

}  // namespace

uint8_t usb_ll_check_last_cmd(kavri_ll_t *ll, uint8_t type, uint8_t value, uint32_t op_timeout_ms) {
    constexpr const char *tag = "usb_ll_check_last_cmd";
    const auto busy_limit = std::max<std::chrono::milliseconds>(
        kMinBusyLimit, std::chrono::milliseconds(op_timeout_ms));
    std::chrono::steady_clock::time_point busy_since{};
    bool busy = false;
    for (;;) {
        uint8_t reply[kStatusReplySize] = {};
        const int32_t r =
            control_transfer(ll, false, kCmdStatus, 0, reply, sizeof reply, kCmdTimeoutMs);
        if (r != static_cast<int32_t>(kStatusReplySize)) {
            KV_ERR("[%s] exe usb cmd failed: %s\n", kCmdTag, libusb_error_name(r));
            return 0;
        }
        if (reply[1] != type || reply[2] != value) {
            KV_WRN("[%s]  last cmd (t=%u,v=%u) is not as expect(t=%u,v=%u)\r\n", tag, reply[1],
                   reply[2], type, value);
            return 0;
        }
        if (reply[0] == kStatusFailed) {
            char text[kStatusReplySize - kStatusTextOffset + 1] = {};
            std::memcpy(text, reply + kStatusTextOffset, kStatusReplySize - kStatusTextOffset);
            KV_ERR("[%s] %s\n", tag, text);
            return 0;
        }
        if (reply[0] != kStatusBusy) return 1;

        const auto now = std::chrono::steady_clock::now();
        if (!busy) {
            busy = true;
            busy_since = now;
        } else if (now - busy_since >= busy_limit) {
            KV_ERR("[%s] camera still busy after %d ms (t=%u,v=%u), give up\n", tag,
                   static_cast<int>(busy_limit.count()), type, value);
            return 0;
        }
    }
}

uint8_t usb_ll_exe_cmd(kavri_ll_t *ll, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                       uint32_t len, uint32_t timeout_ms) {
    auto *data = static_cast<uint8_t *>(buf);
    const auto v = static_cast<uint8_t>(value);
    // The camera may stay busy as long as the command itself may take.
    if (dir != 0) {
        return send_command(ll, true, type, value, data, len, timeout_ms) &&
               usb_ll_check_last_cmd(ll, type, v, timeout_ms);
    }
    // A read sends the request first, then fetches the reply of the same length.
    return send_command(ll, true, type, value, data, len, timeout_ms) &&
           usb_ll_check_last_cmd(ll, type, v, timeout_ms) &&
           send_command(ll, false, type, value, data, len, timeout_ms) &&
           usb_ll_check_last_cmd(ll, type, v, timeout_ms);
}

uint8_t usb_ll_reg_write(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                         uint16_t count) {
    constexpr const char *tag = "usb_ll_reg_write";
    if (count > 0 && values == nullptr) {
        KV_ERR("[%s] no register values\n", tag);
        return 0;
    }
    std::vector<uint8_t> block;
    try {
        block.resize(kRegHeaderSize + count * kRegBytes);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed\n", tag);
        return 0;
    }
    put_reg_header(block.data(), target, base, count);
    for (uint32_t i = 0; i < count; ++i)
        le::put_u32(block.data() + kRegHeaderSize + i * kRegBytes, values[i]);
    return write_and_check(ll, kCmdRegister, kValRegWrite, block.data(),
                           static_cast<uint32_t>(block.size()));
}

uint8_t usb_ll_reg_read(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                        uint16_t count) {
    constexpr const char *tag = "usb_ll_reg_read";
    if (count == 0) return 1;
    if (values == nullptr) {
        KV_ERR("[%s] no register buffer\n", tag);
        return 0;
    }
    uint32_t remaining = count;
    uint32_t reg = base;
    uint32_t *out = values;
    while (remaining > 0) {
        const uint32_t chunk = std::min(remaining, kRegChunk);
        uint8_t header[kRegHeaderSize];
        put_reg_header(header, target, reg, chunk);
        if (!write_and_check(ll, kCmdRegister, kValRegRead, header, sizeof header)) {
            KV_ERR("[%s] write phase failed\n", tag);
            return 0;
        }
        uint8_t raw[kRegChunk * kRegBytes] = {};
        const uint32_t bytes = chunk * static_cast<uint32_t>(kRegBytes);
        if (!read_and_check(ll, kCmdRegister, kValRegRead, raw, bytes)) {
            KV_ERR("[%s] read phase failed\n", tag);
            return 0;
        }
        for (uint32_t i = 0; i < chunk; ++i) out[i] = le::get_u32(raw + i * kRegBytes);
        reg += chunk;
        out += chunk;
        remaining -= chunk;
    }
    return 1;
}

uint8_t usb_ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    if (count > 0 && items == nullptr) {
        KV_ERR("[%s] no parameter items\n", "usb_ll_param_set");
        return 0;
    }
    const uint64_t bytes = static_cast<uint64_t>(count) * kParamItemSize;
    if (bytes > kMaxDataLength) {
        KV_ERR("[%s] too many parameter items (%u)\n", "usb_ll_param_set", count);
        return 0;
    }
    // The 20-byte items are plain bytes: they travel as they are.
    return write_and_check(ll, kCmdDevice, kValParamSet, reinterpret_cast<uint8_t *>(items),
                           static_cast<uint32_t>(bytes));
}

uint8_t usb_ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    constexpr const char *tag = "usb_ll_param_get";
    if (static_cast<int32_t>(count) <= 0) return 1;
    if (items == nullptr) {
        KV_ERR("[%s] no parameter items\n", tag);
        return 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        items[i].param_val_len = 0;
        std::memset(items[i].param_val, 0, sizeof items[i].param_val);
    }
    for (uint32_t done = 0; done < count;) {
        const uint32_t chunk = std::min(count - done, kParamChunk);
        auto *bytes = reinterpret_cast<uint8_t *>(items + done);
        const uint32_t len = chunk * static_cast<uint32_t>(kParamItemSize);
        if (!write_and_check(ll, kCmdDevice, kValParamGet, bytes, len)) {
            KV_ERR("[%s] write phase failed\n", tag);
            return 0;
        }
        if (!read_and_check(ll, kCmdDevice, kValParamGet, bytes, len)) {
            KV_ERR("[%s] read phase failed\n", tag);
            return 0;
        }
        done += chunk;
    }
    return 1;
}

int32_t usb_ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len) {
    constexpr const char *tag = "usb_ll_tx_data";
    usb_ll_dev_priv_t *st = ready_state(ll);
    if (st == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if ((len > 0 && buf == nullptr) || len > static_cast<uint32_t>(INT32_MAX)) {
        KV_ERR("[%s] bad data (len=%u)\n", tag, len);
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // The transfer sends its own copy, so a send that is given up never
    // leaves libusb reading the caller's buffer.
    auto job = usb_ll_sync_alloc(len, tag);
    if (job == nullptr) return 0;
    libusb_transfer *t = job->transfer;
    if (len > 0) std::memcpy(t->buffer, buf, len);
    libusb_fill_bulk_transfer(t, st->handle.get(), kDataEndpoint, t->buffer, static_cast<int>(len),
                              nullptr, nullptr, kBulkTimeoutMs);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;

    // The transfer's own timeout normally ends the wait; the host-side limit
    // only guards against an event thread that no longer runs.
    const WaitLimits limits{
        std::chrono::milliseconds(kBulkTimeoutMs) + kCommandLimits.cancel_after,
        std::chrono::milliseconds(kBulkTimeoutMs) + kCommandLimits.give_up_after};
    return usb_ll_sync_run(*st, std::move(job), limits, SyncKind::data_send, tag,
                           [](const libusb_transfer &) {});
}

uint8_t usb_ll_dev_reset(kavri_ll_t *ll, uint8_t target) {
    constexpr const char *tag = "usb_ll_dev_reset";
    KV_TRC("[%s] rest device (target=%d)\n", tag, target);
    uint8_t word[4];
    le::put_u32(word, target);

    if (target != kResetInterface) {
        if (!send_command(ll, true, kCmdDevice, kValReset, word, sizeof word, kCmdTimeoutMs))
            return 0;
        return usb_ll_check_last_cmd(ll, kCmdDevice, kValReset);
    }

    KV_TRC("[%s] Reset usb if (timeout = %d ms) ...\n", tag, kResetIfTimeoutMs);
    // The camera drops off the bus: the reply does not matter.
    (void)control_transfer(ll, true, kCmdDevice, kValReset, word, sizeof word, kCmdTimeoutMs);
    usb_ll_dev_priv_t *st = ready_state(ll);
    if (st == nullptr) return 0;
    // The state record stays: other threads may be waiting to send commands
    // on it, or interrupting them for a close.
    usb_ll_close_handle(ll);
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        std::this_thread::sleep_for(kReopenPause);
        if (st->interrupted.load()) break;  // the device is being closed
        if (usb_ll_dev_open(ll) != nullptr) {
            KV_TRC("[%s] Reset usb if end. \n", tag);
            return 0;
        }
    }
    KV_WRN("[%s] reopen device failed!\n", tag);
    KV_TRC("[%s] Reset usb if end. \n", tag);
    return 0;
}

}  // namespace kavri::ll
