// Listing cameras, opening one into a handle, reset and the driver lookup.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "api/camera.h"
#include "api/dev_priv.h"
#include "core/globals.h"
#include "core/le.h"
#include "kavri/ll.h"
#include "core/log_internal.h"
#include "kavri/stream.h"
#include "ll/ll.h"
#include "stream/stream.h"
#include "api/rec_api.h"
#include "api/reconnect.h"
#include "rec/replay.h"

namespace {

constexpr uint32_t kOpenMaxFrames = 10;
constexpr uint32_t kMaxResetTarget = 8;
constexpr uint32_t kResetInterface = 3;
constexpr int kIdentItems = 4;
constexpr size_t kUidMax = KAVRI_PARAM_WIRE_VAL_SIZE;
constexpr size_t kVersionBytes = 8;
constexpr int32_t kCalibArgMode = 2;

using kavri::api::priv_of;

// Value bytes up to the first NUL, at most the 18 the wire carries,
// NUL-padded over the whole field.
template <size_t N>
void copy_text(char (&dst)[N], const kavri_ll_param_item_t &item) {
    static_assert(N > KAVRI_PARAM_WIRE_VAL_SIZE);
    std::memset(dst, 0, N);
    size_t n = 0;
    while (n < KAVRI_PARAM_WIRE_VAL_SIZE && item.param_val[n] != 0) ++n;
    std::memcpy(dst, item.param_val, n);
}

kavri_dev_priv_t *new_priv(const kavri_dev_t *dev) {
    auto *p = new (std::nothrow) kavri_dev_priv_t{};
    if (p == nullptr) return nullptr;
    p->knowledge =
        std::unique_ptr<kavri::rec::Knowledge>(new (std::nothrow) kavri::rec::Knowledge());
    p->journal = std::unique_ptr<kavri::api::Journal>(new (std::nothrow) kavri::api::Journal());
    if (!p->knowledge || !p->journal) {
        delete p;
        return nullptr;
    }
    p->ll.if_type = dev->if_type;
    std::memcpy(p->ll.if_info, dev->if_info, sizeof p->ll.if_info);
    p->ll.located = dev->located;
    return p;
}

kavri_dev_t *fail_open(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    p->is_open.store(0);
    {
        std::unique_lock table(kavri::api::handle_table());
        kavri::api::set_priv(dev, nullptr);
    }
    delete p;
    if (dev->alloc_by_lib) std::free(dev);
    return nullptr;
}

// A fresh record for the handle. A record still being closed (a close from
// inside one of its callbacks, freed when that call returns) lets go of the
// handle: it no longer clears it when it is freed.
kavri_dev_priv_t *attach_new_priv(kavri_dev_t *dev) {
    kavri_dev_priv_t *p = new_priv(dev);
    if (p == nullptr) return nullptr;
    p->dev = dev;
    std::unique_lock table(kavri::api::handle_table());
    if (kavri_dev_priv_t *old = priv_of(dev); old != nullptr) {
        std::lock_guard life(old->life_mutex);
        old->dev = nullptr;
    }
    kavri::api::set_priv(dev, p);
    return p;
}

// The handle's own copy of the registry's driver record.
kavri_drv_t *bind_driver(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    const kavri_drv_t *entry = kavri::ll::drv_find(dev);
    if (entry == nullptr) return nullptr;
    p->drv_rec = *entry;
    p->drv_rec.dev = nullptr;
    p->drv_rec.priv = nullptr;
    return &p->drv_rec;
}

// Parameters 2, 3, 5 and 6 into the handle's identification fields.
bool read_identity(kavri_dev_t *dev, kavri_dev_priv_t *p) {
    std::unique_ptr<kavri_ll_param_item_t[]> items(new (std::nothrow)
                                                       kavri_ll_param_item_t[kIdentItems]{});
    if (!items) return false;
    const uint8_t ids[kIdentItems] = {KAVRI_PARAM_IDENT, KAVRI_PARAM_PRODUCT, KAVRI_PARAM_UID,
                                      KAVRI_PARAM_VERSION};
    for (int i = 0; i < kIdentItems; ++i) items[i].param_id = ids[i];
    KV_TRC("[%s] get %d param\n", "_kavri_param_batch_get", kIdentItems);
    if (!kavri::ll::ll_param_get(&p->ll, items.get(), kIdentItems)) return false;
    for (int i = 0; i < kIdentItems; ++i) p->knowledge->note_param(items[i]);

    copy_text(dev->ident, items[0]);
    copy_text(dev->product, items[1]);
    std::memset(dev->uid, 0, sizeof dev->uid);
    std::memcpy(dev->uid, items[2].param_val, std::min<size_t>(items[2].param_val_len, kUidMax));
    uint8_t version[kVersionBytes] = {};
    std::memcpy(version, items[3].param_val,
                std::min<size_t>(items[3].param_val_len, kVersionBytes));
    for (size_t i = 0; i < kVersionBytes / 2; ++i)
        dev->version[i] = kavri::le::get_u16(version + 2 * i);
    return true;
}

// The handle's record when it is open (not closing).
kavri_dev_priv_t *open_record(kavri_dev_t *dev) {
    std::shared_lock table(kavri::api::handle_table());
    kavri_dev_priv_t *p = priv_of(dev);
    if (p == nullptr) return nullptr;
    std::lock_guard life(p->life_mutex);
    return !p->closing && p->is_open.load() ? p : nullptr;
}

}  // namespace

extern "C" {

KAVRI_API int kavri_dev_list(kavri_dev_t *list, int n) {
    constexpr const char *tag = "kavri_dev_list";
    if (list == nullptr || n <= 0) {
        KV_ERR("[%s]   wrong params: dev_list=%p, dev_list_num=%d \n", tag,
               static_cast<void *>(list), n);
        return 0;
    }
    std::memset(list, 0, sizeof(kavri_dev_t) * static_cast<size_t>(n));
    std::vector<kavri_ll_t> entries;
    try {
        entries.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        return 0;
    }
    const int count = std::clamp(kavri::ll::ll_dev_list(entries.data(), n), 0, n);
    for (int i = 0; i < count; ++i) {
        list[i].if_type = entries[i].if_type;
        std::memcpy(list[i].if_info, entries[i].if_info, sizeof list[i].if_info);
        list[i].located = entries[i].located;
    }
    return count;
}

KAVRI_API kavri_dev_t *kavri_dev_open(kavri_dev_t *dev) {
    return kavri::api::dev_open_with(dev, nullptr, nullptr);
}

KAVRI_API kavri_dev_t *kavri_dev_open_by_fd(kavri_dev_t *, int) {
    KV_ERR("[%s] kavri_dev_open_by_fd currently only support in android!\n",
           "kavri_dev_open_by_fd");
    return nullptr;
}

KAVRI_API kavri_drv_t *kavri_dev_get_drv(kavri_dev_t *dev) {
    kavri_dev_priv_t *p = priv_of(dev);
    return p != nullptr ? p->drv : nullptr;
}

KAVRI_API int kavri_dev_reset(kavri_dev_t *dev, uint32_t target) {
    constexpr const char *tag = "kavri_dev_reset";
    KV_DBG("[%s] rest device (target=%d)\n", tag, static_cast<int>(target));
    kavri::api::ApiCall call(dev);
    if (!call.ok()) {
        kavri::api::log_bad_handle(tag);
        return 0;
    }
    if (target > kMaxResetTarget) {
        KV_ERR("[%s] wrong reset target: %d\n", tag, static_cast<int>(target));
        return 0;
    }
    kavri_dev_priv_t *p = call.priv();
    kavri::api::CommandLock commands(p->cmd_mutex);
    // The interface reset takes the camera off the bus and reopens the
    // transport: a capture cannot survive it, so it ends here, waking its
    // waiters, rather than waiting for frames that never come.
    if (target == kResetInterface && p->is_capturing.load()) kavri::api::cap_stop_internal(p);
    if (target != kResetInterface) return kavri::ll::ll_dev_reset(&p->ll, target);
    // The camera leaves and comes back by itself: with reconnect on, that
    // is neither a loss nor another camera.
    p->resetting.fetch_add(1);
    const uint8_t done = kavri::ll::ll_dev_reset(&p->ll, target);
    p->where.store(kavri::api::pack_where(p->ll.if_info));
    p->resetting.fetch_sub(1);
    return done;
}

}  // extern "C"

kavri_dev_t *kavri::api::dev_open_with(kavri_dev_t *dev, const char *rec_path,
                                       const kavri_rec_options_t *rec_options) {
    const char *tag = rec_path != nullptr ? "kavri_rec_open" : "kavri_dev_open";
    if (dev == nullptr) {
        if (kavri::g_default_dev.ll != nullptr) {
            KV_ERR("[%s] default device may not close properly!", tag);
            return nullptr;
        }
        kavri::g_default_dev = kavri_dev_t{};
        dev = &kavri::g_default_dev;
    }
    if (kavri_dev_priv_t *old = open_record(dev); old != nullptr) {
        KV_WRN("[%s] device not close correctly. close it..\n", tag);
        kavri::api::dev_close(dev);
    }
    kavri_dev_priv_t *p = attach_new_priv(dev);
    if (p == nullptr) return nullptr;

    KV_DBG("[%s] open kavri device @ %p\n", tag, static_cast<void *>(dev));
    if (rec_path != nullptr) {
        int32_t err = 0;
        const kavri_rec_options_t options =
            rec_options != nullptr ? *rec_options : kavri_rec_options_t{};
        if (!kavri::rec::replay_prepare(&p->ll, rec_path, options, err)) return fail_open(dev, p);
    }
    if (kavri::ll::ll_dev_open(&p->ll) == nullptr) {
        KV_ERR("[%s] open device failed!\n", tag);
        return fail_open(dev, p);
    }
    dev->if_type = p->ll.if_type;
    std::memcpy(dev->if_info, p->ll.if_info, sizeof dev->if_info);
    dev->located = p->ll.located;
    p->where.store(kavri::api::pack_where(p->ll.if_info));
    kavri::rec::Replay *replay = kavri::rec::replay_of(&p->ll);
    // A replay's working path holds the recorded calibration.
    dev->path = replay != nullptr ? kavri::rec::replay_folder(replay) : kavri::g_path_prefix;

    if (!read_identity(dev, p)) {
        KV_WRN("[%s]  cannot get info of device\n", tag);
        kavri::ll::ll_dev_close(&p->ll);
        return fail_open(dev, p);
    }
    p->drv = bind_driver(dev, p);
    if (p->drv == nullptr) {
        KV_ERR("[%s] cannot find driver for device: product=%s\n", tag, dev->product);
        kavri::ll::ll_dev_close(&p->ll);
        return fail_open(dev, p);
    }
    p->stream = kavri::stream::stream_create(kv_stream_cfg_t{kOpenMaxFrames});
    if (p->stream == nullptr) {
        KV_ERR("[%s] kv_stream_create failed\n", tag);
        std::exit(-1);
    }
    if (replay != nullptr) kavri::rec::replay_set_hooks(replay, kavri::api::replay_hooks(p));
    kavri::api::set_api_busy(dev, false);
    p->is_capturing.store(0);
    p->stop.store(1);
    // From here the driver's set-up runs its commands through the API; other
    // threads' calls on the handle wait for the open to finish (refused).
    {
        std::lock_guard life(p->life_mutex);
        p->opener = std::this_thread::get_id();
    }
    p->is_open.store(1);

    // Slots a driver leaves empty are skipped.
    const kavri_drv_op_t *ops = p->drv->ops;
    if (ops != nullptr && ops->init != nullptr) ops->init(p->drv, dev);
    if (ops != nullptr && ops->calib_load != nullptr &&
        ops->calib_load(p->drv, 0, 0, kCalibArgMode) < 0)
        KV_ERR("[%s] Load calibration data failed\n", tag);
    {
        std::lock_guard life(p->life_mutex);
        p->opener = std::thread::id{};
        p->ready = true;
    }
    return dev;
}
