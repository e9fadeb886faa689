// One call to set the console, file and USB debug levels together.
#include "core/log_internal.h"
#include "ll/ll.h"
#include "kavri/log.h"

extern "C" KAVRI_API void kavri_log_cfg(int console_level, int file_level, int usb_level) {
    // Keep the current log file, or open the default one.
    kavri::core::log_enable(KV_LOG_SINK_CONSOLE, static_cast<unsigned>(console_level), nullptr);
    kavri::core::log_enable(KV_LOG_SINK_FILE, static_cast<unsigned>(file_level), nullptr);
    kavri::ll::ll_set_debug(static_cast<uint32_t>(usb_level));
}
