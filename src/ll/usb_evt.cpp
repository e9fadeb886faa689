// The per-device event thread: runs every libusb completion of the device,
// the synchronous commands' included.
#include "core/log_internal.h"
#include "ll/usb_ll.h"

namespace kavri::ll {

void _usb_ll_evt_thread(kavri_ll_t *ll) {
    constexpr const char *loop_tag = "_ll_event_loop";
    usb_ll_dev_priv_t &st = *usb_state(ll);
    st.evt_thread_id.store(std::this_thread::get_id());
    KV_DBG("[%s] enter\n", "_usb_ll_evt_thread");
    st.evt_running.store(1);
    KV_TRC("[%s] Enter ll event loop...\n", loop_tag);

    for (;;) {
        timeval tv{0, kEventWaitMs * 1000};
        const int r = libusb_handle_events_timeout_completed(st.ctx.get(), &tv, &st.evt_exit);
        if (r >= 0) {
            if (st.evt_exit_ref().load() != 0) break;
            continue;
        }
        KV_ERR("[%s] libusb reports error: %s\n", loop_tag, libusb_error_name(r));
        if (r == LIBUSB_ERROR_INTERRUPTED) {
            KV_WRN("[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n", loop_tag);
            break;
        }
        if (r == LIBUSB_ERROR_TIMEOUT) {
            KV_WRN("[%s] libusb_handle_events timeout \n", loop_tag);
            break;
        }
        if (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_OVERFLOW) {
            if (st.evt_exit_ref().load() != 0) break;
            continue;
        }
        break;
    }

    st.evt_running.store(0);
    {
        // Close may be waiting for completions this thread will no longer run.
        std::lock_guard lock(st.io_mutex);
        st.io_idle.notify_all();
    }
    KV_TRC("[%s] Exit ll event loop...\n", loop_tag);
    KV_DBG("[%s] exit\n", "_usb_ll_evt_thread");
}

}  // namespace kavri::ll
