// A sequence of commands on one device that no other thread's command may
// come between (the calibration pull, a data transfer).
#pragma once

#include <mutex>

#include "api/dev_priv.h"

namespace kavri::api {

// Holds the device's command lock, and the device open (a close waits),
// for the scope's life. ok() is false when the handle is not open.
class CommandSequence {
  public:
    explicit CommandSequence(kavri_dev_t *dev) : call_(dev) {
        if (call_.ok()) lock_ = std::unique_lock(call_.priv()->cmd_mutex);
    }
    bool ok() const { return call_.ok(); }
    kavri_dev_priv_t *priv() const { return call_.priv(); }

  private:
    ApiCall call_;
    std::unique_lock<std::recursive_mutex> lock_;
};

}  // namespace kavri::api
