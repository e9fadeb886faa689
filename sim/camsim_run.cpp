// camsim-run COMMAND [ARGS]: runs COMMAND with the camera simulator preloaded,
// so its libusb calls reach simulated cameras (configured by the CAMSIM_*
// environment keys, see README.md).
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr const char *kLibraryName = "libkavri_camsim.so";

// The simulator library: $CAMSIM_LIBRARY, else next to this program.
std::string library_path() {
    if (const char *lib = std::getenv("CAMSIM_LIBRARY"); lib && *lib) return lib;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return kLibraryName;
    self[n] = '\0';
    std::string dir(self);
    dir.erase(dir.find_last_of('/') + 1);
    return dir + kLibraryName;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fprintf(stderr,
                     "usage: camsim-run COMMAND [ARGS]\n"
                     "Runs COMMAND with %s preloaded (simulated cameras on libusb).\n"
                     "Environment: CAMSIM_CAMERAS CAMSIM_CHIP CAMSIM_SCENE CAMSIM_LENS "
                     "CAMSIM_FPS CAMSIM_FREE_RUN CAMSIM_NOISE CAMSIM_FPN CAMSIM_SEED "
                     "CAMSIM_LIBRARY\n",
                     kLibraryName);
        return argc < 2 ? 2 : 0;
    }
    const std::string lib = library_path();
    if (access(lib.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "camsim-run: cannot read %s\n", lib.c_str());
        return 127;
    }
    std::string preload = lib;
    if (const char *old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "camsim-run: cannot run %s: %s\n", argv[1], std::strerror(errno));
    return 127;
}
