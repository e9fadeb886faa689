// Names of the capture error codes.
#include "core/error_name.h"

#include "kavri/log.h"
#include "kavri/types.h"

namespace kavri::core {

const char *error_name(int32_t code) {
    switch (code) {
        case KAVRI_ERR_CAP_DISCONNECTED:
            return "KAVRI_ERR_CAP_DISCONNECTED";
        case KAVRI_ERR_CAP_UNKNOWN:
            return "KAVRI_ERR_CAP_UNKNOWN";
        case KAVRI_ERR_CAP_ERROR:
            return "KAVRI_ERR_CAP_ERROR";
        case KAVRI_ERR_CAP_STALL:
            return "KAVRI_ERR_CAP_STALL";
        case KAVRI_ERR_CAP_TIMEOUT:
            return "KAVRI_ERR_CAP_TIMEOUT";
        case KAVRI_OK:
            return "OK";
        case KAVRI_ERR_CAP_FRAME_DISCARD:
            return "KAVRI_ERR_CAP_FRAME_DISCARD";
        case KAVRI_ERR_CAP_RECONNECTED:
            return "KAVRI_ERR_CAP_RECONNECTED";
        default:
            return "**UNKNOWN**";
    }
}

}  // namespace kavri::core

extern "C" KAVRI_API const char *kavri_error_name(int32_t code) {
    return kavri::core::error_name(code);
}
