// `kavri-cli view`: a web page that shows one camera (or a replay) live and
// turns its settings, served by the tool itself (tools/view/).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "cli/commands.h"

namespace kavri::cli {

inline constexpr uint16_t kDefaultViewPort = 8321;
inline constexpr const char *kLoopbackAddress = "127.0.0.1";

struct ViewOptions {
    CameraSetup setup;
    uint16_t port = kDefaultViewPort;  // 0: any free port
    std::string bind = kLoopbackAddress;
    std::string out_dir = ".";  // snapshots are downloaded; recordings are written here
};
int run_view(const GlobalOptions &g, const ViewOptions &o);

// The page's files: share/kavri/view next to the installed binary, else the
// source tree's tools/view/web (a build tree). Empty when neither is there.
std::filesystem::path find_view_web_dir();

}  // namespace kavri::cli
