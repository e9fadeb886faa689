// The recorder: a bounded queue between the device's event thread and a
// writer thread that commits batches to the recording file.
#include "rec/recorder.h"

#include <algorithm>
#include <cstring>

#include "core/log_internal.h"

namespace kavri::rec {
namespace {

constexpr const char *kTag = "kavri_rec";
// Transfers per committed batch at most: a batch is one transaction.
constexpr size_t kBatchTransfers = 64;
// A capture whose transfers never end between frames is recorded from this
// many transfers on anyway, without the frame it was in the middle of.
constexpr uint32_t kMaxUnsynced = 64;
// Spare buffers kept at most: a batch's worth and then some.
constexpr size_t kMaxSpare = 2 * kBatchTransfers;

}  // namespace

void Knowledge::note_param(const kavri_ll_param_item_t &item) {
    std::lock_guard lock(mu_);
    params_[item.param_id] = item;
}

void Knowledge::note_regs(uint32_t target, uint32_t base, const uint32_t *values, uint32_t count) {
    if (values == nullptr) return;
    std::lock_guard lock(mu_);
    for (uint32_t i = 0; i < count; ++i) regs_[{target, base + i}] = values[i];
}

std::vector<ParamValue> Knowledge::params() const {
    std::lock_guard lock(mu_);
    std::vector<ParamValue> out;
    out.reserve(params_.size());
    for (const auto &[id, item] : params_) out.push_back(ParamValue{id, item});
    return out;
}

std::vector<RegValue> Knowledge::regs() const {
    std::lock_guard lock(mu_);
    std::vector<RegValue> out;
    out.reserve(regs_.size());
    for (const auto &[key, value] : regs_) out.push_back(RegValue{key.first, key.second, value});
    return out;
}

std::unique_ptr<Recorder> Recorder::start(const std::string &path, const Identity &id,
                                          std::span<const StoredFile> files,
                                          std::span<const ParamValue> params,
                                          std::span<const RegValue> regs, int32_t &err) {
    std::unique_ptr<Recorder> r(new Recorder());
    // Time 0 of the recording, on the clock the frames' arrival times use.
    r->t0_ = std::chrono::steady_clock::now();
    Identity at_start = id;
    at_start.monotonic_start_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(r->t0_.time_since_epoch()).count();
    if (!r->writer_.create(path, at_start, files, params, regs)) {
        KV_ERR("[%s] cannot create the recording %s: %s\n", kTag, path.c_str(),
               r->writer_.error().c_str());
        err = KAVRI_REC_ERR_IO;
        return nullptr;
    }
    r->stats_.active = 1;
    r->thread_ = std::thread([rec = r.get()] { rec->writer_loop(); });
    err = KAVRI_REC_OK;
    return r;
}

Recorder::~Recorder() {
    stop();
}

int64_t Recorder::now_ns() const {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                t0_)
        .count();
}

void Recorder::on_transfer(int32_t code, const uint8_t *data, uint32_t len, uint32_t frames_done,
                           bool boundary, uint64_t arrival_ns) {
    // The parser's work on the transfer came between its arrival and this
    // call: the arrival is what the frames it completes are stamped with.
    const int64_t t0 =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t0_.time_since_epoch()).count();
    const int64_t t = std::max<int64_t>(0, static_cast<int64_t>(arrival_ns) - t0);
    std::unique_lock lock(mu_);
    if (stopping_) return;
    if (!synced_) {
        if (boundary) {
            synced_ = true;
            frames_offset_ = frames_done;
        } else if (++unsynced_ > kMaxUnsynced) {
            synced_ = true;
            frames_offset_ = frames_done + 1;
        }
        return;
    }
    const uint32_t done = frames_done > frames_offset_ ? frames_done - frames_offset_ : 0;
    frames_now_ = std::max(frames_now_, frames_base_ + done);
    if (failed_ || queued_bytes_ + len > kQueueBytes) {
        // The disk did not keep up: the loss is counted, and written as an
        // event where the transfers are missing.
        ++pending_lost_;
        pending_lost_bytes_ += len;
        ++stats_.lost_transfers;
        stats_.lost_bytes += len;
        return;
    }
    Transfer tr;
    if (!spare_.empty()) {
        tr.data = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    // The copy runs outside the lock: the writer may take batches meanwhile.
    tr.t_ns = t;
    tr.code = code;
    tr.boundary = boundary ? 1 : 0;
    if (data != nullptr && len > 0)
        tr.data.assign(data, data + len);
    else
        tr.data.clear();
    lock.lock();
    if (pending_lost_ > 0) {
        KV_WRN("[%s] the disk did not keep up: %llu transfers (%llu bytes) not recorded\n", kTag,
               static_cast<unsigned long long>(pending_lost_),
               static_cast<unsigned long long>(pending_lost_bytes_));
        note_loss_locked(t);
    }
    tr.seq = next_seq_++;
    tr.frames = frames_now_;
    queued_bytes_ += len;
    transfers_.push_back(std::move(tr));
    stats_.queue_peak =
        std::max<uint32_t>(stats_.queue_peak, static_cast<uint32_t>(transfers_.size()));
    stats_.frames = frames_now_;
    if (transfers_.size() >= kBatchTransfers) cv_.notify_one();
}

void Recorder::on_event(uint32_t kind, uint32_t id, uint32_t addr, const void *value, uint32_t len,
                        uint64_t frames_left) {
    Event ev;
    ev.t_ns = now_ns();
    ev.kind = kind;
    ev.id = id;
    ev.addr = addr;
    const uint32_t n = std::min<uint32_t>(len, KAVRI_REC_EVENT_VALUE_SIZE);
    if (value != nullptr && n > 0) {
        const auto *b = static_cast<const uint8_t *>(value);
        ev.value.assign(b, b + n);
    }
    std::lock_guard lock(mu_);
    if (stopping_) return;
    ev.transfer = next_seq_;
    // The recording's frame the application reaches next.
    ev.frames_fetched =
        frames_base_ + static_cast<uint32_t>(std::min<uint64_t>(
                           frames_left > frames_offset_ ? frames_left - frames_offset_ : 0,
                           UINT32_MAX - frames_base_));
    events_.push_back(std::move(ev));
}

void Recorder::note_loss_locked(int64_t t) {
    Event loss;
    loss.t_ns = t;
    loss.transfer = next_seq_;
    loss.kind = KAVRI_REC_EV_LOSS;
    loss.id = static_cast<uint32_t>(std::min<uint64_t>(pending_lost_, UINT32_MAX));
    loss.addr = static_cast<uint32_t>(std::min<uint64_t>(pending_lost_bytes_, UINT32_MAX));
    events_.push_back(std::move(loss));
    pending_lost_ = pending_lost_bytes_ = 0;
}

void Recorder::on_parser_reset() {
    std::lock_guard lock(mu_);
    frames_base_ = frames_now_;
    frames_offset_ = 0;
    synced_ = true;
}

void Recorder::start_at(uint32_t done_now, bool boundary_now) {
    std::lock_guard lock(mu_);
    frames_offset_ = done_now;
    synced_ = boundary_now;
    unsynced_ = 0;
}

kavri_rec_stats_t Recorder::stats() const {
    std::lock_guard lock(mu_);
    return stats_;
}

void Recorder::writer_loop() {
    std::vector<Transfer> batch;
    std::vector<Event> events;
    for (;;) {
        bool last = false;
        {
            std::unique_lock lock(mu_);
            cv_.wait_for(lock, kCommitEvery,
                         [this] { return stopping_ || transfers_.size() >= kBatchTransfers; });
            const size_t n = std::min(transfers_.size(), kBatchTransfers);
            batch.clear();
            for (size_t i = 0; i < n; ++i) {
                queued_bytes_ -= transfers_.front().data.size();
                batch.push_back(std::move(transfers_.front()));
                transfers_.pop_front();
            }
            // Events up to the last transfer of the batch go with it, so a
            // reader sees them in order; at the stop, all of them.
            const bool drain = stopping_ && transfers_.empty();
            const uint64_t upto = batch.empty() ? next_seq_ : batch.back().seq + 1;
            events.clear();
            while (!events_.empty() && (drain || events_.front().transfer <= upto)) {
                events.push_back(std::move(events_.front()));
                events_.pop_front();
            }
            last = drain;
        }
        if (!batch.empty() || !events.empty()) {
            const bool ok = !failed_ && writer_.write_batch(batch, events);
            std::lock_guard lock(mu_);
            if (ok) {
                stats_.transfers += batch.size();
                for (const Transfer &t : batch) stats_.bytes += t.data.size();
                stats_.events += events.size();
                for (Transfer &t : batch)
                    if (spare_.size() < kMaxSpare && t.data.capacity() > 0)
                        spare_.push_back(std::move(t.data));
            } else if (!failed_) {
                failed_ = true;
                ++stats_.write_errors;
                KV_ERR("[%s] writing the recording failed: %s; it ends here\n", kTag,
                       writer_.error().c_str());
            }
        }
        if (last) break;
    }
}

int32_t Recorder::stop() {
    {
        std::lock_guard lock(mu_);
        if (stopped_) return result_;
        stopped_ = true;
        // Transfers lost after the last recorded one.
        if (pending_lost_ > 0) note_loss_locked(now_ns());
        stopping_ = true;
        cv_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    Summary summary;
    {
        std::lock_guard lock(mu_);
        summary.lost_transfers = stats_.lost_transfers;
        summary.lost_bytes = stats_.lost_bytes;
        summary.write_errors = stats_.write_errors;
        stats_.active = 0;
    }
    const bool ok = writer_.finish(summary);
    if (!ok) KV_ERR("[%s] finishing the recording failed: %s\n", kTag, writer_.error().c_str());
    result_ = ok && summary.write_errors == 0 ? KAVRI_REC_OK : KAVRI_REC_ERR_IO;
    return result_;
}

}  // namespace kavri::rec
