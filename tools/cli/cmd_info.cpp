// `kavri-cli info`: identification, settings, calibration and lens of one
// camera, or of the camera in a raw recording (--from) and what it holds.
#include <cstdio>
#include <optional>
#include <string>

#include "cli/calib_state.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/identity.h"
#include "cli/params.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

// The sensor size the lens parameters are asked for.
constexpr uint32_t kSensorWidth = 320;
constexpr uint32_t kSensorHeight = 240;

constexpr const char *kNotRecorded = "not in the recording";

// A camera answers every setting; a recording only those the library read
// while it ran.
std::optional<kavri_param_item_t> read_param(kavri_dev_t *dev, uint32_t id, bool replay) {
    if (!replay) return get_param(dev, id);
    kavri_param_item_t item{};
    item.param_id = id;
    if (kavri_param_batch_get(dev, &item, 1) != 1) return std::nullopt;
    return item;
}

void print_lens(kavri_dev_t *dev) {
    kavri_drv_t *drv = kavri_dev_get_drv(dev);
    kv_lens_param_t lens{};
    if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr ||
        !drv->ops->lens_param_get(drv, &lens, kSensorWidth, kSensorHeight)) {
        std::printf("lens:            not available from the driver\n");
        return;
    }
    std::printf("lens:            %dx%d cx %.3f cy %.3f fx %.3f fy %.3f\n", lens.img_w, lens.img_h,
                lens.cx, lens.cy, lens.fx, lens.fy);
    std::printf("distortion:      k1 %.6g k2 %.6g p1 %.6g p2 %.6g k3 %.6g\n", lens.dcoeff[0],
                lens.dcoeff[1], lens.dcoeff[2], lens.dcoeff[3], lens.dcoeff[4]);
}

}  // namespace

int run_info(const GlobalOptions &g) {
    Library lib(g);
    OpenCamera cam(g);
    kavri_dev_t *dev = cam.dev();
    const CameraIdentity id = identity_of(dev);
    const bool replay = is_replay(dev);
    std::printf("location:        bus %u port %u address %u (%s speed)%s\n", id.location.bus,
                id.location.port, id.location.address, speed_name(id.location.speed),
                replay ? " when recorded" : "");
    std::printf("product:         %s\n", id.product.c_str());
    std::printf("identification:  %s\n", id.ident.c_str());
    std::printf("identity bytes:  %s\n", id.uid.c_str());
    std::printf("versions:        %s 4th 0x%04x\n", versions_text(id.version).c_str(),
                id.version[3]);
    std::printf("driver:          %s\n", id.driver.c_str());
    const auto mod_freq = read_param(dev, KAVRI_PARAM_MOD_FREQ, replay);
    const auto fps = read_param(dev, KAVRI_PARAM_FPS, replay);
    const auto intg = read_param(dev, KAVRI_PARAM_INTG_TIME, replay);
    const auto intg2 = read_param(dev, KAVRI_PARAM_INTG_TIME2, replay);
    std::printf("modulation:      %s\n",
                mod_freq ? (std::to_string(item_u32(*mod_freq)) + " Hz").c_str() : kNotRecorded);
    std::printf("frame rate:      %s\n",
                fps ? (std::to_string(item_u32(*fps)) + " fps").c_str() : kNotRecorded);
    std::printf("integration:     %s",
                intg ? std::to_string(item_u16(*intg)).c_str() : kNotRecorded);
    if (intg2 && item_u16(*intg2) != 0) std::printf(" / %u", item_u16(*intg2));
    std::printf("\n");
    const CalibState calib = read_calib_state(dev);
    const int mounted = kavri_filter_enable(dev, KAVRI_FILTER_CALIB, nullptr, 0);
    std::printf("calibration:     %s\n", mounted == 1 ? "mounted" : "not mounted (raw distances)");
    std::printf("                 %s\n", describe(calib).c_str());
    print_lens(dev);
    if (replay) print_recording(dev, g.from, false);
    std::printf("working folder:  %s\n", lib.workdir().c_str());
    return kExitOk;
}

}  // namespace kavri::cli
