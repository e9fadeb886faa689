#include "cli/raw_recorder.h"

#include <cstdio>

#include "cli/cli_error.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

constexpr double kBytesPerMB = 1e6;
// Settings the library has not necessarily read by itself before the
// recording starts; what it reads while recording goes into the file.
constexpr uint32_t kSettingIds[] = {KAVRI_PARAM_MOD_FREQ, KAVRI_PARAM_FPS, KAVRI_PARAM_INTG_TIME,
                                    KAVRI_PARAM_INTG_TIME2};

// Reads the settings once, so a replay can answer them (`info --from`).
// A camera that does not know one is no reason to stop recording.
void note_settings(kavri_dev_t *dev) {
    for (uint32_t id : kSettingIds) {
        kavri_param_item_t item{};
        item.param_id = id;
        kavri_param_batch_get(dev, &item, 1);
    }
}

}  // namespace

RawRecorder::RawRecorder(kavri_dev_t *dev, std::string path) : dev_(dev), path_(std::move(path)) {
    const int32_t r = kavri_rec_start(dev_, path_.c_str());
    switch (r) {
        case KAVRI_REC_OK:
            active_ = true;
            note_settings(dev_);
            return;
        case KAVRI_REC_ERR_IO:
            throw CliError(kExitFileError, "cannot create the raw recording " + path_,
                           "check that the folder exists, is writable and has free space");
        case KAVRI_REC_ERR_BUSY:
            throw CliError(kExitFailure, "the camera is already being recorded",
                           "finish the other recording first");
        default:
            throw CliError(kExitFailure,
                           std::string("cannot record this device: ") + rec_result_name(r),
                           "record a live camera; a replay cannot be recorded again");
    }
}

RawRecorder::~RawRecorder() {
    if (active_) kavri_rec_stop(dev_);
}

kavri_rec_stats_t RawRecorder::finish() {
    active_ = false;
    const int32_t r = kavri_rec_stop(dev_);
    // Busy: the writer already finished the file early after a write error;
    // the counters tell.
    if (r != KAVRI_REC_OK && r != KAVRI_REC_ERR_BUSY)
        throw CliError(kExitFileError,
                       "cannot finish the raw recording " + path_ + ": " + rec_result_name(r),
                       "check the free space of the disk; see the log");
    kavri_rec_stats_t s{};
    if (const int32_t g = kavri_rec_get_stats(dev_, &s); g != KAVRI_REC_OK)
        throw CliError(kExitFailure,
                       std::string("cannot read the recording's counters: ") + rec_result_name(g),
                       "see the log");
    return s;
}

void print_raw_stats(const kavri_rec_stats_t &s, const std::string &path) {
    std::printf(
        "raw:    %u frames, %llu transfers (%.2f MB), %llu lost (%.2f MB), %llu events, "
        "queue peak %u, in %s\n",
        s.frames, static_cast<unsigned long long>(s.transfers),
        static_cast<double>(s.bytes) / kBytesPerMB,
        static_cast<unsigned long long>(s.lost_transfers),
        static_cast<double>(s.lost_bytes) / kBytesPerMB, static_cast<unsigned long long>(s.events),
        s.queue_peak, path.c_str());
    if (s.lost_transfers != 0)
        std::fprintf(stderr,
                     "kavri-cli: warning: %llu transfers were lost because the disk did not keep "
                     "up; the replay skips over them\n",
                     static_cast<unsigned long long>(s.lost_transfers));
}

}  // namespace kavri::cli
