// One call to set the console, file and USB debug levels together.
#include "kavri/ll.h"
#include "kavri/log.h"

// The logger must link without the transport (pure-algorithm programs use it
// alone), so the USB level goes through a weak reference.
#pragma weak kavri_ll_set_debug

extern "C" KAVRI_API void kavri_log_cfg(int console_level, int file_level, int usb_level) {
    // Keep the current log file, or open the default one.
    kv_log_enable(KV_LOG_SINK_CONSOLE, static_cast<unsigned>(console_level), nullptr);
    kv_log_enable(KV_LOG_SINK_FILE, static_cast<unsigned>(file_level), nullptr);
    if (&kavri_ll_set_debug != nullptr) kavri_ll_set_debug(static_cast<uint32_t>(usb_level));
}
