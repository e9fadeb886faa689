// Ctrl-C as a request to finish: while an InterruptFlag lives, SIGINT and
// SIGTERM only raise a flag, so a loop can end its files properly.
#pragma once

#include <csignal>

namespace kavri::cli {

class InterruptFlag {
  public:
    InterruptFlag();
    ~InterruptFlag();  // restores the previous handlers
    InterruptFlag(const InterruptFlag &) = delete;
    InterruptFlag &operator=(const InterruptFlag &) = delete;

    bool raised() const;

  private:
    struct sigaction old_int_ {
    }, old_term_{};
};

}  // namespace kavri::cli
