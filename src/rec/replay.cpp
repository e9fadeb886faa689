// The replay transport: the recording's state answers the commands, and a
// thread of the replay's own hands the recorded transfers to the capture
// handler, paced and positioned as the application asks.
#include "rec/replay.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/le.h"
#include "core/log_internal.h"
#include "rec/rec_file.h"

namespace kavri::rec {
namespace {

constexpr const char *kTag = "kavri_rec";
// Transfers read from the file at a time.
constexpr uint32_t kReadAhead = 16;
// How far back a seek looks for a point where the stream was between frames
// before it parses from the capture's start instead.
constexpr uint64_t kSeekScan = 64;
// A paced replay looks again this often when nobody tells it a frame was taken.
constexpr std::chrono::milliseconds kPacePoll{5};
constexpr size_t kRegValueBytes = 4;
constexpr uint32_t kDriverIds[kDriverParams] = {KAVRI_PARAM_INTG_TIME, KAVRI_PARAM_INTG_TIME2,
                                                KAVRI_PARAM_MOD_FREQ};

using Clock = std::chrono::steady_clock;

// One parameter's or register's recorded values in event (time) order. The
// value at a position is the last entry recorded at or before it. The
// recorded positions need not be in order (the count restarts where the
// recording's capture did), but their minimum over each entry and those
// after it is, so a binary search over that minimum finds the entry.
template <typename V>
struct Timeline {
    bool has_base = false;  // the value the recording started with
    V base{};
    // Each entry's frames_fetched; after finish(), the smallest from entry i on.
    std::vector<uint32_t> min_from;
    std::vector<V> values;

    void add(uint32_t frames_fetched, const V &v) {
        min_from.push_back(frames_fetched);
        values.push_back(v);
    }
    void finish() {
        for (size_t i = min_from.size(); i-- > 1;)
            min_from[i - 1] = std::min(min_from[i - 1], min_from[i]);
    }
    bool value_at(uint32_t clock, V &out) const {
        const auto after = std::upper_bound(min_from.begin(), min_from.end(), clock);
        if (after != min_from.begin()) {
            out = values[static_cast<size_t>(after - min_from.begin()) - 1];
            return true;
        }
        if (has_base) out = base;
        return has_base;
    }
};

uint64_t reg_key(uint32_t target, uint32_t addr) {
    return (static_cast<uint64_t>(target) << 32) | addr;
}

// A stored file name must stay inside the replay's folder.
bool safe_file_name(const std::string &name) {
    return !name.empty() && name.size() < 200 && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name != "." && name != "..";
}

}  // namespace

class Replay {
  public:
    Reader reader;
    std::string folder;                    // with a trailing '/'
    std::vector<uint64_t> segment_starts;  // transfers that began a recorded capture

    // Guards everything below (a leaf below the device's locks: taken inside
    // commands and capture calls, never held across a hook or the handler).
    std::mutex mu;
    std::condition_variable cv;
    kavri_rec_options_t opts{};
    ReplayHooks hooks;
    kavri_ll_t *ll = nullptr;
    kavri_ll_cap_cb_t cb = nullptr;
    void *cb_arg = nullptr;
    std::thread thread;
    bool stop_req = false;
    bool running = false;
    uint64_t pos = 0;  // next transfer to hand out
    bool ended = false;
    bool damaged = false;
    // A seek waiting for the replay thread (or for the next capture start).
    struct Seek {
        uint64_t start = 0;    // first transfer to feed
        uint64_t preroll = 0;  // transfers fed quietly: start .. start + preroll - 1
        uint32_t skip = 0;     // frames they yield that are dropped
        uint32_t frame = 0;    // the frame the application gets next
    };
    bool seek_pending = false;
    Seek seek;
    uint64_t seeks_done = 0;
    uint64_t taken = 0;         // bumped when the application takes a frame or begins a fetch
    uint32_t frame_base = 0;    // recording frame the position counts from
    uint64_t fetched_base = 0;  // the device's fetched counter at that moment
    bool pace_anchor_set = false;
    Clock::time_point pace_wall;
    int64_t pace_rec = 0;
    std::set<uint32_t> warned;
    // What the driver was last told of each of kDriverIds (replay_driver_changes).
    std::array<kavri_ll_param_item_t, kDriverParams> told{};
    std::array<bool, kDriverParams> told_set{};

    // Reader calls come from the replay thread and from seeks.
    std::mutex reader_mu;

    uint64_t fetched() const { return hooks.frames_fetched ? hooks.frames_fetched(hooks.arg) : 0; }
    uint32_t frame_clock_locked() const {
        const uint64_t f = fetched();
        return frame_base + static_cast<uint32_t>(f > fetched_base ? f - fetched_base : 0);
    }
    bool is_segment_start(uint64_t seq) const {
        return std::binary_search(segment_starts.begin(), segment_starts.end(), seq);
    }
    uint32_t frames_before(uint64_t seq) const {
        const auto &fr = reader.frames();
        return static_cast<uint32_t>(
            std::lower_bound(fr.begin(), fr.end(), seq,
                             [](const FrameMark &m, uint64_t s) { return m.transfer < s; }) -
            fr.begin());
    }

    // The recorded values by parameter id and by register (reg_key), built
    // once at open and read-only after, so lookups take no lock.
    std::map<uint32_t, Timeline<kavri_ll_param_item_t>> param_timelines;
    std::map<uint64_t, Timeline<uint32_t>> reg_timelines;
    void index_values();

    // The recorded value of parameter id at recording frame clock.
    bool param_value(uint32_t id, uint32_t clock, kavri_ll_param_item_t &out) const;
    bool reg_value(uint32_t target, uint32_t addr, uint32_t clock, uint32_t &out) const;
    bool plan_seek(uint32_t frame, Seek &s);
    void run();
    void apply_seek(const Seek &s);
    void stop_thread(bool join);
};

void Replay::index_values() {
    for (const ParamValue &p : reader.params()) {
        auto &t = param_timelines[p.id];
        t.has_base = true;
        t.base = p.item;
    }
    for (const RegValue &r : reader.regs()) {
        auto &t = reg_timelines[reg_key(r.target, r.addr)];
        t.has_base = true;
        t.base = r.value;
    }
    for (const Event &ev : reader.events()) {
        if ((ev.kind == KAVRI_REC_EV_PARAM_SET || ev.kind == KAVRI_REC_EV_PARAM_VALUE) &&
            ev.value.size() == sizeof(kavri_ll_param_item_t)) {
            kavri_ll_param_item_t item{};
            std::memcpy(&item, ev.value.data(), sizeof item);
            param_timelines[ev.id].add(ev.frames_fetched, item);
        } else if ((ev.kind == KAVRI_REC_EV_REG_WRITE || ev.kind == KAVRI_REC_EV_REG_VALUE) &&
                   ev.value.size() >= kRegValueBytes) {
            reg_timelines[reg_key(ev.id, ev.addr)].add(ev.frames_fetched,
                                                       le::get_u32(ev.value.data()));
        }
    }
    for (auto &[id, t] : param_timelines) t.finish();
    for (auto &[key, t] : reg_timelines) t.finish();
}

bool Replay::param_value(uint32_t id, uint32_t clock, kavri_ll_param_item_t &out) const {
    const auto it = param_timelines.find(id);
    return it != param_timelines.end() && it->second.value_at(clock, out);
}

bool Replay::reg_value(uint32_t target, uint32_t addr, uint32_t clock, uint32_t &out) const {
    const auto it = reg_timelines.find(reg_key(target, addr));
    return it != reg_timelines.end() && it->second.value_at(clock, out);
}

bool Replay::plan_seek(uint32_t frame, Seek &s) {
    const auto &fr = reader.frames();
    if (frame >= fr.size()) return false;
    const uint64_t tk = fr[frame].transfer;
    uint64_t seg = 0;
    for (uint64_t st : segment_starts)
        if (st <= tk) seg = st;
    // The nearest transfer before tk after which the parser held nothing.
    uint64_t start = seg;
    const uint64_t lo = std::max<uint64_t>(seg, tk > kSeekScan ? tk - kSeekScan : 0);
    if (tk > lo) {
        std::vector<Transfer> run;
        bool ok = false;
        {
            std::lock_guard lock(reader_mu);
            ok = reader.read_transfers(lo, static_cast<uint32_t>(tk - lo), run);
        }
        if (ok || !run.empty())
            for (auto it = run.rbegin(); it != run.rend(); ++it)
                if (it->boundary) {
                    start = it->seq + 1;
                    break;
                }
    }
    s.start = start;
    s.frame = frame;
    s.skip = frame - std::min(frame, frames_before(start));
    s.preroll = s.skip > 0 ? fr[frame - 1].transfer + 1 - start : 0;
    return true;
}

void Replay::apply_seek(const Seek &s) {
    if (hooks.reset_parser) hooks.reset_parser(hooks.arg);
    uint32_t left = s.skip;
    std::vector<Transfer> run;
    for (uint64_t seq = s.start; seq < s.start + s.preroll && left > 0;) {
        {
            std::lock_guard lock(reader_mu);
            const uint32_t n =
                static_cast<uint32_t>(std::min<uint64_t>(kReadAhead, s.start + s.preroll - seq));
            if (!reader.read_transfers(seq, n, run) && run.empty()) break;
        }
        for (const Transfer &t : run) {
            if (t.code == KAVRI_OK && hooks.feed_quiet)
                hooks.feed_quiet(hooks.arg, t.data.data(), static_cast<uint32_t>(t.data.size()));
            // Dropped as they finish: the parser holds only so many.
            const uint32_t ready = hooks.frames_ready ? hooks.frames_ready(hooks.arg) : 0;
            const uint32_t n = std::min(ready, left);
            if (n > 0 && hooks.drop_frames) hooks.drop_frames(hooks.arg, n);
            left -= n;
        }
        seq += run.size();
        if (run.empty()) break;
    }
    std::lock_guard lock(mu);
    pos = s.start + s.preroll;
    frame_base = s.frame;
    fetched_base = fetched();
    ended = false;
    pace_anchor_set = false;
    ++seeks_done;
    cv.notify_all();
}

void Replay::run() {
    std::vector<Transfer> buf;
    uint64_t buf_first = 0;
    for (;;) {
        Seek s;
        bool have_seek = false;
        uint64_t at = 0;
        kavri_rec_options_t o{};
        {
            std::unique_lock lock(mu);
            if (stop_req) break;
            if (seek_pending) {
                s = seek;
                seek_pending = false;
                have_seek = true;
            }
            at = pos;
            o = opts;
        }
        if (have_seek) {
            apply_seek(s);
            buf.clear();
            continue;
        }
        const uint64_t count = reader.transfer_count();
        if (at >= count || damaged) {
            if (o.loop && count > 0 && !damaged) {
                if (hooks.reset_parser) hooks.reset_parser(hooks.arg);
                std::lock_guard lock(mu);
                pos = 0;
                frame_base = 0;
                fetched_base = fetched();
                pace_anchor_set = false;
                continue;
            }
            std::unique_lock lock(mu);
            if (!ended)
                KV_DBG("[%s] replay: %llu of %llu transfers delivered, the end\n", kTag,
                       static_cast<unsigned long long>(at), static_cast<unsigned long long>(count));
            ended = true;
            cv.notify_all();
            cv.wait(lock, [this] { return stop_req || seek_pending || opts.loop; });
            continue;
        }
        // Paced by the application: a finished frame waits until it is
        // taken (a fetching call takes every waiting frame, and drops those
        // it does not want); stepping, the next is made only for a fetching
        // call that waits.
        if (o.pacing != KAVRI_REC_PACE_REALTIME && hooks.frames_ready) {
            const bool hold = hooks.frames_ready(hooks.arg) > 0 ||
                              (o.pacing == KAVRI_REC_PACE_STEP && hooks.fetch_waiting &&
                               !hooks.fetch_waiting(hooks.arg));
            if (hold) {
                std::unique_lock lock(mu);
                const uint64_t seen = taken;
                cv.wait_for(lock, kPacePoll,
                            [this, seen] { return stop_req || seek_pending || taken != seen; });
                continue;
            }
        }
        if (buf.empty() || at < buf_first || at >= buf_first + buf.size()) {
            bool ok = false;
            {
                std::lock_guard lock(reader_mu);
                ok = reader.read_transfers(at, kReadAhead, buf);
                if (!ok && buf.empty())
                    KV_ERR(
                        "[%s] the recording is damaged at transfer %llu: %s; the replay "
                        "ends there\n",
                        kTag, static_cast<unsigned long long>(at), reader.error().c_str());
            }
            buf_first = at;
            if (buf.empty()) {
                std::lock_guard lock(mu);
                damaged = true;
                continue;
            }
        }
        const Transfer &t = buf[at - buf_first];
        if (o.pacing == KAVRI_REC_PACE_REALTIME) {
            std::unique_lock lock(mu);
            if (!pace_anchor_set) {
                pace_anchor_set = true;
                pace_wall = Clock::now();
                pace_rec = t.t_ns;
            }
            const auto due = pace_wall + std::chrono::nanoseconds(t.t_ns - pace_rec);
            if (cv.wait_until(lock, due, [this] { return stop_req || seek_pending; })) continue;
        }
        // Where the recording's parser was reset, the replay's is too.
        if (at > 0 && is_segment_start(at) && hooks.reset_parser) hooks.reset_parser(hooks.arg);
        if (cb != nullptr) {
            // Frames carry the recorded arrival times (1 ns at the very first).
            const core::TransferArrival arrival(
                static_cast<uint64_t>(std::max<int64_t>(t.t_ns, 1)));
            cb(ll, t.code, const_cast<uint8_t *>(t.data.data()),
               static_cast<uint32_t>(t.data.size()), cb_arg);
        }
        std::lock_guard lock(mu);
        if (pos == at) ++pos;
    }
    std::lock_guard lock(mu);
    running = false;
    cv.notify_all();
}

void Replay::stop_thread(bool join) {
    {
        std::lock_guard lock(mu);
        stop_req = true;
        cv.notify_all();
    }
    if (join && thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

namespace {

Replay *state_of(kavri_ll_t *ll) {
    return ll != nullptr && ll->ops == &replay_ops ? static_cast<Replay *>(ll->state) : nullptr;
}

void warn_once(Replay *r, uint32_t key, const char *what, uint32_t id) {
    std::lock_guard lock(r->mu);
    if (r->warned.insert(key).second)
        KV_WRN("[%s] a replay cannot %s %u: the recording holds what the camera sent\n", kTag, what,
               id);
}

constexpr uint32_t kWarnParam = 0x10000;
constexpr uint32_t kWarnCmd = 0x20000;

kavri_ll_t *op_dev_open(kavri_ll_t *ll) {
    return state_of(ll) != nullptr ? ll : nullptr;
}

void op_dev_close(kavri_ll_t *ll) {
    Replay *r = state_of(ll);
    if (r == nullptr) return;
    r->stop_thread(true);
    std::error_code ec;
    if (!r->folder.empty()) std::filesystem::remove_all(r->folder, ec);
    delete r;
    ll->state = nullptr;
}

uint32_t op_dev_list(kavri_ll_t *, uint32_t) {
    return 0;
}

uint8_t op_exe_cmd(kavri_ll_t *ll, uint8_t, uint8_t type, uint16_t, void *, uint32_t, uint32_t) {
    Replay *r = state_of(ll);
    if (r != nullptr) warn_once(r, kWarnCmd | type, "send command", type);
    return 0;
}

int32_t op_tx_data(kavri_ll_t *ll, const void *, uint32_t) {
    Replay *r = state_of(ll);
    if (r != nullptr) warn_once(r, kWarnCmd | 0xFFFF, "take data images, command", 0);
    return -1;
}

void op_cap_abort(kavri_ll_t *ll) {
    Replay *r = state_of(ll);
    if (r != nullptr) r->stop_thread(false);
}

uint8_t op_cap_start(kavri_ll_t *ll, uint32_t, kavri_ll_cap_cb_t cb, void *cb_arg) {
    Replay *r = state_of(ll);
    if (r == nullptr) return 0;
    r->stop_thread(true);
    std::lock_guard lock(r->mu);
    r->stop_req = false;
    r->running = true;
    r->ll = ll;
    r->cb = cb;
    r->cb_arg = cb_arg;
    r->pace_anchor_set = false;
    r->fetched_base = r->fetched();
    r->thread = std::thread([r] { r->run(); });
    return 1;
}

uint8_t op_cap_stop(kavri_ll_t *ll) {
    Replay *r = state_of(ll);
    if (r == nullptr) return 0;
    r->stop_thread(true);
    // The frames the parser still held are gone with the next start's
    // reset: the position is where the application stopped taking frames.
    std::lock_guard lock(r->mu);
    r->frame_base = r->frame_clock_locked();
    r->fetched_base = r->fetched();
    return 1;
}

uint8_t op_dev_reset(kavri_ll_t *ll, uint8_t target) {
    Replay *r = state_of(ll);
    if (r != nullptr) warn_once(r, kWarnCmd | 0xFFFE, "reset, target", target);
    return 0;
}

uint8_t op_reg_write(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *, uint16_t count) {
    if (state_of(ll) == nullptr) return 0;
    // The chip driver programs the sensor at every open; the recorded
    // frames already carry what the camera did.
    KV_DBG("[%s] replay: %u registers of target %u from %u not sent\n", kTag, count, target, base);
    return 1;
}

uint8_t op_reg_read(kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                    uint16_t count) {
    Replay *r = state_of(ll);
    if (r == nullptr || values == nullptr) return 0;
    uint32_t clock = 0;
    {
        std::lock_guard lock(r->mu);
        clock = r->frame_clock_locked();
    }
    for (uint16_t i = 0; i < count; ++i)
        if (!r->reg_value(target, base + i, clock, values[i])) {
            KV_DBG("[%s] replay: register %u of target %u was not recorded\n", kTag, base + i,
                   target);
            return 0;
        }
    return 1;
}

uint8_t op_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    Replay *r = state_of(ll);
    if (r == nullptr || items == nullptr) return 0;
    return replay_accepts_params(r, items, count) ? 1 : 0;
}

uint8_t op_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    Replay *r = state_of(ll);
    if (r == nullptr || items == nullptr) return 0;
    uint32_t clock = 0;
    {
        std::lock_guard lock(r->mu);
        clock = r->frame_clock_locked();
    }
    for (uint32_t i = 0; i < count; ++i) {
        kavri_ll_param_item_t v{};
        if (!r->param_value(items[i].param_id, clock, v)) {
            KV_DBG("[%s] replay: parameter %u was not recorded\n", kTag, items[i].param_id);
            return 0;
        }
        items[i] = v;
    }
    return 1;
}

}  // namespace

const kavri_ll_op_t replay_ops = {
    nullptr,      nullptr,      nullptr,     op_dev_open,  op_dev_open,  op_dev_close,
    op_dev_list,  op_exe_cmd,   op_tx_data,  op_cap_abort, op_cap_start, op_cap_stop,
    op_dev_reset, op_reg_write, op_reg_read, op_param_set, op_param_get,
};

bool replay_prepare(kavri_ll_t *ll, const char *path, const kavri_rec_options_t &options,
                    int32_t &err) {
    auto r = std::make_unique<Replay>();
    if (!r->reader.open(path)) {
        KV_ERR("[%s] cannot replay %s: %s\n", kTag, path, r->reader.error().c_str());
        err = std::filesystem::exists(path) ? KAVRI_REC_ERR_FORMAT : KAVRI_REC_ERR_IO;
        return false;
    }
    for (const Event &ev : r->reader.events())
        if (ev.kind == KAVRI_REC_EV_CAP_START) r->segment_starts.push_back(ev.transfer);
    std::sort(r->segment_starts.begin(), r->segment_starts.end());
    r->index_values();

    // The recorded files go to a folder of the replay's own, which becomes
    // the device's working path: the driver finds its calibration there.
    std::error_code ec;
    std::string tmpl = (std::filesystem::temp_directory_path(ec) / "kavri-replay-XXXXXX").string();
    if (ec || mkdtemp(tmpl.data()) == nullptr) {
        KV_ERR("[%s] cannot make a folder for the replay's calibration\n", kTag);
        err = KAVRI_REC_ERR_IO;
        return false;
    }
    r->folder = tmpl + "/";
    for (const StoredFile &f : r->reader.files()) {
        if (!safe_file_name(f.name)) {
            KV_WRN("[%s] stored file with an unusable name skipped\n", kTag);
            continue;
        }
        std::ofstream out(r->folder + f.name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(f.data.data()),
                  static_cast<std::streamsize>(f.data.size()));
        if (!out) {
            KV_ERR("[%s] cannot write %s%s\n", kTag, r->folder.c_str(), f.name.c_str());
            std::filesystem::remove_all(r->folder, ec);
            err = KAVRI_REC_ERR_IO;
            return false;
        }
    }
    r->opts = options;
    const Identity &id = r->reader.identity();
    ll->if_type = KAVRI_IF_REPLAY;
    std::memcpy(ll->if_info, id.if_info.data(), sizeof ll->if_info);
    ll->located = id.located;
    ll->ops = &replay_ops;
    ll->state = r.release();
    err = KAVRI_REC_OK;
    return true;
}

Replay *replay_of(const kavri_ll_t *ll) {
    return state_of(const_cast<kavri_ll_t *>(ll));
}

void replay_set_hooks(Replay *r, const ReplayHooks &hooks) {
    std::lock_guard lock(r->mu);
    r->hooks = hooks;
    r->fetched_base = r->fetched();
}

const char *replay_folder(const Replay *r) {
    return r->folder.c_str();
}

void replay_frames_taken(Replay *r) {
    std::lock_guard lock(r->mu);
    ++r->taken;
    r->cv.notify_all();
}

bool replay_accepts_params(Replay *r, const kavri_ll_param_item_t *items, uint32_t count) {
    uint32_t clock = 0;
    {
        std::lock_guard lock(r->mu);
        clock = r->frame_clock_locked();
    }
    for (uint32_t i = 0; i < count; ++i) {
        kavri_ll_param_item_t cur{};
        const size_t n = std::min<size_t>(items[i].param_val_len, KAVRI_PARAM_WIRE_VAL_SIZE);
        if (r->param_value(items[i].param_id, clock, cur) &&
            std::memcmp(cur.param_val, items[i].param_val, n) == 0)
            continue;  // leaves the camera as recorded
        warn_once(r, kWarnParam | items[i].param_id, "change parameter", items[i].param_id);
        return false;
    }
    return true;
}

uint32_t replay_driver_changes(Replay *r, kavri_ll_param_item_t *out, uint32_t max) {
    uint32_t clock = 0;
    {
        std::lock_guard lock(r->mu);
        clock = r->frame_clock_locked();
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < kDriverParams && n < max; ++i) {
        kavri_ll_param_item_t v{};
        if (!r->param_value(kDriverIds[i], clock, v)) continue;
        // Only the fetching thread calls this (one fetch at a time).
        if (r->told_set[i] && std::memcmp(&r->told[i], &v, sizeof v) == 0) continue;
        r->told[i] = v;
        r->told_set[i] = true;
        out[n++] = v;
    }
    return n;
}

void replay_get_info(Replay *r, kavri_rec_info_t &info) {
    info = kavri_rec_info_t{};
    info.format_version = r->reader.version();
    info.frame_count = static_cast<uint32_t>(r->reader.frames().size());
    info.duration_ns = static_cast<uint64_t>(std::max<int64_t>(0, r->reader.duration_ns()));
    info.transfer_count = r->reader.transfer_count();
    info.byte_count = r->reader.byte_count();
    info.event_count = static_cast<uint32_t>(r->reader.events().size());
    std::lock_guard lock(r->mu);
    info.position = r->frame_clock_locked();
    const bool waiting = r->hooks.frames_ready && r->hooks.frames_ready(r->hooks.arg) > 0;
    info.ended = r->ended && !waiting ? 1 : 0;
    info.damaged = r->damaged ? 1 : 0;
}

int32_t replay_seek(Replay *r, uint32_t frame) {
    Replay::Seek s;
    if (!r->plan_seek(frame, s)) return KAVRI_REC_ERR_RANGE;
    std::unique_lock lock(r->mu);
    r->seek = s;
    r->seek_pending = true;
    r->ended = false;
    r->cv.notify_all();
    if (!r->running) return KAVRI_REC_OK;  // the next capture start runs it
    const uint64_t want = r->seeks_done + 1;
    r->cv.wait(lock, [r, want] { return r->seeks_done >= want || !r->running || r->stop_req; });
    return KAVRI_REC_OK;
}

int32_t replay_seek_time(Replay *r, uint64_t t_ns) {
    for (const FrameMark &m : r->reader.frames())
        if (m.t_ns >= 0 && static_cast<uint64_t>(m.t_ns) >= t_ns) return replay_seek(r, m.index);
    return KAVRI_REC_ERR_RANGE;
}

void replay_set_options(Replay *r, const kavri_rec_options_t &options) {
    std::lock_guard lock(r->mu);
    r->opts = options;
    r->pace_anchor_set = false;
    r->cv.notify_all();
}

int32_t replay_get_event(Replay *r, uint32_t i, kavri_rec_event_t &event) {
    const auto &evs = r->reader.events();
    if (i >= evs.size()) return KAVRI_REC_ERR_RANGE;
    const Event &ev = evs[i];
    event = kavri_rec_event_t{};
    event.t_ns = static_cast<uint64_t>(std::max<int64_t>(0, ev.t_ns));
    event.transfer = ev.transfer;
    event.kind = ev.kind;
    event.id = ev.id;
    event.addr = ev.addr;
    event.len = static_cast<uint32_t>(std::min<size_t>(ev.value.size(), sizeof event.value));
    if (event.len > 0) std::memcpy(event.value, ev.value.data(), event.len);
    event.frames_fetched = ev.frames_fetched;
    return KAVRI_REC_OK;
}

}  // namespace kavri::rec
