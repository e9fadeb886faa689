// Raw recordings through the camera API: recording a live camera, opening a
// recording as a device, and the notes the command paths make meanwhile.
#include "api/rec_api.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <sys/time.h>
#include <vector>

#include "api/camera.h"
#include "core/le.h"
#include "drv/drv_quality.h"
#include "core/log_internal.h"
#include "ll/ll.h"
#include "kavri/version.h"
#include "param/param.h"
#include "stream/stream.h"

namespace kavri::api {
namespace {

// Settings a recording starts with even when nobody has read them yet: the
// replay answers them, and readers of the file show them.
constexpr uint32_t kStartParams[] = {KAVRI_PARAM_MODE,       KAVRI_PARAM_MOD_FREQ,
                                     KAVRI_PARAM_INFO_CALIB, KAVRI_PARAM_FPS,
                                     KAVRI_PARAM_INTG_TIME,  KAVRI_PARAM_INTG_TIME2};
constexpr char kLensFile[] = "lens_param.txt";
constexpr size_t kRegValueBytes = 4;

// The bytes of a file the library mounted, when it is there.
bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string base_name(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

kavri::rec::Identity identity_of(const kavri_dev_t *dev) {
    kavri::rec::Identity id;
    id.product.assign(dev->product, strnlen(dev->product, sizeof dev->product));
    id.ident.assign(dev->ident, strnlen(dev->ident, sizeof dev->ident));
    std::memcpy(id.uid.data(), dev->uid, std::min(sizeof dev->uid, id.uid.size()));
    for (size_t i = 0; i < id.version.size(); ++i) id.version[i] = dev->version[i];
    id.if_type = dev->if_type;
    std::memcpy(id.if_info.data(), dev->if_info, id.if_info.size());
    id.located = dev->located;
    id.library_version = KAVRI_VERSION_STRING;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    id.wall_start_us = static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
    return id;
}

// The calibration parameter file and the lens file the library reads for
// this camera, as they are now.
std::vector<kavri::rec::StoredFile> mounted_files(kavri_dev_t *dev) {
    std::vector<kavri::rec::StoredFile> files;
    char name[KAVRI_PARAM_PATH_SIZE] = {};
    kavri::rec::StoredFile f;
    if (kavri::param::get_param_absolute_name(dev, name, sizeof name) != nullptr &&
        read_file(name, f.data)) {
        f.name = base_name(name);
        f.role = "calibration";
        files.push_back(std::move(f));
    }
    f = {};
    if (kavri::param::get_param_lens_absolute_name(dev, name, sizeof name) != nullptr &&
        read_file(name, f.data)) {
        f.name = base_name(name);
        f.role = "lens";
        files.push_back(std::move(f));
    }
    f = {};
    const std::string lens = std::string(dev->path != nullptr ? dev->path : "") + kLensFile;
    if (read_file(lens, f.data)) {
        f.name = kLensFile;
        f.role = "lens";
        files.push_back(std::move(f));
    }
    return files;
}

uint32_t hook_frames_ready(void *arg) {
    auto *p = static_cast<kavri_dev_priv_t *>(arg);
    kv_stream_state_t st{};
    kavri::stream::stream_get_state(p->stream, &st);
    return st.frames_ready;
}

bool hook_fetch_waiting(void *arg) {
    return static_cast<kavri_dev_priv_t *>(arg)->fetching.load();
}

uint32_t hook_frames_capacity(void *arg) {
    return kavri::stream::stream_get_cfg(static_cast<kavri_dev_priv_t *>(arg)->stream).max_frames;
}

uint64_t hook_frames_fetched(void *arg) {
    return static_cast<kavri_dev_priv_t *>(arg)->frames_fetched.load(std::memory_order_relaxed);
}

void hook_reset_parser(void *arg) {
    auto *p = static_cast<kavri_dev_priv_t *>(arg);
    std::lock_guard feed(p->feed_mutex);
    kavri::stream::stream_reset(p->stream);
    p->meta_prev_idx.store(-1);  // the next frame's index starts afresh
    std::lock_guard lock(p->mutex);
    p->stream_state = kv_stream_state_t{};
}

void hook_feed_quiet(void *arg, const uint8_t *data, uint32_t len) {
    auto *p = static_cast<kavri_dev_priv_t *>(arg);
    std::lock_guard feed(p->feed_mutex);
    kavri::stream::stream_feed_input(p->stream, data, static_cast<int32_t>(len));
}

void hook_drop_frames(void *arg, uint32_t n) {
    auto *p = static_cast<kavri_dev_priv_t *>(arg);
    kavri::stream::stream_fetch_frames(p->stream, nullptr, 0, n, nullptr, 0);
}

kavri::rec::Replay *replay_for(kavri_dev_t *dev, ApiCall &call, const char *tag, int32_t &err) {
    if (dev == nullptr || !call.ok()) {
        log_bad_handle(tag);
        err = KAVRI_REC_ERR_ARG;
        return nullptr;
    }
    kavri::rec::Replay *r = kavri::rec::replay_of(&call.priv()->ll);
    err = r != nullptr ? KAVRI_REC_OK : KAVRI_REC_ERR_NOT_REPLAY;
    if (r == nullptr) KV_ERR("[%s] the device is a camera, not a replay\n", tag);
    return r;
}

}  // namespace

namespace {

// Frames that have left the parser's output since the capture start, taken
// or dropped: where the application stands in the stream. A replay, which
// drops none, counts the same frames as taken.
uint64_t frames_left(kavri_dev_priv_t *p) {
    kv_stream_state_t st{};
    kavri::stream::stream_get_state(p->stream, &st);
    // frames_out counts the frames that reached the output; those still
    // waiting there have not left it.
    return st.frames_out >= st.frames_ready ? st.frames_out - st.frames_ready : 0;
}

}  // namespace

void note_params(kavri_dev_priv_t *p, const kavri_ll_param_item_t *items, uint32_t count,
                 bool written) {
    for (uint32_t i = 0; i < count; ++i) p->knowledge->note_param(items[i]);
    RecorderRef r(p);
    if (!r) return;
    const uint64_t left = frames_left(p);
    for (uint32_t i = 0; i < count; ++i)
        r->on_event(written ? KAVRI_REC_EV_PARAM_SET : KAVRI_REC_EV_PARAM_VALUE, items[i].param_id,
                    0, &items[i], sizeof items[i], left);
}

void note_regs(kavri_dev_priv_t *p, uint32_t target, uint32_t base, const uint32_t *values,
               uint32_t count, bool written) {
    if (values == nullptr) return;
    p->knowledge->note_regs(target, base, values, count);
    RecorderRef r(p);
    if (!r) return;
    const uint64_t left = frames_left(p);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t v[kRegValueBytes];
        kavri::le::put_u32(v, values[i]);
        r->on_event(written ? KAVRI_REC_EV_REG_WRITE : KAVRI_REC_EV_REG_VALUE, target, base + i, v,
                    sizeof v, left);
    }
}

void note_event(kavri_dev_priv_t *p, uint32_t kind, uint32_t id, uint32_t addr, const void *value,
                uint32_t len) {
    if (RecorderRef r(p); r) r->on_event(kind, id, addr, value, len, frames_left(p));
}

void sync_replay_driver(kavri_dev_priv_t *p, kavri::rec::Replay *r) {
    kavri_ll_param_item_t changes[kavri::rec::kDriverParams];
    const uint32_t n = kavri::rec::replay_driver_changes(r, changes, kavri::rec::kDriverParams);
    if (n == 0) return;
    CommandLock commands(p->cmd_mutex);
    for (uint32_t i = 0; i < n; ++i) notify_driver(p->drv, changes[i]);
}

kavri::rec::ReplayHooks replay_hooks(kavri_dev_priv_t *p) {
    kavri::rec::ReplayHooks h;
    h.arg = p;
    h.frames_ready = hook_frames_ready;
    h.frames_capacity = hook_frames_capacity;
    h.fetch_waiting = hook_fetch_waiting;
    h.frames_fetched = hook_frames_fetched;
    h.reset_parser = hook_reset_parser;
    h.feed_quiet = hook_feed_quiet;
    h.drop_frames = hook_drop_frames;
    return h;
}

void rec_stop_at_close(kavri_dev_priv_t *p) {
    std::unique_ptr<kavri::rec::Recorder> r;
    {
        std::lock_guard lock(p->rec_mutex);
        r = p->recorder.take();
    }
    if (!r) return;
    r->stop();
    std::lock_guard lock(p->rec_mutex);
    p->last_rec_stats = r->stats();
}

}  // namespace kavri::api

extern "C" {

KAVRI_API int32_t kavri_rec_start(kavri_dev_t *dev, const char *path) {
    constexpr const char *tag = "kavri_rec_start";
    kavri::api::ApiCall call(dev);
    if (dev == nullptr || !call.ok()) {
        kavri::api::log_bad_handle(tag);
        return KAVRI_REC_ERR_ARG;
    }
    if (path == nullptr || path[0] == '\0') {
        KV_ERR("[%s] no file name\n", tag);
        return KAVRI_REC_ERR_ARG;
    }
    kavri_dev_priv_t *p = call.priv();
    if (kavri::rec::replay_of(&p->ll) != nullptr) {
        KV_ERR("[%s] a replay is not recorded again: copy its file\n", tag);
        return KAVRI_REC_ERR_ARG;
    }
    // The start's values and the first transfer must not cross: commands
    // wait, and the capture handler sees the recorder only once it exists.
    kavri::api::CommandLock commands(p->cmd_mutex);
    if (kavri::api::RecorderRef running(p); running) {
        KV_ERR("[%s] already recording\n", tag);
        return KAVRI_REC_ERR_BUSY;
    }
    for (uint32_t id : kavri::api::kStartParams) {
        kavri_ll_param_item_t item{};
        item.param_id = static_cast<uint8_t>(id);
        // One at a time: a camera without one of them answers the others.
        if (kavri::ll::ll_param_get(&p->ll, &item, 1)) p->knowledge->note_param(item);
    }
    int32_t err = KAVRI_REC_OK;
    const auto files = kavri::api::mounted_files(dev);
    auto rec = kavri::rec::Recorder::start(path, kavri::api::identity_of(dev), files,
                                           p->knowledge->params(), p->knowledge->regs(), err);
    if (!rec) return err;
    // The parser's counters go on from where they are until the next capture
    // start resets them; a running capture is recorded from its next point
    // between frames.
    {
        std::lock_guard feed(p->feed_mutex);
        kv_stream_state_t st{};
        kavri::stream::stream_get_state(p->stream, &st);
        const bool capturing = p->is_capturing.load() != 0;
        rec->start_at(st.frames_done, !capturing || kavri::stream::stream_at_boundary(p->stream));
        if (capturing) rec->on_event(KAVRI_REC_EV_CAP_START, 0, 0, nullptr, 0, 0);
        std::lock_guard lock(p->rec_mutex);
        p->recorder = std::move(rec);
    }
    KV_INF("[%s] recording %s to %s\n", tag, dev->product, path);
    return KAVRI_REC_OK;
}

KAVRI_API int32_t kavri_rec_stop(kavri_dev_t *dev) {
    constexpr const char *tag = "kavri_rec_stop";
    kavri::api::ApiCall call(dev);
    if (dev == nullptr || !call.ok()) {
        kavri::api::log_bad_handle(tag);
        return KAVRI_REC_ERR_ARG;
    }
    kavri_dev_priv_t *p = call.priv();
    std::unique_ptr<kavri::rec::Recorder> r;
    {
        std::lock_guard feed(p->feed_mutex);
        std::lock_guard lock(p->rec_mutex);
        r = p->recorder.take();
    }
    if (!r) {
        KV_ERR("[%s] not recording\n", tag);
        return KAVRI_REC_ERR_BUSY;
    }
    const int32_t result = r->stop();
    std::lock_guard lock(p->rec_mutex);
    p->last_rec_stats = r->stats();
    return result;
}

KAVRI_API int32_t kavri_rec_get_stats(kavri_dev_t *dev, kavri_rec_stats_t *stats) {
    kavri::api::ApiCall call(dev);
    if (dev == nullptr || !call.ok() || stats == nullptr) {
        kavri::api::log_bad_handle("kavri_rec_get_stats");
        return KAVRI_REC_ERR_ARG;
    }
    kavri_dev_priv_t *p = call.priv();
    kavri::api::RecorderRef r(p);
    *stats = r ? r->stats() : p->last_rec_stats;
    return KAVRI_REC_OK;
}

KAVRI_API kavri_dev_t *kavri_rec_open(kavri_dev_t *dev, const char *path,
                                      const kavri_rec_options_t *options) {
    if (path == nullptr || path[0] == '\0') {
        KV_ERR("[%s] no file name\n", "kavri_rec_open");
        return nullptr;
    }
    return kavri::api::dev_open_with(dev, path, options);
}

KAVRI_API int32_t kavri_rec_get_info(kavri_dev_t *dev, kavri_rec_info_t *info) {
    kavri::api::ApiCall call(dev);
    int32_t err = 0;
    kavri::rec::Replay *r = kavri::api::replay_for(dev, call, "kavri_rec_get_info", err);
    if (r == nullptr) return err;
    if (info == nullptr) return KAVRI_REC_ERR_ARG;
    kavri::rec::replay_get_info(r, *info);
    return KAVRI_REC_OK;
}

KAVRI_API int32_t kavri_rec_seek(kavri_dev_t *dev, uint32_t frame) {
    kavri::api::ApiCall call(dev);
    int32_t err = 0;
    kavri::rec::Replay *r = kavri::api::replay_for(dev, call, "kavri_rec_seek", err);
    if (r == nullptr) return err;
    const int32_t result = kavri::rec::replay_seek(r, frame);
    if (result == KAVRI_REC_ERR_RANGE) KV_ERR("[%s] no frame %u\n", "kavri_rec_seek", frame);
    if (result == KAVRI_REC_OK) kavri::drv::restart_history(call.priv()->drv);
    return result;
}

KAVRI_API int32_t kavri_rec_seek_time(kavri_dev_t *dev, uint64_t t_ns) {
    kavri::api::ApiCall call(dev);
    int32_t err = 0;
    kavri::rec::Replay *r = kavri::api::replay_for(dev, call, "kavri_rec_seek_time", err);
    if (r == nullptr) return err;
    const int32_t result = kavri::rec::replay_seek_time(r, t_ns);
    if (result >= 0) kavri::drv::restart_history(call.priv()->drv);
    return result;
}

KAVRI_API int32_t kavri_rec_set_options(kavri_dev_t *dev, const kavri_rec_options_t *options) {
    kavri::api::ApiCall call(dev);
    int32_t err = 0;
    kavri::rec::Replay *r = kavri::api::replay_for(dev, call, "kavri_rec_set_options", err);
    if (r == nullptr) return err;
    if (options == nullptr || options->pacing > KAVRI_REC_PACE_STEP) return KAVRI_REC_ERR_ARG;
    kavri::rec::replay_set_options(r, *options);
    return KAVRI_REC_OK;
}

KAVRI_API int32_t kavri_rec_get_event(kavri_dev_t *dev, uint32_t i, kavri_rec_event_t *event) {
    kavri::api::ApiCall call(dev);
    int32_t err = 0;
    kavri::rec::Replay *r = kavri::api::replay_for(dev, call, "kavri_rec_get_event", err);
    if (r == nullptr) return err;
    if (event == nullptr) return KAVRI_REC_ERR_ARG;
    return kavri::rec::replay_get_event(r, i, *event);
}

}  // extern "C"
