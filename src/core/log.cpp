// The process-wide levelled logger: a console sink, a file sink and the
// application's callback.
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "core/log_internal.h"
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
// Whether g_file is open, readable without the lock: a message for the file
// sink while no file is open (the sink's threshold is set from the start)
// skips the time stamp and the lock every thread would otherwise contend for.
std::atomic<bool> g_file_open{false};

void set_file(FILE *f) {
    g_file = f;
    g_file_open.store(f != nullptr, std::memory_order_relaxed);
}

unsigned current_thread_id() {
    return static_cast<unsigned>(syscall(SYS_gettid));
}

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

// The application's callback. A message takes a copy of the callback and
// counts itself in flight under the mutex, then runs the callback with no
// lock held, so callbacks on several threads run at once. A change bumps the
// epoch and waits until the calls counted under the previous epoch are done:
// after it returns the old callback runs nowhere and its user data may go.
// Changes are serialised, so at most two epochs have calls in flight.
struct CallbackSlot {
    std::mutex mutex;
    std::condition_variable idle;
    kv_log_callback_t cb = nullptr;
    void *user = nullptr;
    unsigned epoch = 0;
    unsigned in_flight[2] = {0, 0};  // by epoch parity
};
CallbackSlot g_callback;
std::mutex g_callback_change_mutex;
// Spares every message the lock when no callback is set.
std::atomic<bool> g_callback_set{false};
// Set while this thread runs the callback: what the callback logs itself
// must not come back to it, and it must not change the callback.
thread_local bool t_in_callback = false;

constexpr size_t kCallbackTextSize = 512;

// Formats the message for the callback: on the stack when it fits, on the
// heap when longer, cut to the stack buffer when the heap refuses.
class CallbackText {
  public:
    CallbackText(const char *fmt, va_list args) {
        va_list copy;
        va_copy(copy, args);
        const int needed = vsnprintf(local_, sizeof local_, fmt, copy);
        va_end(copy);
        if (needed < 0) {
            local_[0] = '\0';
        } else if (static_cast<size_t>(needed) >= sizeof local_) {
            heap_.reset(new (std::nothrow) char[static_cast<size_t>(needed) + 1]);
            if (heap_ != nullptr) {
                va_copy(copy, args);
                vsnprintf(heap_.get(), static_cast<size_t>(needed) + 1, fmt, copy);
                va_end(copy);
            }
        }
        char *text = get();
        size_t len = strlen(text);
        while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) text[--len] = '\0';
    }
    char *get() { return heap_ != nullptr ? heap_.get() : local_; }

  private:
    char local_[kCallbackTextSize];
    std::unique_ptr<char[]> heap_;
};

void to_callback(unsigned level, const char *fmt, va_list args) {
    if (!reaches(level, KV_LOG_SINK_CALLBACK) || t_in_callback ||
        !g_callback_set.load(std::memory_order_acquire)) {
        return;
    }
    kv_log_callback_t cb;
    void *user;
    unsigned parity;
    {
        std::lock_guard lock(g_callback.mutex);
        if (g_callback.cb == nullptr) return;
        cb = g_callback.cb;
        user = g_callback.user;
        parity = g_callback.epoch & 1u;
        ++g_callback.in_flight[parity];
    }
    {
        CallbackText text(fmt, args);
        t_in_callback = true;
        try {
            cb(level, text.get(), user);
        } catch (...) {
            // A callback must not throw; nothing may cross the C interface.
        }
        t_in_callback = false;
    }
    std::lock_guard lock(g_callback.mutex);
    if (--g_callback.in_flight[parity] == 0) g_callback.idle.notify_all();
}

}  // namespace

int kavri::core::vlog(unsigned level, const char *tag, const char *fmt, va_list args) {
    if (tag == nullptr) tag = "";
    if (fmt == nullptr) fmt = "";
    to_callback(level, fmt, args);
    const bool to_console = reaches(level, KV_LOG_SINK_CONSOLE);
    const bool to_file =
        reaches(level, KV_LOG_SINK_FILE) && g_file_open.load(std::memory_order_relaxed);
    if (!to_console && !to_file) return 0;

    char stamp[kStampSize];
    format_stamp(stamp);

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
    return 0;
}

int kavri::core::log(unsigned level, const char *tag, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int result = vlog(level, tag, fmt, args);
    va_end(args);
    return result;
}

extern "C" KAVRI_API int kv_log(unsigned level, const char *tag, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int result = kavri::core::vlog(level, tag, fmt, args);
    va_end(args);
    return result;
}

extern "C" KAVRI_API void kv_log_raw(unsigned level, const char *fmt, ...) {
    if (fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    to_callback(level, fmt, args);
    const bool to_console = reaches(level, KV_LOG_SINK_CONSOLE);
    const bool to_file =
        reaches(level, KV_LOG_SINK_FILE) && g_file_open.load(std::memory_order_relaxed);
    if (!to_console && !to_file) {
        va_end(args);
        return;
    }
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

int kavri::core::log_enable(unsigned sink, unsigned level, const char *file_name) {
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
        set_file(nullptr);
        g_file_name.clear();
    }
    set_file(fopen(file_name, "ab"));
    if (g_file == nullptr) {
        fprintf(stderr, "cannot open file %s for write\n", file_name);
        return 0;
    }
    g_file_name = file_name;
    return 1;
}

extern "C" KAVRI_API int kv_log_enable(unsigned sink, unsigned level, const char *file_name) {
    return kavri::core::log_enable(sink, level, file_name);
}

int kavri::core::log_disable() {
    for (auto &threshold : g_threshold) threshold.store(KV_LOG_OFF, std::memory_order_relaxed);
    std::lock_guard lock(g_file_mutex);
    int result = 0;
    if (g_file != nullptr) {
        result = fclose(g_file);
        set_file(nullptr);
    }
    g_file_name.clear();
    return result;
}

extern "C" KAVRI_API int kv_log_disable(void) {
    return kavri::core::log_disable();
}

extern "C" KAVRI_API int kavri_log_set_callback(kv_log_callback_t cb, void *user) {
    if (t_in_callback) return 0;  // waiting for itself would never end
    std::lock_guard change(g_callback_change_mutex);
    std::unique_lock lock(g_callback.mutex);
    const unsigned old_parity = g_callback.epoch & 1u;
    g_callback.cb = cb;
    g_callback.user = user;
    ++g_callback.epoch;
    g_callback_set.store(cb != nullptr, std::memory_order_release);
    g_callback.idle.wait(lock, [old_parity] { return g_callback.in_flight[old_parity] == 0; });
    return 1;
}

extern "C" KAVRI_API unsigned kv_log_get_level(unsigned sink) {
    if (sink >= kSinkCount) return KV_LOG_OFF;
    return g_threshold[sink].load(std::memory_order_relaxed);
}
