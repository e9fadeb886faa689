// A device's private record: the transport's part first (so the record can
// be handed to the kavri_ll_* calls as is), then the camera API's fields.
//
// Lock order, outermost first (a thread holding one may take only those
// after it):
//   1. the handle table (handle_table(): which record a handle names),
//      then the device locks `life_mutex` and `mutex`: bookkeeping only,
//      held for a few instructions, never across a command or a callback;
//   2. the command lock `cmd_mutex`: one whole exchange with the camera
//      (command, data, status poll) or a whole batch or sequence;
//   3. the stream parser's locks (`feed_mutex`, the parser's own);
//   4. the chip driver's state lock (inside the driver).
// Leaves, held for one short step with nothing taken under them:
// `rec_mutex`, `meta_mutex`, the settings journal's own lock.
// The reconnect service's locks (api/reconnect.cpp) come before all of
// these: its worker looks a record up (handle table, life_mutex) under them.
// No lock is held while an application callback runs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "kavri/api.h"
#include "kavri/capture_meta.h"
#include "api/journal.h"
#include "kavri/types.h"
#include "rec/recorder.h"

// The running request of a kavri_cap_get_frames call; lives on its stack.
struct kavri_fetch_req_t {
    int32_t requested;
    int32_t wanted;            // frames still wanted
    uint8_t *next;             // next free byte of the application's buffer
    uint32_t left;             // bytes left there
    kavri_frame_info_t *info;  // receives the first frame's description
    kavri_frame_meta_t *meta;  // receives each frame's time stamp and index, while meta_left
    uint32_t meta_left;
};

struct kavri_dev_priv_t {
    kavri_ll_t ll;  // the transport's part; must stay first

    kavri_drv_t *drv;  // chip driver chosen at open: `drv_rec`, this device's own
    uint8_t reserved[44];
    std::atomic<uint8_t> is_open;
    std::atomic<uint8_t> is_capturing;
    kv_stream_t *stream;             // parser, created at open
    kv_stream_state_t stream_state;  // event thread's last snapshot; read under `mutex`
    kavri_frame_info_t frame_info;   // description of the last fetched frame
    uint32_t cap_arg;                // handed to the transport's capture start
    // Written by the event thread, read by the application's thread.
    std::atomic<int32_t> stop;
    std::atomic<int32_t> timeout_cnt;
    std::atomic<int32_t> stall_cnt;
    std::atomic<int32_t> error;
    std::atomic<uint8_t> force_stop;
    std::atomic<uint32_t> error_arg;
    std::atomic<kavri_cap_frame_cb_t> on_frame_ready;
    std::atomic<kavri_cap_error_cb_t> on_error;
    std::condition_variable cond;  // frames ready, error pending, stop
    std::mutex mutex;              // pairs with cond
    std::atomic<kavri_fetch_req_t *> fetch_req;

    // ---- beyond the fields above: the engine's own bookkeeping ----
    // Bumped (under `mutex`) at every wake-up signal, so a waiter can tell a
    // real signal from a spurious wake-up.
    uint64_t wake_seq;
    // Serialises the parser's input side: the event thread's feed against a
    // capture start's reset.
    std::mutex feed_mutex;
    // Frames taken for a frame-ready callback without a request buffer.
    std::vector<uint8_t> scratch;
    // Set while a fetching call runs; only one at a time.
    std::atomic<bool> fetching;
    // Frames taken out of the parser since open, delivered or dropped.
    std::atomic<uint64_t> frames_fetched;

    // This device's chip driver record: a copy of the registry's entry whose
    // dev and priv the driver's init fills, so that devices with the same
    // chip code never share driver state.
    kavri_drv_t drv_rec;

    // Serialises the exchanges with the camera (see the lock order above).
    // Recursive: a sequence (a calibration pull, a data transfer, a reset
    // that stops the capture) holds it across the batches it is made of.
    std::recursive_mutex cmd_mutex;

    // Lifetime, guarded by life_mutex: calls in progress, and a close that
    // waits for them or hands the rest over to the last of them.
    std::mutex life_mutex;
    std::condition_variable life_cv;
    int users;                 // ApiCalls alive on this record
    bool closing;              // a close has begun: new calls are refused
    bool close_done;           // the transport is closed; only the free is left
    int close_waiters;         // second closes waiting for close_done
    bool finish_by_last_user;  // the last call to leave frees the record
    bool ready;                // open has finished: calls from any thread
    std::thread::id opener;    // until then only this thread's calls get in
    kavri_dev_t *dev;          // the handle naming this record, NULL once closed
    kavri_dev_t *lib_dev;      // a library-allocated handle, freed with the record

    // Raw recording: the values the library knows of the camera (kept from
    // open on, for a recording's start), and the recorder while one runs.
    // (Behind a pointer: its maps would make the record's layout non-standard.)
    kavri::rec::Owned<kavri::rec::Knowledge> knowledge;
    // Guards `recorder` and `last_rec_stats`; a leaf, held for one call into
    // the recorder (the event thread takes it for every transfer's copy), so
    // a stop that takes the recorder out never frees it under a caller.
    std::mutex rec_mutex;
    kavri::rec::Owned<kavri::rec::Recorder> recorder;
    kavri_rec_stats_t last_rec_stats;

    // ---- frame time stamps and capture statistics (from each capture start) ----
    // The fetching thread's own (one fetching call runs at a time): the
    // camera index of the last delivered frame, -1 before the first.
    // A replay's parser reset (loop, seek) clears it from the replay thread.
    std::atomic<int32_t> meta_prev_idx;
    // Guards last_meta and has_meta; a bookkeeping lock of level 1.
    std::mutex meta_mutex;
    kavri_frame_meta_t last_meta;  // of the frame delivered last (or being delivered)
    bool has_meta;
    std::atomic<uint64_t> stat_delivered;
    std::atomic<uint64_t> stat_gaps;      // the lost_before counts added up
    std::atomic<uint64_t> stat_unwanted;  // taken with neither a request nor a callback
    std::atomic<uint64_t> stat_timeouts;
    std::atomic<uint64_t> stat_stalls;
    std::atomic<uint64_t> stat_errors;
    std::atomic<uint64_t> stat_refused_base;  // the driver's refusals at the start
    std::atomic<uint64_t> stat_start_ns;      // 0 before the first start
    std::atomic<uint64_t> stat_stop_ns;       // 0 while capturing
    // The parser's own counters from before a reconnect's parser reset,
    // added to what the parser counts since.
    std::atomic<uint64_t> stat_discarded_base;
    std::atomic<uint64_t> stat_dropped_base;
    std::atomic<uint64_t> stat_skipped_base;
    std::atomic<uint64_t> stat_reconnects;
    std::atomic<uint64_t> stat_away_ns;      // time without the camera, added up
    std::atomic<uint64_t> stat_away_frames;  // frames estimated lost meanwhile

    // ---- automatic reconnect (api/reconnect.cpp) ----
    // The settings the application made through the interface since open.
    // (Behind a pointer, as `knowledge`.) The journal has its own lock.
    kavri::rec::Owned<kavri::api::Journal> journal;
    std::atomic<uint8_t> reconnect_on;
    // kavri::api::Link: whether the camera is there, away or being taken
    // back. Moved on by the event thread (a transfer that found the camera
    // gone) and by the reconnect worker.
    std::atomic<uint8_t> link;
    std::atomic<uint8_t> resume_capture;   // a capture was running when the camera went
    std::atomic<uint8_t> loss_unreported;  // the error callback has not had the loss yet
    std::atomic<uint64_t> gone_ns;         // monotonic time of the loss
    // Frames lost while away, for the next delivered frame's lost_before.
    std::atomic<uint32_t> resume_lost;
    // Bus, port and address of the camera now (kavri::api::pack_where), for
    // the reconnect worker, which cannot read the transport's record.
    std::atomic<uint32_t> where;
    // Interface resets in progress: the camera leaves and returns on its own.
    std::atomic<int32_t> resetting;
};

static_assert(std::is_standard_layout_v<kavri_dev_priv_t>,
              "the transport's part must be reachable from the record's address");

namespace kavri::api {

// Guards which record each handle names (kavri_dev_t::ll): shared while a
// call looks its record up, exclusive while open or close changes it.
std::shared_mutex &handle_table();

// The engine's private record of a handle, NULL when closed. Only safe to
// dereference under handle_table() or inside an ApiCall on the handle.
inline kavri_dev_priv_t *priv_of(const kavri_dev_t *dev) {
    if (dev == nullptr) return nullptr;
    kavri_ll_t *ll = std::atomic_ref<kavri_ll_t *>(const_cast<kavri_dev_t *>(dev)->ll)
                         .load(std::memory_order_acquire);
    return reinterpret_cast<kavri_dev_priv_t *>(ll);
}

// Points the handle at rec (NULL: closed); under handle_table() held exclusively.
inline void set_priv(kavri_dev_t *dev, kavri_dev_priv_t *rec) {
    std::atomic_ref<kavri_ll_t *>(dev->ll).store(rec != nullptr ? &rec->ll : nullptr,
                                                 std::memory_order_release);
}

inline kavri_ll_t *ll_of(kavri_dev_priv_t *p) {
    return &p->ll;
}

// The handle's public busy flag, which close also watches.
void set_api_busy(kavri_dev_t *dev, bool busy);

// One API call on an open device. While alive the device's private record
// stays allocated (a concurrent close waits for it) and dev->api_busy is 1.
// ok() is false when the handle is NULL, closed or closing.
class ApiCall {
  public:
    explicit ApiCall(kavri_dev_t *dev);
    ~ApiCall();
    ApiCall(const ApiCall &) = delete;
    ApiCall &operator=(const ApiCall &) = delete;

    bool ok() const { return priv_ != nullptr; }
    kavri_dev_priv_t *priv() const { return priv_; }
    kavri_dev_t *dev() const { return dev_; }

  private:
    kavri_dev_t *dev_;
    kavri_dev_priv_t *priv_ = nullptr;
};

// Holds the device's command lock for the life of the scope.
using CommandLock = std::lock_guard<std::recursive_mutex>;

// Calls of the calling thread now alive on the record (a close from inside
// one of them must not wait for itself).
int own_calls(const kavri_dev_priv_t *p);

// Logs the handle error of an entry check under func's name.
void log_bad_handle(const char *func);

// True while the calling thread runs one of the device's callbacks.
bool in_callback_of(const kavri_dev_priv_t *p);

}  // namespace kavri::api

namespace kavri::api {

// Marks the calling thread as running one of the device's callbacks.
class CallbackScope {
  public:
    explicit CallbackScope(const kavri_dev_priv_t *p);
    ~CallbackScope();
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

  private:
    const kavri_dev_priv_t *saved_;
};

// Internal stop of a running capture (also used by close).
void cap_stop_internal(kavri_dev_priv_t *p);

// Wakes every waiter of the device (stop, close).
void wake_all(kavri_dev_priv_t *p);

}  // namespace kavri::api

namespace kavri::api {

// Capture event handler, on the transport's event thread.
int32_t on_capture_event(kavri_ll_t *ll, int32_t code, uint8_t *data, uint32_t len, void *arg);

// Ready-data handler, on the fetching application thread: reports a pending
// error to the error callback, then takes every finished frame out of the
// parser into req (when given and still wanting frames), the scratch buffer
// (when a frame-ready callback is set) or nowhere. Returns the frames taken.
// With `until`, it stops taking frames once that time has passed: frames
// that arrive faster than the callback handles them would keep it going.
uint32_t handle_ready_data(kavri_dev_t *dev, kavri_dev_priv_t *p, kavri_fetch_req_t *req,
                           int32_t reqmax,
                           const std::chrono::steady_clock::time_point *until = nullptr);

// True when the parser holds finished frames.
bool frames_waiting(kavri_dev_priv_t *p);

// Zeroes the frame time stamps' state and the capture statistics, at a
// capture start (under `feed_mutex`, before the transfers begin).
void reset_capture_stats(kavri_dev_priv_t *p);

}  // namespace kavri::api
