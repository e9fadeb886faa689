// The process-wide levelled logger: a console sink, a file sink and a third
// threshold that is only stored.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "kavri/log.h"

namespace {

constexpr unsigned kSinkCount = 3;
constexpr unsigned kInitialThresholds[kSinkCount] = {KV_LOG_WRN, KV_LOG_DBG, KV_LOG_OFF};
constexpr size_t kStampSize = 48;
constexpr const char *kDefaultLogName = "kv.log";

std::atomic<unsigned> g_threshold[kSinkCount] = {kInitialThresholds[0], kInitialThresholds[1],
                                                  kInitialThresholds[2]};

// The file sink. Messages come from application threads and the event
// threads while the application may reopen or close the file, so the handle
// is guarded; the console needs nothing beyond stdio's own locking.
std::mutex g_file_mutex;
FILE *g_file = nullptr;
std::string g_file_name;

unsigned current_thread_id() { return static_cast<unsigned>(syscall(SYS_gettid)); }

void format_stamp(char (&stamp)[kStampSize]) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    snprintf(stamp, sizeof stamp, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]",
             static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
             static_cast<unsigned>(local.tm_mday), static_cast<unsigned>(local.tm_hour),
             static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec),
             static_cast<unsigned>(tv.tv_usec / 1000), current_thread_id());
}

bool reaches(unsigned level, unsigned sink) {
    return level >= g_threshold[sink].load(std::memory_order_relaxed);
}

}  // namespace

extern "C" KAVRI_API int kv_log(unsigned level, const char *tag, const char *fmt, ...) {
    const bool to_console = reaches(level, KV_LOG_SINK_CONSOLE);
    const bool to_file = reaches(level, KV_LOG_SINK_FILE);
    if (!to_console && !to_file) return 0;
    if (tag == nullptr) tag = "";
    if (fmt == nullptr) fmt = "";

    char stamp[kStampSize];
    format_stamp(stamp);

    va_list args;
    va_start(args, fmt);
    if (to_console) {
        va_list copy;
        va_copy(copy, args);
        printf("%s[%s] ", stamp, tag);
        vprintf(fmt, copy);
        va_end(copy);
    }
    if (to_file) {
        std::lock_guard lock(g_file_mutex);
        if (g_file != nullptr) {
            fprintf(g_file, "%s[%s] ", stamp, tag);
            vfprintf(g_file, fmt, args);
            fflush(g_file);
        }
    }
    va_end(args);
    return 0;
}

extern "C" KAVRI_API void kv_log_raw(unsigned level, const char *fmt, ...) {
    const bool to_console = reaches(level, KV_LOG_SINK_CONSOLE);
    const bool to_file = reaches(level, KV_LOG_SINK_FILE);
    if ((!to_console && !to_file) || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    if (to_console) {
        va_list copy;
        va_copy(copy, args);
        vprintf(fmt, copy);
        va_end(copy);
    }
    if (to_file) {
        std::lock_guard lock(g_file_mutex);
        if (g_file != nullptr) {
            vfprintf(g_file, fmt, args);
            fflush(g_file);
        }
    }
    va_end(args);
}

extern "C" KAVRI_API int kv_log_enable(unsigned sink, unsigned level, const char *file_name) {
    if (sink >= kSinkCount) return 0;
    g_threshold[sink].store(level, std::memory_order_relaxed);
    if (sink != KV_LOG_SINK_FILE) return 1;

    std::lock_guard lock(g_file_mutex);
    if (file_name == nullptr) {
        if (g_file != nullptr) return 1;
        file_name = kDefaultLogName;
    } else if (g_file != nullptr && g_file_name == file_name) {
        return 1;
    }
    if (g_file != nullptr) {
        fclose(g_file);
        g_file = nullptr;
        g_file_name.clear();
    }
    g_file = fopen(file_name, "ab");
    if (g_file == nullptr) {
        fprintf(stderr, "cannot open file %s for write\n", file_name);
        return 0;
    }
    g_file_name = file_name;
    return 1;
}

extern "C" KAVRI_API int kv_log_disable(void) {
    for (auto &threshold : g_threshold) threshold.store(KV_LOG_OFF, std::memory_order_relaxed);
    std::lock_guard lock(g_file_mutex);
    int result = 0;
    if (g_file != nullptr) {
        result = fclose(g_file);
        g_file = nullptr;
    }
    g_file_name.clear();
    return result;
}

extern "C" KAVRI_API unsigned kv_log_get_level(unsigned sink) {
    if (sink >= kSinkCount) return KV_LOG_OFF;
    return g_threshold[sink].load(std::memory_order_relaxed);
}

extern "C" KAVRI_API const char *kavri_error_name(int32_t code) {
    switch (code) {
        case KAVRI_ERR_CAP_UNKNOWN: return "KAVRI_ERR_CAP_UNKNOWN";
        case KAVRI_ERR_CAP_ERROR: return "KAVRI_ERR_CAP_ERROR";
        case KAVRI_ERR_CAP_STALL: return "KAVRI_ERR_CAP_STALL";
        case KAVRI_ERR_CAP_TIMEOUT: return "KAVRI_ERR_CAP_TIMEOUT";
        case KAVRI_OK: return "OK";
        case KAVRI_ERR_CAP_FRAME_DISCARD: return "KAVRI_ERR_CAP_FRAME_DISCARD";
        default: return "**UNKNOWN**";
    }
}
