// The camera API's side of raw recordings: the notes the other capture and
// command paths make for a running recorder, the hooks a replay calls back
// through, and the open shared by cameras and replays.
#pragma once

#include <cstdint>
#include <memory>

#include "api/dev_priv.h"
#include "kavri/rec.h"
#include "rec/recorder.h"
#include "rec/replay.h"

namespace kavri::api {

// Opens a camera (rec_path null) or a recording as the device dev.
kavri_dev_t *dev_open_with(kavri_dev_t *dev, const char *rec_path,
                           const kavri_rec_options_t *rec_options);

// The running recorder of the device (false when none), held for the life
// of the reference: it takes the device's rec_mutex.
class RecorderRef {
  public:
    explicit RecorderRef(kavri_dev_priv_t *p) : lock_(p->rec_mutex), r_(p->recorder.get()) {}
    explicit operator bool() const { return r_ != nullptr; }
    kavri::rec::Recorder *operator->() const { return r_; }

  private:
    std::unique_lock<std::mutex> lock_;
    kavri::rec::Recorder *r_;
};

// Notes for a running recorder (and the device's knowledge of its values),
// made by the paths that talk to the camera, after the camera answered.
void note_params(kavri_dev_priv_t *p, const kavri_ll_param_item_t *items, uint32_t count,
                 bool written);
void note_regs(kavri_dev_priv_t *p, uint32_t target, uint32_t base, const uint32_t *values,
               uint32_t count, bool written);
void note_event(kavri_dev_priv_t *p, uint32_t kind, uint32_t id, uint32_t addr, const void *value,
                uint32_t len);

// Tells the chip driver of a parameter it depends on (integration time,
// modulation frequency), as a parameter write does before it is sent.
void notify_driver(kavri_drv_t *drv, const kavri_ll_param_item_t &item);

// A replay's recorded changes of such parameters that the application has
// reached since the last call go to the driver; on the fetching thread,
// before a frame is taken.
void sync_replay_driver(kavri_dev_priv_t *p, kavri::rec::Replay *r);

// The hooks a replay of this device calls.
kavri::rec::ReplayHooks replay_hooks(kavri_dev_priv_t *p);

// Stops a running recording at close.
void rec_stop_at_close(kavri_dev_priv_t *p);

}  // namespace kavri::api
