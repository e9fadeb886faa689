// The download engine: announce the image, wait for the flash erase, send
// the blocks one by one as the camera asks for them, then reset or settle.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "data/data.h"
#include "data/data_file.h"
#include "data/data_hooks.h"
#include "data/data_wire.h"
#include "ll/ll.h"
#include "core/log_internal.h"

using namespace kavri::data;

namespace {

constexpr const char *kTag = "kavri_bin_data_write";
constexpr const char *kDashLine =
    "[%s] ----------------------------------------------------------\n";
constexpr const char *kDoNotReset =
    "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n";
constexpr uint8_t kLastRebootType = 1;  // types 0 and 1 reboot the board
constexpr uint8_t kLastSettleType = 3;  // types 2 and 3 only need to settle
constexpr uint32_t kRebootPauseMs = 10000;
constexpr uint32_t kSettlePauseMs = 7000;
constexpr uint32_t kRebootTarget = 0;
constexpr int32_t kOk = 1, kFailed = -1;

int32_t upgrade_failed() {
    KV_ERR("[%s] data upgrade failed!\n", kTag);
    return kFailed;
}

// The camera did not take the image: it says what it expects instead. The
// board is not reset and the final step does not run: the camera runs on
// with what it had, ready for another attempt, where a reboot would start
// it from a flash the erase may have emptied.
int32_t camera_refused(const char *what, uint32_t a, uint32_t b) {
    KV_ERR("[%s] camera refused the image: %s (%u, %u)\n", kTag, what, a, b);
    KV_ERR("[%s] data upgrade failed!\n", kTag);
    return KAVRI_DATA_REFUSED;
}

// Loads the image file whole; false (after its log line) on failure.
bool load_image(const char *path, std::vector<uint8_t> &image) {
    FilePtr f(path != nullptr ? std::fopen(path, "rb") : nullptr);
    if (!f) {
        KV_INF("[%s] File open failed\n", kTag);
        return false;
    }
    uint64_t size = 0;
    if (!file_size(f.get(), size)) size = 0;
    KV_INF("[%s] File size:%d\n", kTag, static_cast<int>(size));
    if (size == 0) {
        upgrade_failed();
        return false;
    }
    if (size > UINT32_MAX) {  // the camera's records describe 32-bit sizes
        KV_ERR("[%s] image of %llu bytes is too large\n", kTag,
               static_cast<unsigned long long>(size));
        upgrade_failed();
        return false;
    }
    const size_t got = read_whole(f.get(), size, image);
    KV_INF("[%s] File read ok,%d\n", kTag, static_cast<int>(got));
    if (got < size) {
        KV_INF("[%s] Firmware image file loading failed.\n", kTag);
        return false;
    }
    KV_INF("[%s] Firmware image file loaded.\n", kTag);
    return true;
}

bool read_ack(kavri_ll_t *ll, Ack &ack) {
    uint8_t rec[KAVRI_DATA_ACK_SIZE] = {};
    if (data_read_action_info(ll, KAVRI_DATA_ACT_ACK, rec) != 1) return false;
    ack = decode_ack(rec);
    return true;
}

// Polls while the camera erases. Returns 1 with the last acknowledgement, or
// -1 when a read fails or the erase outlasts the limit.
int32_t wait_erase(kavri_ll_t *ll, Ack &ack) {
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const auto limit = erase_limit();
    do {
        if (!read_ack(ll, ack)) {
            KV_ERR("[%s] DATA ACK failed\n", kTag);
            return upgrade_failed();
        }
        KV_INF("[%s] erase ack,%d\n", kTag, 1);
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
        report_progress(KAVRI_DATA_PHASE_ERASE, static_cast<uint32_t>(waited.count()), 0);
        // A camera stuck erasing must not hang the caller.
        if (ack.status == KAVRI_DATA_ACK_ERASING && waited >= limit) {
            KV_ERR("[%s] flash erase still busy after %lld ms, giving up\n", kTag,
                   static_cast<long long>(waited.count()));
            return upgrade_failed();
        }
    } while (ack.status == KAVRI_DATA_ACK_ERASING);
    return kOk;
}

// Sends the blocks. Returns the download's result; `final_step` tells
// whether the final step still runs.
int32_t send_blocks(kavri_ll_t *ll, const std::vector<uint8_t> &image, bool &final_step) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t count = (size + KAVRI_DATA_BLOCK_SIZE - 1) / KAVRI_DATA_BLOCK_SIZE;
    std::vector<uint8_t> block(KAVRI_DATA_BLOCK_HEADER_SIZE + KAVRI_DATA_BLOCK_SIZE);
    report_progress(KAVRI_DATA_PHASE_TRANSFER, 0, size);
    final_step = true;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t offset = i * KAVRI_DATA_BLOCK_SIZE;
        const uint32_t n = std::min(KAVRI_DATA_BLOCK_SIZE, size - offset);
        const uint8_t *data = image.data() + offset;
        uint8_t header[KAVRI_DATA_BLOCK_HEADER_SIZE];
        encode_block_header(header, data_calc_crc(data, n), n);
        std::memcpy(block.data(), header, sizeof header);
        std::memcpy(block.data() + sizeof header, data, n);
        const int32_t sent =
            kavri::ll::ll_tx_data(ll, block.data(), n + KAVRI_DATA_BLOCK_HEADER_SIZE);
        if (sent < 0) {
            KV_ERR("[%s] tx data failed\n", "kavri_data_pk_transf");
            KV_INF("[%s] Data transfer failed D.\n", kTag);
            upgrade_failed();
            final_step = false;
            return sent;
        }
        if (sent == 0) {
            KV_INF("[%s] Data transfer failed D.\n", kTag);
            return 0;
        }
        Ack ack;
        if (!read_ack(ll, ack)) {
            KV_INF("[%s] Data transfer failed C.\n", kTag);
            final_step = false;
            return upgrade_failed();
        }
        // No block is sent twice: a camera that asks again ends the transfer.
        if (ack.next == i) {
            KV_INF("[%s] Data transfer failed A.indx%d, %d\n", kTag, static_cast<int>(i),
                   static_cast<int>(i));
            final_step = false;
            return camera_refused("block asked for again (block, next)", i, ack.next);
        }
        if (ack.next != i + 1) {
            KV_INF("[%s] Data transfer failed B.\n", kTag);
            final_step = false;
            return camera_refused("wrong next block (sent, next)", i, ack.next);
        }
        report_progress(KAVRI_DATA_PHASE_TRANSFER, offset + n, size);
    }
    KV_INF("[%s] Data transfer finished.\n", kTag);
    return kOk;
}

// What kavri_log_cfg(5, 5, 5) does: console and file thresholds off (the
// file sink keeps its file, or opens the default one), USB library silent.
void silence_log() {
    kavri::core::log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
    kavri::core::log_enable(KV_LOG_SINK_FILE, KV_LOG_OFF, nullptr);
    kavri::ll::ll_set_debug(KV_LOG_OFF);
}

// Reboot after firmware (types 0 and 1), a settling pause after types 2 and
// 3; the log stays silent from here on until the application sets it again.
int32_t final_step(kavri_ll_t *ll, uint8_t type, int32_t result) {
    if (type > kLastSettleType) return result;
    const bool reboot = type <= kLastRebootType;
    if (reboot) KV_WRN("[%s]  * Wait board to reset...\n", kTag);
    KV_WRN(kDashLine, kTag);
    KV_WRN(kDoNotReset, kTag);
    KV_WRN(kDashLine, kTag);
    silence_log();
    if (reboot) kavri::ll::ll_dev_reset(ll, kRebootTarget);
    pause_after_download(reboot ? kRebootPauseMs : kSettlePauseMs);
    return result;
}

int32_t download(kavri_ll_t *ll, uint8_t type, uint16_t version, const char *path) {
    KV_INF("[%s] name:%s, type:%hu, version:%hu\n", kTag, path != nullptr ? path : "(null)",
           static_cast<unsigned short>(type), version);
    std::vector<uint8_t> image;
    if (!load_image(path, image)) return kFailed;
    const uint32_t size = static_cast<uint32_t>(image.size());

    KV_INF("[%s] Get info\n", kTag);
    uint8_t info_rec[KAVRI_DATA_INFO_SIZE] = {type};
    // The camera's current image does not change the download; it is logged.
    (void)get_data_info(ll, KAVRI_DATA_ACT_INFO, info_rec, sizeof info_rec);
    const DataInfo info = decode_info(info_rec);
    KV_INF("[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", kTag, info.version,
           static_cast<unsigned short>(info.type), info.addr, static_cast<int>(info.size));

    KV_INF("[%s] send action info\n", kTag);
    uint8_t start[KAVRI_DATA_START_SIZE];
    encode_start(start, type, version, size);
    if (data_send_action_info(ll, KAVRI_DATA_ACT_START, start) != 1) return upgrade_failed();

    Ack ack;
    if (!read_ack(ll, ack)) return upgrade_failed();
    KV_INF("[%s] read ack: next=%d, status=%d\n", kTag, static_cast<int>(ack.next), ack.status);
    if (ack.status != KAVRI_DATA_ACK_START || ack.next != 0) {
        KV_ERR("[%s] Wrong ACK(NUM:%d,VER:%d)\n", kTag, static_cast<int>(ack.next), version);
        return camera_refused("start acknowledged wrongly (status, next)", ack.status, ack.next);
    }

    KV_INF("[%s] INFO ack ok\n", kTag);
    KV_INF("[%s] Wait flash erase           .....\n", kTag);
    uint8_t erase[KAVRI_DATA_ERASE_SIZE];
    encode_erase(erase, type, size);
    if (data_send_action_info(ll, KAVRI_DATA_ACT_ERASE, erase) != 1) {
        KV_INF("[%s] wait cfm failed.....\n", kTag);
        return upgrade_failed();
    }
    KV_INF("[%s] loop check.....\n", kTag);
    if (wait_erase(ll, ack) != kOk) return kFailed;
    KV_INF("[%s] erase ok,%d\n", kTag, 1);
    KV_INF("[%s] Download.....\n", kTag);
    if (ack.status != KAVRI_DATA_ACK_READY || ack.next != 0)
        return camera_refused("erase ended wrongly (status, next)", ack.status, ack.next);

    bool run_final_step = true;
    const int32_t result = send_blocks(ll, image, run_final_step);
    image.clear();
    image.shrink_to_fit();
    return run_final_step ? final_step(ll, type, result) : result;
}

}  // namespace

int32_t kavri::data::bin_data_write(kavri_ll_t *ll, uint8_t type, uint16_t version,
                                    uint32_t /*unused*/, const char *path) {
    return download(ll, type, version, path);
}

extern "C" KAVRI_API int32_t kavri_bin_data_write(kavri_ll_t *ll, uint8_t type, uint16_t version,
                                                  uint32_t addr, const char *path) {
    return kavri::data::bin_data_write(ll, type, version, addr, path);
}
