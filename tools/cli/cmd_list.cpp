// `kavri-cli list`: every camera on the buses with its identification.
#include <cstdio>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/identity.h"

namespace kavri::cli {

int run_list(const GlobalOptions &g) {
    Library lib(g);
    const auto devs = list_cameras();
    if (devs.empty())
        throw CliError(kExitNoCamera, "no camera found on the USB buses",
                       "plug the camera in, then run `kavri-cli doctor` to check the set-up");
    std::printf("%-8s %-5s %-6s %-18s %-18s %-34s %s\n", "BUS:PORT", "ADDR", "SPEED", "PRODUCT",
                "IDENT", "VERSIONS", "DRIVER");
    int status = kExitOk;
    for (const kavri_dev_t &d : devs) {
        const CameraIdentity id = read_identity(d);
        const std::string where = location_text(id.location);
        if (!id.readable) {
            std::printf("%-8s %-5u %-6s (cannot open: run `kavri-cli doctor`)\n", where.c_str(),
                        id.location.address, speed_name(id.location.speed));
            status = kExitOpenFailed;
            continue;
        }
        std::printf("%-8s %-5u %-6s %-18s %-18s %-34s %s\n", where.c_str(), id.location.address,
                    speed_name(id.location.speed), id.product.c_str(), id.ident.c_str(),
                    versions_text(id.version).c_str(), id.driver.c_str());
    }
    std::printf("%zu camera%s\n", devs.size(), devs.size() == 1 ? "" : "s");
    return status;
}

}  // namespace kavri::cli
