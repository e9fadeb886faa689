// Plain-libusb helpers for the simulator's tests: a context, an opened
// camera, commands with the status poll, a bulk IN ring and a small stream
// parser. Written from the wire format on their own (no library code).
#pragma once

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "camsim.h"
#include "common/sim_leak_check.h"

namespace simtest {

constexpr uint8_t kEpIn = 0x81;
constexpr uint8_t kEpOut = 0x01;
constexpr uint8_t kOutType = 0x22, kInType = 0xA2;
constexpr uint8_t kStatusPoll = 0xB0, kDeviceCmd = 0xC0, kRegisterCmd = 0xC2;
constexpr int kStreamTransferBytes = 153600;
constexpr size_t kHeaderBytes = 36;

inline uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Simulator with a clean bus; checks at the end that nothing was left behind.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        camsim_reset();
        camsim_clear();
    }
    void TearDown() override { kavri_testing::expect_nothing_left_behind(expected_misuse); }

  public:
    // A camera with free-running frames and no noise unless told otherwise.
    static camsim_camera_config_t quick_config() {
        camsim_camera_config_t cfg;
        camsim_camera_config_default(&cfg);
        cfg.free_run = 1;
        cfg.noise = 0;
        return cfg;
    }

  protected:
    uint32_t expected_misuse = 0;
};

// One opened camera with interface 0 claimed.
struct Session {
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;

    explicit Session(uint8_t bus = 0, uint8_t port = 0) {
        EXPECT_EQ(libusb_init(&ctx), 0);
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && !h; ++i) {
            libusb_device_descriptor d;
            libusb_get_device_descriptor(list[i], &d);
            if (d.idVendor != 0x3a7c || d.idProduct != 0x0d01) continue;
            if (bus && libusb_get_bus_number(list[i]) != bus) continue;
            if (port && libusb_get_port_number(list[i]) != port) continue;
            EXPECT_EQ(libusb_open(list[i], &h), 0);
        }
        libusb_free_device_list(list, 1);
        if (h) {
            EXPECT_EQ(libusb_set_configuration(h, 1), 0);
            EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        }
    }
    ~Session() { close(); }
    void close() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
            h = nullptr;
        }
        if (ctx) {
            libusb_exit(ctx);
            ctx = nullptr;
        }
    }

    struct Done {
        int flag = 0;
    };
    static void LIBUSB_CALL on_done(libusb_transfer *t) {
        __atomic_store_n(&static_cast<Done *>(t->user_data)->flag, 1, __ATOMIC_RELEASE);
    }

    // One control transfer, completed by handling events on this thread.
    // Returns the data-stage length or a negative libusb error.
    int control(bool in, uint8_t type, uint16_t value, uint8_t *data, uint16_t len,
                unsigned timeout_ms = 1000) {
        libusb_transfer *t = libusb_alloc_transfer(0);
        auto *buf = static_cast<uint8_t *>(calloc(1, 8u + len));
        libusb_fill_control_setup(buf, in ? kInType : kOutType, type, value, 0, len);
        if (!in && len) memcpy(buf + 8, data, len);
        Done done;
        libusb_fill_control_transfer(t, h, buf, on_done, &done, timeout_ms);
        t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
        int rc = libusb_submit_transfer(t);
        if (rc < 0) {
            libusb_free_transfer(t);
            return rc;
        }
        while (!__atomic_load_n(&done.flag, __ATOMIC_ACQUIRE))
            libusb_handle_events_completed(ctx, &done.flag);
        switch (t->status) {
            case LIBUSB_TRANSFER_COMPLETED:
                rc = t->actual_length;
                if (in) memcpy(data, buf + 8, static_cast<size_t>(rc));
                break;
            case LIBUSB_TRANSFER_TIMED_OUT:
                rc = LIBUSB_ERROR_TIMEOUT;
                break;
            case LIBUSB_TRANSFER_STALL:
                rc = LIBUSB_ERROR_PIPE;
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
                rc = LIBUSB_ERROR_NO_DEVICE;
                break;
            default:
                rc = LIBUSB_ERROR_IO;
                break;
        }
        libusb_free_transfer(t);
        return rc;
    }

    struct Status {
        int rc = 0;
        uint8_t status = 0, type = 0, value = 0;
        std::string text;
        int polls = 0;
    };
    // Status poll, repeated while the camera is busy.
    Status poll() {
        Status s;
        uint8_t r[63];
        do {
            s.rc = control(true, kStatusPoll, 0, r, sizeof r);
            ++s.polls;
        } while (s.rc == 63 && r[0] == 254);
        if (s.rc == 63) {
            s.status = r[0];
            s.type = r[1];
            s.value = r[2];
            s.text.assign(reinterpret_cast<const char *>(r + 3), strnlen((const char *)r + 3, 60));
        }
        return s;
    }
    // A write command and its status poll; "" on success, else the reason.
    std::string write_cmd(uint8_t type, uint16_t value, std::vector<uint8_t> data) {
        int rc = control(false, type, value, data.data(), static_cast<uint16_t>(data.size()));
        if (rc != static_cast<int>(data.size()))
            return std::string("transfer: ") + libusb_error_name(rc);
        return check(type, value);
    }
    std::string check(uint8_t type, uint16_t value) {
        Status s = poll();
        if (s.rc != 63) return std::string("poll: ") + libusb_error_name(s.rc);
        if (s.type != type || s.value != (value & 0xff)) return "status of another command";
        if (s.status == 255) return s.text;
        return "";
    }
    // Read command: request out, poll, reply in, poll.
    std::string read_cmd(uint8_t type, uint16_t value, std::vector<uint8_t> &data) {
        std::string e = write_cmd(type, value, data);
        if (!e.empty()) return e;
        int rc = control(true, type, value, data.data(), static_cast<uint16_t>(data.size()));
        if (rc != static_cast<int>(data.size()))
            return std::string("reply: ") + libusb_error_name(rc);
        return check(type, value);
    }

    std::string param_set(uint8_t id, std::vector<uint8_t> value) {
        std::vector<uint8_t> item(20, 0);
        item[0] = id;
        item[1] = static_cast<uint8_t>(value.size());
        std::copy(value.begin(), value.end(), item.begin() + 2);
        return write_cmd(kDeviceCmd, 3, item);
    }
    std::string param_get(uint8_t id, std::vector<uint8_t> &value) {
        std::vector<uint8_t> item(20, 0);
        item[0] = id;
        std::string e = read_cmd(kDeviceCmd, 4, item);
        if (e.empty()) value.assign(item.begin() + 2, item.begin() + 2 + item[1]);
        return e;
    }
    std::string reg_write(uint8_t target, uint32_t first, const std::vector<uint32_t> &vals) {
        std::vector<uint8_t> req(7 + 4 * vals.size());
        req[0] = target;
        put32(&req[1], first);
        put16(&req[5], static_cast<uint16_t>(4 * vals.size()));
        for (size_t i = 0; i < vals.size(); ++i) put32(&req[7 + 4 * i], vals[i]);
        return write_cmd(kRegisterCmd, 0, req);
    }
    std::string reg_read(uint8_t target, uint32_t first, uint16_t count,
                         std::vector<uint32_t> &out) {
        std::vector<uint8_t> req(7);
        req[0] = target;
        put32(&req[1], first);
        put16(&req[5], static_cast<uint16_t>(4 * count));
        std::string e = write_cmd(kRegisterCmd, 1, req);
        if (!e.empty()) return e;
        std::vector<uint8_t> vals(4u * count);
        int rc = control(true, kRegisterCmd, 1, vals.data(), static_cast<uint16_t>(vals.size()));
        if (rc != static_cast<int>(vals.size())) return "reply failed";
        e = check(kRegisterCmd, 1);
        out.clear();
        for (uint16_t i = 0; i < count; ++i) out.push_back(le32(&vals[4u * i]));
        return e;
    }
    std::string stream_start(uint32_t arg = 0) {
        std::vector<uint8_t> d(4);
        put32(d.data(), arg);
        return write_cmd(kRegisterCmd, 4, d);
    }
    std::string stream_stop() { return write_cmd(kRegisterCmd, 5, {0xC2}); }
};

// A parsed chunk header.
struct Chunk {
    uint16_t sidx;
    uint32_t len, frlen;
    uint16_t fridx, frfmt;
    uint8_t desc[12];
    uint32_t sum;
    bool start, has_sum;
    bool sum_ok;
};

inline uint16_t fletcher16(const uint8_t *p, size_t n) {
    uint32_t s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
        s1 = (s1 + p[i]) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s1 | (s2 << 8));
}

// Cuts a byte stream into chunks and frames. Strict: any byte that is not
// where a header is expected counts as junk; frames are assembled only from
// chunks with valid checksums and consecutive stream indexes.
struct StreamParser {
    struct Frame {
        uint16_t index;
        uint16_t format;
        uint8_t desc[12];
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> buf;
    std::vector<Chunk> chunks;
    std::vector<Frame> frames;
    size_t junk = 0, bad_sums = 0, sidx_gaps = 0, broken_frames = 0;
    int prev_sidx = -1;
    Frame cur;
    bool in_frame = false;
    uint32_t cur_frlen = 0;

    void feed(const uint8_t *p, size_t n) {
        buf.insert(buf.end(), p, p + n);
        size_t pos = 0;
        for (;;) {
            while (pos + 1 < buf.size() && !(buf[pos] == 0xFB && buf[pos + 1] == 0x98)) {
                ++pos;
                ++junk;
            }
            if (pos + kHeaderBytes > buf.size()) break;
            const uint8_t *h = &buf[pos];
            if (fletcher16(h, 34) != le16(h + 34)) {
                ++pos;
                ++junk;
                continue;
            }
            Chunk c;
            c.sidx = le16(h + 2);
            c.len = le32(h + 4);
            c.frlen = le32(h + 8);
            c.fridx = le16(h + 12);
            c.frfmt = le16(h + 14);
            memcpy(c.desc, h + 16, 12);
            c.sum = le32(h + 28);
            c.start = h[32] & 1;
            c.has_sum = h[33] & 1;
            if (pos + kHeaderBytes + c.len > buf.size()) break;
            const uint8_t *payload = h + kHeaderBytes;
            uint32_t sum = 0;
            for (uint32_t i = 0; i + 4 <= c.len; i += 4) sum += le32(payload + i);
            c.sum_ok = !c.has_sum || sum == c.sum;
            chunks.push_back(c);
            take_chunk(c, payload);
            pos += kHeaderBytes + c.len;
        }
        buf.erase(buf.begin(),
                  buf.begin() + static_cast<std::ptrdiff_t>(std::min(pos, buf.size())));
    }

    void take_chunk(const Chunk &c, const uint8_t *payload) {
        const bool gap = prev_sidx >= 0 && c.sidx != static_cast<uint16_t>(prev_sidx + 1);
        if (gap) ++sidx_gaps;
        prev_sidx = c.sidx;
        if (!c.sum_ok) ++bad_sums;
        if (c.start) {
            if (in_frame) ++broken_frames;
            in_frame = false;
        } else if (!in_frame || gap || !c.sum_ok) {
            if (in_frame) ++broken_frames;
            in_frame = false;
            return;
        }
        if (!c.sum_ok || c.frlen == 0) {
            in_frame = false;
            return;
        }
        uint32_t off = 0;
        uint16_t idx = c.fridx;
        while (off < c.len) {
            if (!in_frame) {
                cur = Frame{};
                cur.index = idx++;
                cur.format = c.frfmt;
                memcpy(cur.desc, c.desc, 12);
                cur_frlen = c.frlen;
                in_frame = true;
            }
            uint32_t n = std::min(c.len - off, cur_frlen - static_cast<uint32_t>(cur.data.size()));
            cur.data.insert(cur.data.end(), payload + off, payload + off + n);
            off += n;
            if (cur.data.size() == cur_frlen) {
                frames.push_back(std::move(cur));
                in_frame = false;
            }
        }
    }
};

}  // namespace simtest
