// `kavri-cli data download|upload` and `kavri-cli firmware`: data images into
// the camera's flash and back, with a progress bar and a clear verdict.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cli/cli_error.h"
#include "cli/commands.h"

namespace kavri::cli {
namespace {

constexpr int kBarWidth = 40;
constexpr uint32_t kMsPerSecond = 1000;
constexpr int kPercentStep = 10;  // without a terminal: one line every 10 %

// Draws the library's progress reports on stderr: a bar on a terminal,
// a line every tenth otherwise.
class ProgressBar {
  public:
    ProgressBar() : tty_(isatty(STDERR_FILENO) != 0) {
        kavri_data_set_progress_callback(&ProgressBar::report, this);
    }
    ~ProgressBar() {
        kavri_data_set_progress_callback(nullptr, nullptr);
        end_line();
    }
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    uint32_t transferred() const { return transferred_; }
    uint32_t total() const { return total_; }

  private:
    static void report(uint32_t phase, uint32_t done, uint32_t total, void *arg) {
        static_cast<ProgressBar *>(arg)->show(phase, done, total);
    }

    void show(uint32_t phase, uint32_t done, uint32_t total) {
        if (phase != phase_) {
            end_line();
            phase_ = phase;
            last_step_ = -1;
        }
        if (phase == KAVRI_DATA_PHASE_TRANSFER) {
            transferred_ = done;
            total_ = total;
        }
        const int percent = total ? static_cast<int>(100.0 * done / total) : 0;
        std::string text;
        char buf[96];
        if (phase == KAVRI_DATA_PHASE_ERASE) {
            std::snprintf(buf, sizeof buf, "erasing the flash ... %u s", done / kMsPerSecond);
            text = buf;
        } else if (phase == KAVRI_DATA_PHASE_RESET) {
            std::snprintf(buf, sizeof buf, "camera restarting, do not unplug it ... %u of %u s",
                          done / kMsPerSecond, total / kMsPerSecond);
            text = buf;
        } else {
            const int filled =
                total ? static_cast<int>(static_cast<uint64_t>(kBarWidth) * done / total) : 0;
            std::snprintf(buf, sizeof buf, "] %3d %% %u of %u bytes", percent, done, total);
            text = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + buf;
        }
        if (tty_) {
            std::fprintf(stderr, "\r%s", text.c_str());
            open_line_ = true;
        } else {
            const int step = phase == KAVRI_DATA_PHASE_TRANSFER
                                 ? percent / kPercentStep
                                 : static_cast<int>(done / kMsPerSecond);
            if (step != last_step_) std::fprintf(stderr, "%s\n", text.c_str());
            last_step_ = step;
        }
        std::fflush(stderr);
    }

    void end_line() {
        if (open_line_) std::fprintf(stderr, "\n");
        open_line_ = false;
    }

    bool tty_;
    bool open_line_ = false;
    uint32_t phase_ = UINT32_MAX;
    int last_step_ = -1;
    uint32_t transferred_ = 0, total_ = 0;
};

uint64_t file_size_or_throw(const std::string &path) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        throw CliError(kExitFileError, "cannot read " + path + ": " + ec.message(),
                       "give the path of an existing image file");
    if (size == 0)
        throw CliError(kExitFileError, path + " is empty", "give the path of a real image file");
    return size;
}

int download(const GlobalOptions &g, const DataOptions &o, bool firmware) {
    const uint64_t size = file_size_or_throw(o.file);
    Library lib(g);
    OpenCamera cam(g);
    int32_t r;
    uint32_t sent;
    {
        ProgressBar bar;
        r = firmware ? kavri_firmware_upgrade(cam.dev(), o.type, o.version, o.file.c_str())
                     : kavri_data_download(cam.dev(), o.file.c_str(), o.type, o.version, 0);
        sent = bar.transferred();
    }
    const std::string what = firmware ? "firmware" : "data image";
    if (r == 1 && sent == size) {
        std::printf("done: %s %s (%llu bytes) written as type %u version %u\n", what.c_str(),
                    o.file.c_str(), static_cast<unsigned long long>(size), o.type, o.version);
        return kExitOk;
    }
    if (r == KAVRI_DATA_REFUSED)
        throw CliError(kExitFailure,
                       "the camera refused the " + what + " after " + std::to_string(sent) +
                           " of " + std::to_string(size) + " bytes; it was not reset",
                       "the log " + lib.log_path() +
                           " says what the camera answered; check the type, version and size, "
                           "then try again");
    if (r == 1)
        throw CliError(kExitFailure,
                       "the camera ended the " + what + " transfer after " + std::to_string(sent) +
                           " of " + std::to_string(size) + " bytes",
                       "the camera may refuse this type or version; try again, and see the log " +
                           lib.log_path());
    throw CliError(
        kExitFailure, "the " + what + " transfer failed (" + std::to_string(r) + ")",
        "check the cable and that the camera is not capturing; see the log " + lib.log_path());
}

}  // namespace

int run_data_download(const GlobalOptions &g, const DataOptions &o) {
    return download(g, o, false);
}

int run_firmware(const GlobalOptions &g, const DataOptions &o) {
    return download(g, o, true);
}

int run_data_upload(const GlobalOptions &g, const DataOptions &o) {
    Library lib(g);
    OpenCamera cam(g);
    int32_t r;
    {
        ProgressBar bar;
        r = kavri_data_upload(cam.dev(), o.type, o.file.c_str());
    }
    std::error_code ec;
    const bool written = std::filesystem::exists(o.file, ec);
    if (r == 1 && written) {
        std::printf("done: data image of type %u (%llu bytes) read into %s\n", o.type,
                    static_cast<unsigned long long>(std::filesystem::file_size(o.file, ec)),
                    o.file.c_str());
        return kExitOk;
    }
    throw CliError(kExitFailure, "the camera gave no data image of type " + std::to_string(o.type),
                   "the camera may hold no image of that type (the log " + lib.log_path() +
                       " says more); check the type number");
}

}  // namespace kavri::cli
