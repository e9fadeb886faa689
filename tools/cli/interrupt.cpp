#include "cli/interrupt.h"

#include <atomic>

namespace kavri::cli {
namespace {

// Set by the signal handler, read by the waiting thread: a lock-free atomic
// is both signal-safe and a proper hand-over between threads.
std::atomic<int> g_interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_interrupt(int) {
    g_interrupted = 1;
}

}  // namespace

InterruptFlag::InterruptFlag() {
    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &old_int_);
    sigaction(SIGTERM, &sa, &old_term_);
}

InterruptFlag::~InterruptFlag() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
}

bool InterruptFlag::raised() const {
    return g_interrupted != 0;
}

}  // namespace kavri::cli
