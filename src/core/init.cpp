// Library start and stop: logging, the working path, the transport layer,
// the library-wide colour map and the calibration store, in that order.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "alg/cmap_shared.h"
#include "core/globals.h"
#include "kavri/init.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "param/param.h"
#include "kavri/version.h"

namespace {

constexpr unsigned kConsoleLevel = KV_LOG_WRN;
constexpr unsigned kFileLevel = KV_LOG_DBG;
// A backslash is no separator here: "./" keeps the files in the current
// folder under their own names.
constexpr char kDefaultPathPrefix[] = "./";
constexpr size_t kLogNameSize = 64;
constexpr int kTmYearBase = 1900;
constexpr char kLibName[] = "KAVRI";
// The log start line names the version as "v<major>.<minor>".
#define KAVRI_STR_(x) #x
#define KAVRI_STR(x) KAVRI_STR_(x)
constexpr char kLibVersion[] =
    "v" KAVRI_STR(KAVRI_VERSION_MAJOR) "." KAVRI_STR(KAVRI_VERSION_MINOR);

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
    kavri::core::log_enable(KV_LOG_SINK_CONSOLE, kConsoleLevel, nullptr);
    std::memset(kavri::g_path_prefix, 0, kavri::kPathPrefixSize);
    std::memcpy(kavri::g_path_prefix, kDefaultPathPrefix, sizeof kDefaultPathPrefix);

    char name[kLogNameSize];
    if (log_file == nullptr || *log_file == '\0') {
        default_log_name(name);
        log_file = name;
    }
    // Without the file the library goes on with console logging.
    kavri::core::log_enable(KV_LOG_SINK_FILE, kFileLevel, log_file);
    KV_INF("[%s] \n --- %s %s(compile at %s %s) log start -----\n", __func__, kLibName, kLibVersion,
           __DATE__, __TIME__);

    kavri::ll::ll_init();
    kavri::cmap_shared_init();
    return kavri::param::param_init();
}

extern "C" KAVRI_API void kavri_uninit(void) {
    KV_DBG("[%s] ----- AL log END ----\n\n", __func__);
    kavri::cmap_shared_uninit();
    kavri::core::log_disable();
    kavri::ll::ll_uninit();
    kavri::param::param_uninit();
}
