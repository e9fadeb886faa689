// Library start and stop: logging, the working path, the transport layer,
// the library-wide colour map and the calibration store, in that order.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "alg/cmap_shared.h"
#include "core/globals.h"
#include "kavri/init.h"
#include "kavri/ll.h"
#include "kavri/log.h"
#include "kavri/param.h"

// The other areas' start and stop calls. Referenced weakly so that this
// area links on its own (its tests link the foundation alone); inside
// libkavri they are always present.
extern "C" {
__attribute__((weak)) uint8_t kavri_ll_init(void);
__attribute__((weak)) void kavri_ll_uninit(void);
__attribute__((weak)) int kavri_param_init(void);
__attribute__((weak)) void kavri_param_uninit(void);
}
namespace kavri {
__attribute__((weak)) bool cmap_shared_init();
__attribute__((weak)) void cmap_shared_uninit();
}  // namespace kavri

namespace {

constexpr unsigned kConsoleLevel = KV_LOG_WRN;
constexpr unsigned kFileLevel = KV_LOG_DBG;
// A backslash is no separator here: "./" keeps the files in the current
// folder under their own names.
constexpr char kDefaultPathPrefix[] = "./";
constexpr size_t kLogNameSize = 64;
constexpr int kTmYearBase = 1900;
constexpr char kLibName[] = "KAVRI";
constexpr char kLibVersion[] = "v1.50";

// "kavri_<yyyymmdd>.log" with today's local date.
void default_log_name(char (&name)[kLogNameSize]) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::snprintf(name, sizeof name, "kavri_%04u%02u%02u.log",
                  static_cast<unsigned>(local.tm_year + kTmYearBase),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday));
}

}  // namespace

extern "C" KAVRI_API int kavri_init(const char *log_file) {
    kv_log_enable(KV_LOG_SINK_CONSOLE, kConsoleLevel, nullptr);
    std::memset(kavri::g_path_prefix, 0, kavri::kPathPrefixSize);
    std::memcpy(kavri::g_path_prefix, kDefaultPathPrefix, sizeof kDefaultPathPrefix);

    char name[kLogNameSize];
    if (log_file == nullptr || *log_file == '\0') {
        default_log_name(name);
        log_file = name;
    }
    // Without the file the library goes on with console logging.
    kv_log_enable(KV_LOG_SINK_FILE, kFileLevel, log_file);
    KV_INF("[%s] \n --- %s %s(compile at %s %s) log start -----\n", __func__, kLibName, kLibVersion,
           __DATE__, __TIME__);

    if (kavri_ll_init != nullptr) kavri_ll_init();
    if (kavri::cmap_shared_init != nullptr) kavri::cmap_shared_init();
    return kavri_param_init != nullptr ? kavri_param_init() : 1;
}

extern "C" KAVRI_API void kavri_uninit(void) {
    KV_DBG("[%s] ----- AL log END ----\n\n", __func__);
    if (kavri::cmap_shared_uninit != nullptr) kavri::cmap_shared_uninit();
    kv_log_disable();
    if (kavri_ll_uninit != nullptr) kavri_ll_uninit();
    if (kavri_param_uninit != nullptr) kavri_param_uninit();
}
