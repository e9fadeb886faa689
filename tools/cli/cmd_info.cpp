// `kavri-cli info`: identification, settings, calibration and lens of one camera.
#include <cstdio>

#include "cli/calib_state.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/identity.h"
#include "cli/params.h"

namespace kavri::cli {
namespace {

// The sensor size the lens parameters are asked for.
constexpr uint32_t kSensorWidth = 320;
constexpr uint32_t kSensorHeight = 240;

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
    std::printf("location:        bus %u port %u address %u (%s speed)\n", id.location.bus,
                id.location.port, id.location.address, speed_name(id.location.speed));
    std::printf("product:         %s\n", id.product.c_str());
    std::printf("identification:  %s\n", id.ident.c_str());
    std::printf("identity bytes:  %s\n", id.uid.c_str());
    std::printf("versions:        %s 4th 0x%04x\n", versions_text(id.version).c_str(),
                id.version[3]);
    std::printf("driver:          %s\n", id.driver.c_str());
    std::printf("modulation:      %u Hz\n", item_u32(get_param(dev, KAVRI_PARAM_MOD_FREQ)));
    std::printf("frame rate:      %u fps\n", item_u32(get_param(dev, KAVRI_PARAM_FPS)));
    std::printf("integration:     %u", item_u16(get_param(dev, KAVRI_PARAM_INTG_TIME)));
    const uint16_t second = item_u16(get_param(dev, KAVRI_PARAM_INTG_TIME2));
    if (second != 0) std::printf(" / %u", second);
    std::printf("\n");
    const CalibState calib = read_calib_state(dev);
    const int mounted = kavri_filter_enable(dev, KAVRI_FILTER_CALIB, nullptr, 0);
    std::printf("calibration:     %s\n", mounted == 1 ? "mounted" : "not mounted (raw distances)");
    std::printf("                 %s\n", describe(calib).c_str());
    print_lens(dev);
    std::printf("working folder:  %s\n", lib.workdir().c_str());
    return kExitOk;
}

}  // namespace kavri::cli
