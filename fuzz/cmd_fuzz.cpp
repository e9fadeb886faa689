// Camera command replies chosen by the input: the transport talks to a
// simulated camera whose stored values, status replies (busy, refused with
// any text, short, naming another command) and hanging transfers the script
// sets up. Nothing may crash, hang, or leave libusb objects behind.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "camsim.h"
#include "cmd_script.h"
#include "fuzz_check.h"
#include "kavri.h"

namespace {

using namespace kvfuzz::cmd;

// Short enough that a hanging transfer costs little, long enough for the
// simulator to answer a normal command.
constexpr uint32_t kRawTimeoutMs = 30;
// Busy replies the camera gives at most (each poll waits a little).
constexpr uint32_t kMaxBusy = 4;
constexpr uint32_t kMaxRegs = 40;
constexpr uint32_t kMaxItems = 8;
constexpr size_t kMaxOps = 48;

// One camera and one open handle for the whole run: building the camera's
// scene and joining the event thread at close are slow. Each input starts
// without pending faults and with the camera's stored values as at start.
int g_cam = -1;
kavri_ll_t g_ll{};

struct StoredParam {
    uint8_t id;
    uint8_t len;
    uint8_t value[KAVRI_PARAM_WIRE_VAL_SIZE];
};
std::vector<StoredParam> g_params;

void snapshot_params() {
    for (unsigned id = 0; id < 256; ++id) {
        StoredParam p{static_cast<uint8_t>(id), 0, {}};
        if (camsim_param_get(g_cam, p.id, p.value, &p.len) == CAMSIM_OK) g_params.push_back(p);
    }
}

void restore_params() {
    for (const StoredParam &p : g_params) camsim_param_set(g_cam, p.id, p.value, p.len);
}

void check_clean() {
    camsim_counters_t c{};
    camsim_get_counters(&c);
    FUZZ_CHECK(c.inflight_transfers == 0);
    FUZZ_CHECK(camsim_misuse_count() == 0);
}

int plug_camera() {
    camsim_camera_config_t cfg;
    camsim_camera_config_default(&cfg);
    cfg.reset_delay_ms = 5;
    cfg.reboot_delay_ms = 5;
    return camsim_plug(&cfg);
}

void run_script(kavri_ll_t *ll, int cam, Reader &in) {
    std::string fail_text;
    for (size_t op_no = 0; op_no < kMaxOps && in.remaining_bytes() > 0; ++op_no) {
        const uint8_t op = in.u8() % kOpCount;
        switch (op) {
            case kParamGet: {
                kavri_ll_param_item_t it{};
                it.param_id = in.u8();
                if (kavri_ll_param_get(ll, &it, 1))
                    FUZZ_CHECK(it.param_val_len <= KAVRI_PARAM_WIRE_VAL_SIZE);
                break;
            }
            case kParamSet: {
                kavri_ll_param_item_t it{};
                it.param_id = in.u8();
                it.param_val_len = 4;
                it.param_val[0] = in.u8();
                kavri_ll_param_set(ll, &it, 1);
                break;
            }
            case kRegRead:
            case kRegWrite: {
                const uint8_t target = in.u8() % 4;
                const uint32_t count = in.u8() % (kMaxRegs + 1);
                std::vector<uint32_t> values(count + 1, 0x5A5A5A5A);
                if (op == kRegRead)
                    kavri_ll_reg_read(ll, target, in.u8(), values.data(), count);
                else
                    kavri_ll_reg_write(ll, target, in.u8(), values.data(), count);
                FUZZ_CHECK(values[count] == 0x5A5A5A5A);  // nothing written past the caller's array
                break;
            }
            case kFault: {
                const uint8_t kind = in.u8() % kFaultKinds;
                const uint32_t count = 1 + in.u8() % kMaxBusy;
                switch (kind) {
                    case kFaultBusy:
                        camsim_inject(cam, CAMSIM_FAULT_STATUS_BUSY, count, 0, nullptr);
                        break;
                    case kFaultFail:
                        fail_text = in.text(80);
                        camsim_inject(cam, CAMSIM_FAULT_FAIL_COMMAND, count, 0, fail_text.c_str());
                        break;
                    case kFaultMismatch:
                        camsim_inject(cam, CAMSIM_FAULT_STATUS_MISMATCH, count, 0, nullptr);
                        break;
                    case kFaultShort:
                        camsim_inject(cam, CAMSIM_FAULT_STATUS_SHORT, count, 1 + in.u8() % 62,
                                      nullptr);
                        break;
                    default: {
                        // A transfer that never completes, met by a command with a
                        // short time-out so the run stays quick.
                        camsim_inject(cam, CAMSIM_FAULT_HANG_CONTROL, 1, 0, nullptr);
                        uint8_t buf[4] = {};
                        kavri_ll_exe_cmd(ll, 0, 0xC0, 4, buf, sizeof buf, kRawTimeoutMs);
                        camsim_clear_faults(cam);
                        break;
                    }
                }
                break;
            }
            case kSetParam: {
                const uint8_t id = in.u8();
                const uint8_t len = in.u8() % (KAVRI_PARAM_WIRE_VAL_SIZE + 1);
                const std::vector<uint8_t> v = in.bytes(len);
                camsim_param_set(cam, id, v.data(), static_cast<uint8_t>(v.size()));
                break;
            }
            case kRawCmd: {
                const uint32_t dir = in.u8() & 1;
                const uint32_t type = in.u8();
                const uint32_t value = in.u16();
                const uint32_t len = in.u8();
                std::vector<uint8_t> buf(len + 1, 0xC3);
                kavri_ll_exe_cmd(ll, dir, type, value, buf.data(), len, kRawTimeoutMs);
                FUZZ_CHECK(buf[len] == 0xC3);
                break;
            }
            default: {  // kParamBatch
                const uint32_t n = 1 + in.u8() % kMaxItems;
                std::vector<kavri_ll_param_item_t> items(n + 1);
                for (uint32_t i = 0; i < n; ++i) items[i].param_id = in.u8();
                items[n].param_id = 0xEE;
                if (kavri_ll_param_get(ll, items.data(), n))
                    for (uint32_t i = 0; i < n; ++i)
                        FUZZ_CHECK(items[i].param_val_len <= KAVRI_PARAM_WIRE_VAL_SIZE);
                FUZZ_CHECK(items[n].param_id == 0xEE && items[n].param_val_len == 0);
                break;
            }
        }
    }
}

// At the end of the run the handle goes and must take every libusb object
// with it.
void close_at_exit() {
    kavri_ll_dev_close(&g_ll);
    camsim_counters_t c{};
    camsim_get_counters(&c);
    FUZZ_CHECK(c.open_handles == 0);
    FUZZ_CHECK(c.claimed_interfaces == 0);
    FUZZ_CHECK(c.live_transfers == 0);
    FUZZ_CHECK(camsim_misuse_count() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    camsim_clear();
    g_cam = plug_camera();
    FUZZ_CHECK(g_cam >= 0);
    snapshot_params();
    FUZZ_CHECK(kavri_ll_dev_open(&g_ll) == &g_ll);
    std::atexit(close_at_exit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in(data, size);
    camsim_clear_faults(g_cam);
    restore_params();
    run_script(&g_ll, g_cam, in);
    camsim_clear_faults(g_cam);
    check_clean();
    return 0;
}
