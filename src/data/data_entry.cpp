// The public entry points: the device-handle calls and the transport-record
// firmware path, all onto the download and upload engines.
#include "api/dev_cmd.h"
#include "data/data.h"
#include "core/log_internal.h"

namespace {

constexpr int32_t kFailed = -1;

// Runs engine(transport record) on an open device, marked busy meanwhile;
// the whole block protocol runs as one command sequence.
template <class Engine>
int32_t on_open_device(kavri_dev_t *dev, const char *tag, Engine &&engine) {
    kavri::api::CommandSequence seq(dev);
    if (!seq.ok()) {
        KV_DBG("[%s] Wrong params\n", tag);
        return kFailed;
    }
    return engine(kavri::api::ll_of(seq.priv()));
}

}  // namespace

extern "C" KAVRI_API int32_t kavri_data_download(kavri_dev_t *dev, const char *path, uint8_t type,
                                                 uint16_t version, uint32_t addr) {
    return on_open_device(dev, "kavri_data_download", [&](kavri_ll_t *ll) {
        return kavri::data::bin_data_write(ll, type, version, addr, path);
    });
}

extern "C" KAVRI_API int32_t kavri_firmware_upgrade(kavri_dev_t *dev, uint8_t type,
                                                    uint16_t version, const char *path) {
    return on_open_device(dev, "kavri_firmware_upgrade", [&](kavri_ll_t *ll) {
        return kavri::data::bin_data_write(ll, type, version, 0, path);
    });
}

extern "C" KAVRI_API int32_t kavri_data_upload(kavri_dev_t *dev, uint8_t type, const char *path) {
    return on_open_device(dev, "kavri_data_upload", [&](kavri_ll_t *ll) {
        return kavri::data::bin_data_read(ll, type, path);
    });
}

extern "C" KAVRI_API int32_t kavri_ll_firmware_upgrade(kavri_ll_t *ll, uint8_t type,
                                                       uint16_t version, const char *path) {
    return kavri::data::bin_data_write(ll, type, version, 0, path);
}
