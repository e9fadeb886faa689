// What every subcommand needs around the library: starting and stopping it,
// the working folder, the log, picking a camera and opening it.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kavri::cli {

struct GlobalOptions {
    std::string device;  // "BUS:PORT", empty: the only (or first) camera
    // Every --device given, in order (device is the first); only capture
    // takes more than one.
    std::vector<std::string> devices;
    std::string workdir;  // calibration cache and log; empty: the default folder
    std::string from;     // a raw recording replayed instead of a camera; empty: a camera
    int verbose = 0;      // 0: library log to the file only; 1 warnings, 2 info, 3 debug on stdout
};

// The folder used when --workdir is not given: $KAVRI_WORKDIR, else
// $XDG_CACHE_HOME/kavri, else ~/.cache/kavri, else the current folder.
std::string default_workdir();

// Starts the library for the lifetime of the object: log levels, working
// folder (created when missing), transport, calibration store.
class Library {
  public:
    explicit Library(const GlobalOptions &opts);
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    const std::string &workdir() const { return workdir_; }  // ends with '/'
    const std::string &log_path() const { return log_path_; }

  private:
    std::string workdir_;
    std::string log_path_;
};

// A camera's place on the bus, from the transport's location bytes.
struct UsbLocation {
    unsigned bus = 0, port = 0, address = 0, speed = 0;
};
UsbLocation location_of(const kavri_dev_t &dev);
UsbLocation location_of(const kavri_ll_t &ll);
const char *speed_name(unsigned speed);
std::string location_text(const UsbLocation &loc);  // "BUS:PORT"

// Every camera on the buses, as kavri_dev_list reports them.
std::vector<kavri_dev_t> list_cameras();

// The camera named by --device (or the first one); throws CliError when there
// is none.
kavri_dev_t select_camera(const GlobalOptions &opts);

// An open camera (kavri_dev_open: identification read, driver chosen,
// calibration loaded), closed when the object goes. With --from it is the
// recording opened as a device (kavri_rec_open, paced by replay or, without
// it, as fast as the frames are taken).
class OpenCamera {
  public:
    explicit OpenCamera(const GlobalOptions &opts, const kavri_rec_options_t *replay = nullptr);
    ~OpenCamera();
    OpenCamera(const OpenCamera &) = delete;
    OpenCamera &operator=(const OpenCamera &) = delete;

    kavri_dev_t *dev() { return &dev_; }
    UsbLocation location() const { return location_of(dev_); }

  private:
    kavri_dev_t dev_{};
};

// Fix text shared by the open failures.
extern const char *const kOpenFix;

}  // namespace kavri::cli
