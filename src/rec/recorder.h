// Recording a live camera: what the camera API knows of a device's values
// (Knowledge, kept from open on), and the recorder that copies stream
// transfers on the event thread into a bounded queue and writes them from a
// thread of its own, so that the event thread never waits for the disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kavri/rec.h"
#include "kavri/types.h"
#include "rec/rec_file.h"

namespace kavri::rec {

// Sole ownership of one object, as std::unique_ptr, but a standard-layout
// type with every compiler: the device record that holds it must stay one.
template <class T>
class Owned {
  public:
    Owned() = default;
    ~Owned() { delete p_; }
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned &operator=(std::unique_ptr<T> p) {
        delete p_;
        p_ = p.release();
        return *this;
    }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    std::unique_ptr<T> take() {
        T *p = p_;
        p_ = nullptr;
        return std::unique_ptr<T>(p);
    }

  private:
    T *p_ = nullptr;
};

// The last value of every parameter and register the library read from or
// wrote to the camera. Guarded by its own mutex (a leaf in the lock order).
class Knowledge {
  public:
    void note_param(const kavri_ll_param_item_t &item);
    void note_regs(uint32_t target, uint32_t base, const uint32_t *values, uint32_t count);
    std::vector<ParamValue> params() const;
    std::vector<RegValue> regs() const;

  private:
    mutable std::mutex mu_;
    std::map<uint32_t, kavri_ll_param_item_t> params_;
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> regs_;
};

class Recorder {
  public:
    // What the queue may hold before transfers are counted as lost.
    static constexpr size_t kQueueBytes = 96u << 20;
    // The writer commits at least this often, so a killed process keeps
    // everything older.
    static constexpr std::chrono::milliseconds kCommitEvery{250};

    // Creates the file and starts the writer; null with err set
    // (KAVRI_REC_ERR_IO) when the file cannot be made.
    static std::unique_ptr<Recorder> start(const std::string &path, const Identity &id,
                                           std::span<const StoredFile> files,
                                           std::span<const ParamValue> params,
                                           std::span<const RegValue> regs, int32_t &err);
    ~Recorder();  // stop() if not done
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // A completed stream transfer, on the event thread: frames_done is the
    // parser's completed-frame counter after it (since the last parser
    // reset), boundary whether the parser holds no part of a frame now,
    // arrival_ns when it arrived (steady clock), the time it is recorded with,
    // so that the recorded times are the frames' own arrival times.
    // Never blocks on the writer; drops and counts when the queue is full.
    void on_transfer(int32_t code, const uint8_t *data, uint32_t len, uint32_t frames_done,
                     bool boundary, uint64_t arrival_ns);
    // A change or value (KAVRI_REC_EV_*), from any thread. frames_left: the
    // frames that have left the parser's output (taken or dropped) since its
    // last reset, which places the event among the recording's frames.
    void on_event(uint32_t kind, uint32_t id, uint32_t addr, const void *value, uint32_t len,
                  uint64_t frames_left);
    // The parser was reset (a capture start): its counter starts again.
    void on_parser_reset();
    // The recording starts where the parser has completed done_now frames
    // since its last reset. Beside a running capture the parser may hold
    // part of a frame (boundary_now false): transfers are then recorded from
    // the first point between frames, so that a replay can yield every frame
    // the recording counts.
    void start_at(uint32_t done_now, bool boundary_now);

    kavri_rec_stats_t stats() const;
    // Writes what waits, finishes the file and joins the writer. Returns
    // KAVRI_REC_OK or KAVRI_REC_ERR_IO (a batch or the finish failed).
    int32_t stop();

  private:
    Recorder() = default;
    int64_t now_ns() const;
    void writer_loop();
    // Queues the event that marks the transfers lost since the last one; under mu_.
    void note_loss_locked(int64_t t);

    Writer writer_;
    std::chrono::steady_clock::time_point t0_;

    // Guards everything below; a leaf lock, held only to move records in
    // and out of the queue.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Transfer> transfers_;
    std::deque<Event> events_;
    // Transfer buffers the writer is done with: reused, so the event thread
    // neither allocates nor faults in fresh pages for every transfer.
    std::vector<std::vector<uint8_t>> spare_;
    size_t queued_bytes_ = 0;
    uint64_t next_seq_ = 0;
    uint32_t frames_base_ = 0;    // recording frames completed before the last parser reset
    uint32_t frames_now_ = 0;     // recording frames completed so far
    uint32_t frames_offset_ = 0;  // parser counter value that recording frame 0 follows
    bool synced_ = true;          // transfers are being recorded
    uint32_t unsynced_ = 0;       // transfers skipped while waiting for a point between frames
    uint64_t pending_lost_ = 0, pending_lost_bytes_ = 0;
    kavri_rec_stats_t stats_{};
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
    int32_t result_ = KAVRI_REC_OK;
    bool stopped_ = false;
};

}  // namespace kavri::rec
