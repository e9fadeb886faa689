// The progress line of the calibration archive unpacking.
#include <atomic>

#include "core/log_internal.h"
#include "param/param.h"

namespace {
// Counts every entry extracted in the process; it is never reset.
std::atomic<int> g_entries_extracted{0};
}  // namespace

namespace kavri::param {

int on_extract_to_folder_entry(const char *filename, void *arg) {
    const int n = g_entries_extracted.fetch_add(1, std::memory_order_relaxed) + 1;
    const int total = arg != nullptr ? *static_cast<const int32_t *>(arg) : 0;
    KV_DBG("[%s] Extracted: %s (%d of %d)\n", "on_extract_to_folder_entry",
           filename != nullptr ? filename : "", n, total);
    return 0;
}

}  // namespace kavri::param

extern "C" KAVRI_API int on_extract_to_folder_entry(const char *filename, void *arg) {
    return kavri::param::on_extract_to_folder_entry(filename, arg);
}
