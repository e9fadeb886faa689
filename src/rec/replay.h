// The replay transport: a recording played back as a camera. Its operation
// table serves a device record like the USB transport's does, so the
// parser, the chip drivers and the camera API run unchanged: commands are
// answered from the recorded values, and the recorded stream transfers are
// handed to the capture handler from a thread of the replay's own, the
// replay's event thread.
#pragma once

#include <cstdint>
#include <string>

#include "kavri/rec.h"
#include "kavri/types.h"

namespace kavri::rec {

// The replay transport's operation table.
extern const kavri_ll_op_t replay_ops;

// What the replay needs of the device's camera side; all run on the
// replay's event thread or inside a replay call, never under a replay lock.
struct ReplayHooks {
    void *arg = nullptr;
    // Finished frames waiting in the parser.
    uint32_t (*frames_ready)(void *arg) = nullptr;
    // Frames the parser may hold before it drops the oldest.
    uint32_t (*frames_capacity)(void *arg) = nullptr;
    // Whether a fetching call of the application is waiting for frames.
    bool (*fetch_waiting)(void *arg) = nullptr;
    // Frames the application has taken since open.
    uint64_t (*frames_fetched)(void *arg) = nullptr;
    // Empties the parser (where the recording's parser was reset).
    void (*reset_parser)(void *arg) = nullptr;
    // Feeds bytes to the parser without waking anybody (a seek's run-up).
    void (*feed_quiet)(void *arg, const uint8_t *data, uint32_t len) = nullptr;
    // Takes n finished frames out of the parser and drops them.
    void (*drop_frames)(void *arg, uint32_t n) = nullptr;
};

class Replay;

// Opens the recording for a device record: on success ll->state holds the
// replay, ll->ops is replay_ops and ll->if_type/if_info are set; the
// record is then opened with the usual transport open. err receives
// KAVRI_REC_ERR_IO or KAVRI_REC_ERR_FORMAT with a logged reason.
bool replay_prepare(kavri_ll_t *ll, const char *path, const kavri_rec_options_t &options,
                    int32_t &err);
// The replay behind a record, or null for another transport.
Replay *replay_of(const kavri_ll_t *ll);

// Binds the replay to its device's camera side (at open, before any capture).
void replay_set_hooks(Replay *r, const ReplayHooks &hooks);
// The folder holding the recorded calibration and lens files, with a
// trailing '/': the device's working path while the replay is open.
const char *replay_folder(const Replay *r);
// The application took frames: a paced replay may go on.
void replay_frames_taken(Replay *r);
// Whether a parameter write may go to the replay (one that leaves every
// value as recorded); logs the refusal otherwise.
bool replay_accepts_params(Replay *r, const kavri_ll_param_item_t *items, uint32_t count);

// Parameters the chip driver depends on that a replay hands it as the
// application reaches their recorded changes: integration times and
// modulation frequency.
inline constexpr uint32_t kDriverParams = 3;
// Fills out with those whose recorded value at the application's position
// differs from what was last handed over (all of them at the first call);
// returns how many.
uint32_t replay_driver_changes(Replay *r, kavri_ll_param_item_t *out, uint32_t max);

void replay_get_info(Replay *r, kavri_rec_info_t &info);
int32_t replay_seek(Replay *r, uint32_t frame);
int32_t replay_seek_time(Replay *r, uint64_t t_ns);
void replay_set_options(Replay *r, const kavri_rec_options_t &options);
int32_t replay_get_event(Replay *r, uint32_t i, kavri_rec_event_t &event);

}  // namespace kavri::rec
