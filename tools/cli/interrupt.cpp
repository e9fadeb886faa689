#include "cli/interrupt.h"

namespace kavri::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

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
