#include "data/data_hooks.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace kavri::data {
namespace {

constexpr uint32_t kDefaultEraseLimitMs = 180000;
constexpr uint32_t kPauseStepMs = 1000;

struct Hooks {
    std::mutex mutex;
    kavri_data_progress_cb_t progress = nullptr;
    void *progress_arg = nullptr;
    kavri_data_sleep_fn_t sleep = nullptr;
    void *sleep_arg = nullptr;
};

Hooks &hooks() {
    static Hooks h;
    return h;
}

std::atomic<uint32_t> g_erase_limit_ms{kDefaultEraseLimitMs};

}  // namespace

void report_progress(uint32_t phase, uint32_t done, uint32_t total) {
    kavri_data_progress_cb_t cb;
    void *arg;
    {
        std::lock_guard lock(hooks().mutex);
        cb = hooks().progress;
        arg = hooks().progress_arg;
    }
    if (cb != nullptr) cb(phase, done, total, arg);
}

void pause_after_download(uint32_t ms) {
    kavri_data_sleep_fn_t fn;
    void *arg;
    {
        std::lock_guard lock(hooks().mutex);
        fn = hooks().sleep;
        arg = hooks().sleep_arg;
    }
    report_progress(KAVRI_DATA_PHASE_RESET, 0, ms);
    for (uint32_t done = 0; done < ms;) {
        const uint32_t step = std::min(kPauseStepMs, ms - done);
        if (fn != nullptr)
            fn(step, arg);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(step));
        done += step;
        report_progress(KAVRI_DATA_PHASE_RESET, done, ms);
    }
}

std::chrono::milliseconds erase_limit() {
    return std::chrono::milliseconds(g_erase_limit_ms.load(std::memory_order_relaxed));
}

}  // namespace kavri::data

extern "C" KAVRI_API void kavri_data_set_progress_callback(kavri_data_progress_cb_t cb, void *arg) {
    auto &h = kavri::data::hooks();
    std::lock_guard lock(h.mutex);
    h.progress = cb;
    h.progress_arg = cb != nullptr ? arg : nullptr;
}

extern "C" KAVRI_API void kavri_data_set_sleep_function(kavri_data_sleep_fn_t fn, void *arg) {
    auto &h = kavri::data::hooks();
    std::lock_guard lock(h.mutex);
    h.sleep = fn;
    h.sleep_arg = fn != nullptr ? arg : nullptr;
}

extern "C" KAVRI_API void kavri_data_set_erase_limit(uint32_t ms) {
    kavri::data::g_erase_limit_ms.store(ms != 0 ? ms : kavri::data::kDefaultEraseLimitMs,
                                        std::memory_order_relaxed);
}
