// The USB transport's operation table and its library-wide calls.
#include <atomic>

#include "kavri/ll.h"
#include "ll/usb_debug_level.h"
#include "ll/usb_hotplug.h"
#include "ll/usb_ll.h"

namespace kavri::ll {
namespace {

// libusb level applied to each context the transport creates from now on.
std::atomic<int> g_usb_debug_level{0};

}  // namespace

uint8_t usb_ll_init() {
    return 1;
}

void usb_ll_uninit() {
    device_watch_shutdown();
}

void usb_ll_set_debug(uint32_t level) {
    g_usb_debug_level.store(usb_debug_level_for(level), std::memory_order_relaxed);
}

int usb_ll_debug_level() {
    return g_usb_debug_level.load(std::memory_order_relaxed);
}

}  // namespace kavri::ll

using namespace kavri::ll;

extern "C" KAVRI_API const kavri_ll_op_t ll_op_usb = {
    usb_ll_init,      usb_ll_uninit,    usb_ll_set_debug, usb_ll_dev_open,  usb_ll_dev_open_by_fd,
    usb_ll_dev_close, usb_ll_dev_list,  usb_ll_exe_cmd,   usb_ll_tx_data,   usb_ll_cap_abort,
    usb_ll_cap_start, usb_ll_cap_stop,  usb_ll_dev_reset, usb_ll_reg_write, usb_ll_reg_read,
    usb_ll_param_set, usb_ll_param_get,
};

// The same table under a name of the library's own: the library's calls go
// through it, never through the exported symbol, which an application may
// replace.
namespace kavri::ll {

extern const kavri_ll_op_t usb_ops __attribute__((alias("ll_op_usb")));

// The one reference to the exported table by its exported name: only the
// dynamic linker knows where the process's ll_op_usb is (the library's object
// or an executable's copy of it), and the records must carry that address.
// Its contents are the library's slots either way.
const kavri_ll_op_t *usb_record_ops() {
    return &ll_op_usb;
}

}  // namespace kavri::ll
