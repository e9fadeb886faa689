// A camera's identification, read over the transport alone: no driver
// start-up and no calibration download, so listing stays quick.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <string>

#include "cli/session.h"

namespace kavri::cli {

struct CameraIdentity {
    UsbLocation location;
    bool readable = false;  // false: the camera could not be opened or did not answer
    std::string product, ident, uid, driver;
    uint16_t version[4] = {};
};

CameraIdentity read_identity(const kavri_dev_t &listed);
// The identification of an open handle (kavri_dev_open filled it in).
CameraIdentity identity_of(kavri_dev_t *open_dev);
std::string versions_text(const uint16_t version[4]);

}  // namespace kavri::cli
