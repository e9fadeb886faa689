// kavri_set_callback_on_device_change: the application's one subscription
// to the camera watcher (ll/usb_hotplug.h).
#include <mutex>

#include "core/log_internal.h"
#include "kavri/hotplug.h"
#include "ll/usb_hotplug.h"

namespace {

struct AppCallback {
    std::mutex mu;  // serialises the setters; never held while a callback runs
    kavri::ll::DeviceSubscription sub = 0;
};

AppCallback &app_callback() {
    static AppCallback *a = new AppCallback;  // the watcher may outlive static destruction
    return *a;
}

}  // namespace

extern "C" KAVRI_API int kavri_set_callback_on_device_change(kavri_device_change_cb_t cb,
                                                             void *user) {
    AppCallback &a = app_callback();
    kavri::ll::DeviceSubscription old = 0, added = 0;
    {
        std::lock_guard lock(a.mu);
        if (cb != nullptr) {
            added = kavri::ll::device_change_subscribe(
                [cb, user](const kavri_device_event_t &ev) { cb(&ev, user); });
            if (added == 0) {
                KV_ERR("[%s] the device watcher could not start\n", __func__);
                return 0;
            }
        }
        old = a.sub;
        a.sub = added;
    }
    // Outside the setters' lock: removal waits for a call of the old callback
    // in progress, which may itself be setting the callback.
    kavri::ll::device_change_unsubscribe(old);
    return 1;
}
