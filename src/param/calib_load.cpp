// Pulling the calibration package from the camera: the camera is switched to
// data upload mode, streams the package as calibration frames through the
// ordinary capture path, and the received file is checked and stored
// (calib_pk_parse). Normal mode is restored whatever happened.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/globals.h"
#include "api/camera.h"
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/buffer.h"
#include "param/param.h"
#include "param/calib_pkg.h"

namespace kavri::param {
namespace {

constexpr char kTag[] = "_load_kavri_param";
constexpr uint32_t kUploadFrameBuffer = 614400;  // two nominal frames kept waiting
constexpr uint8_t kModeNormal = 0;
constexpr uint8_t kModeDataUpload = 9;
constexpr int kModeSetTries = 2;

bool set_mode(kavri_dev_t *dev, uint8_t mode) {
    kavri_param_item_t item{};
    item.param_id = KAVRI_PARAM_MODE;
    item.param_val_len = 1;
    item.param_val[0] = mode;
    return kavri::api::param_batch_set(dev, &item, 1) != 0;
}

bool read_package_header(kavri_dev_t *dev, PackageHeader &hdr) {
    kavri_param_item_t item{};
    item.param_id = KAVRI_PARAM_INFO_CALIB;
    if (kavri::api::param_batch_get(dev, &item, 1) == 0) return false;
    hdr = decode_package_header(std::span<const uint8_t, kPkgHdrSize>(item.param_val, kPkgHdrSize));
    return true;
}

// Fetches the package's frames into the package file. They are asked for
// in one request: the capture engine hands every frame that is ready to the
// running request and drops those beyond it, so a request for one frame at a
// time would lose frames that arrive together.
// The capture engine keeps room for the whole package while it waits, so
// that no frame is discarded when this thread falls behind the camera; the
// two-frame setting is back afterwards.
void receive_frames(kavri_dev_t *dev, PackageFileWriter &file, uint32_t frames) {
    // The package is at most 10 MiB: at most 68 frames.
    auto buf = alloc_or_exit(size_t{frames} * kCalibFrameSize, kTag);
    kavri::api::cap_set_frame_buffer(dev, nullptr,
                                     std::max(kUploadFrameBuffer, frames * KAVRI_CAP_FRAME_BYTES));
    if (kavri::api::cap_start(dev) && frames != 0) {
        kavri_frame_info_t info{};
        const int want = static_cast<int>(frames);
        const int ret =
            kavri::api::cap_get_frames(dev, want, buf.get(), frames * kCalibFrameSize, &info);
        if (ret != want) KV_DBG("[%s] get calib frames failed: ret=%d\n", kTag, ret);
        for (int i = 0; i < ret; ++i) {
            const uint8_t *frame = buf.get() + static_cast<size_t>(i) * kCalibFrameSize;
            if (!file.write_frame(std::span<const uint8_t>(frame, kCalibFrameSize))) break;
        }
    }
    kavri::api::cap_stop(dev);
    kavri::api::cap_set_frame_buffer(dev, nullptr, kUploadFrameBuffer);
}

// Downloads the package into the working folder and stores it. False when
// nothing was attempted; true does not mean the parameter file is good.
bool download(kavri_dev_t *dev) {
    PackageHeader hdr;
    if (!read_package_header(dev, hdr)) {
        KV_ERR("[%s]  get param of calib data failed!\n", kTag);
        return false;
    }
    const uint32_t frames = package_frame_count(hdr);
    KV_DBG("[%s] valid:%d, fsize:%d, fr_num: %d\n", kTag, hdr.valid,
           static_cast<int>(hdr.package_size), static_cast<int>(frames));
    if (!package_download_allowed(hdr, dev->version[1])) return false;

    PackageFileWriter file;
    if (!file.open(dev->path != nullptr ? dev->path : kavri::g_path_prefix)) return false;
    receive_frames(dev, file, frames);
    // A failed flush is logged by the writer; the header check then refuses
    // the short file.
    file.close();
    calib_pk_parse(dev);
    return true;
}

}  // namespace
}  // namespace kavri::param

using namespace kavri::param;

namespace kavri::param {

uint8_t param_load_from_dev(kavri_dev_t *dev) {
    if (dev == nullptr) {
        KV_ERR("[%s]  Device handler Is NULL!\r\n", kTag);
        return 0;
    }
    // The upload runs its own capture; an application's would be cut short
    // and fed calibration frames.
    if (kavri::api::cap_is_ongoing(dev)) {
        KV_ERR("[%s] device is capturing: calibration not loaded\n", kTag);
        return 0;
    }
    kavri::api::cap_set_frame_buffer(dev, nullptr, kUploadFrameBuffer);
    kavri::api::cap_set_callback_on_error(dev, nullptr);
    kavri::api::cap_set_callback_on_frame_ready(dev, nullptr);

    if (!set_mode(dev, kModeDataUpload)) {
        KV_ERR("[%s]  set mode to DATA_UP failed!\n", kTag);
        return 0;
    }
    const bool result = download(dev);

    bool restored = false;
    for (int i = 0; i < kModeSetTries && !restored; ++i) restored = set_mode(dev, kModeNormal);
    if (!restored) KV_ERR("[%s] Device set back to normal mode failed! It may not work\n", kTag);
    return result ? 1 : 0;
}

}  // namespace kavri::param

extern "C" KAVRI_API uint8_t kavri_param_load_from_dev(kavri_dev_t *dev) {
    return kavri::param::param_load_from_dev(dev);
}
