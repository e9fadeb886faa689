// The filter switch: hands the filter id and its argument to the chip driver.
#include <cstdint>
#include <mutex>

#include "api/dev_priv.h"
#include "kavri/api.h"
#include "kavri/ll.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "api/rec_api.h"

namespace {

kavri_drv_t *driver_of(const char *func, kavri_dev_t *dev, kavri_dev_priv_t *p) {
    if (p == nullptr) return nullptr;
    if (p->drv == nullptr) {
        // The handle's own copy of the entry, as open makes it.
        const kavri_drv_t *entry = kavri::ll::drv_find(dev);
        if (entry == nullptr) {
            KV_ERR("[%s] cannot find driver for device: product=%s\n", func, dev->product);
            return nullptr;
        }
        p->drv_rec = *entry;
        p->drv_rec.dev = nullptr;
        p->drv_rec.priv = nullptr;
        p->drv = &p->drv_rec;
    }
    return p->drv;
}

// The device's command lock (a filter may send a command itself, and a
// reconnect replays the switches under it), when the handle is open.
std::unique_lock<std::recursive_mutex> settings_step(const kavri::api::ApiCall &call) {
    if (!call.ok()) return {};
    return std::unique_lock(call.priv()->cmd_mutex);
}

}  // namespace

extern "C" KAVRI_API int kavri_filter_enable(kavri_dev_t *dev, int filter_id, const void *arg,
                                             uint32_t arg_size) {
    if (dev == nullptr) return -1;
    kavri::api::ApiCall call(dev);
    kavri_drv_t *drv = driver_of(__func__, dev, call.priv());
    if (drv == nullptr) return -1;
    if (drv->ops == nullptr || drv->ops->filter_enable == nullptr) return 0;
    // The switch and its note in the journal are one step against a
    // reconnect, which gives the camera the journal's filters again.
    const auto step = settings_step(call);
    const int ok =
        drv->ops->filter_enable(drv, static_cast<uint32_t>(filter_id), arg, arg_size) ? 1 : 0;
    if (ok && call.ok()) {
        kavri::api::note_event(call.priv(), KAVRI_REC_EV_FILTER, static_cast<uint32_t>(filter_id),
                               1, arg, arg != nullptr ? arg_size : 0);
        if (call.priv()->journal) call.priv()->journal->note_filter(filter_id, true, arg, arg_size);
    }
    return ok;
}

extern "C" KAVRI_API int kavri_filter_disable(kavri_dev_t *dev, int filter_id) {
    if (dev == nullptr) return -1;
    kavri::api::ApiCall call(dev);
    kavri_drv_t *drv = driver_of(__func__, dev, call.priv());
    if (drv == nullptr) return -1;
    if (drv->ops == nullptr || drv->ops->filter_disable == nullptr) return 0;
    const auto step = settings_step(call);
    const int ok = drv->ops->filter_disable(drv, static_cast<uint32_t>(filter_id)) ? 1 : 0;
    if (ok && call.ok()) {
        kavri::api::note_event(call.priv(), KAVRI_REC_EV_FILTER, static_cast<uint32_t>(filter_id),
                               0, nullptr, 0);
        if (call.priv()->journal) call.priv()->journal->note_filter(filter_id, false, nullptr, 0);
    }
    return ok;
}
