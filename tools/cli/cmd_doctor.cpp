// `kavri-cli doctor`: what stands between the user and a working camera,
// one check after the other, each failure with its fix.
#include <libusb.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/calib_state.h"
#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/identity.h"
#include "kavri/init.h"
#include "ll/usb_ids.h"

namespace kavri::cli {
namespace {

constexpr const char *kUdevFix =
    "install the udev rule that lets users open the camera: sudo cp 60-kavri.rules "
    "/etc/udev/rules.d/ (it is installed under share/kavri/udev, and in packaging/ of the "
    "sources), then sudo udevadm control --reload-rules && sudo udevadm trigger, and replug "
    "the camera";

class Report {
  public:
    void ok(const std::string &what) { std::printf("ok    %s\n", what.c_str()); }
    void warn(const std::string &what, const std::string &fix) {
        std::printf("warn  %s\n      fix: %s\n", what.c_str(), fix.c_str());
    }
    void fail(const std::string &what, const std::string &fix) {
        std::printf("FAIL  %s\n      fix: %s\n", what.c_str(), fix.c_str());
        ++failures_;
    }
    int failures() const { return failures_; }

  private:
    int failures_ = 0;
};

struct ContextDeleter {
    void operator()(libusb_context *c) const { libusb_exit(c); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;

struct FoundCamera {
    UsbLocation loc;
    int open_error = 0;  // libusb error of a test open, 0 when it opened
};

// The cameras on the buses, each opened once to see whether we may.
std::vector<FoundCamera> probe_cameras(libusb_context *ctx) {
    std::vector<FoundCamera> found;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device *d = list[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(d, &desc) != 0 || desc.idVendor != KAVRI_USB_VENDOR_ID ||
            desc.idProduct != KAVRI_USB_PRODUCT_ID)
            continue;
        FoundCamera cam;
        cam.loc = {libusb_get_bus_number(d), libusb_get_port_number(d),
                   libusb_get_device_address(d), static_cast<unsigned>(libusb_get_device_speed(d))};
        libusb_device_handle *h = nullptr;
        cam.open_error = libusb_open(d, &h);
        if (h != nullptr) libusb_close(h);
        found.push_back(cam);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return found;
}

void check_camera_access(Report &r, const FoundCamera &c) {
    const std::string where = "camera at " + location_text(c.loc);
    if (c.open_error == LIBUSB_ERROR_ACCESS)
        r.fail(where + ": permission denied when opening it", kUdevFix);
    else if (c.open_error == LIBUSB_ERROR_BUSY)
        r.fail(where + ": in use by another program",
               "close the other program that uses the camera, then try again");
    else if (c.open_error != 0)
        r.fail(where + ": cannot be opened (" + libusb_error_name(c.open_error) + ")",
               "replug the camera; if it persists, try another port or cable");
    else
        r.ok(where + ": can be opened");
    if (c.loc.speed < LIBUSB_SPEED_HIGH)
        r.fail(where + " runs at " + speed_name(c.loc.speed) +
                   " speed: the frame stream needs high speed (USB 2.0) or better",
               "plug it into a USB 2.0/3.x port directly, not through a USB 1.1 hub, and use "
               "the camera's own cable");
    else
        r.ok(where + " runs at " + speed_name(c.loc.speed) + " speed");
}

// Opens the camera through the library and looks at firmware and calibration.
void check_with_library(Report &r, const GlobalOptions &g, const Library &lib) {
    std::unique_ptr<OpenCamera> cam;
    try {
        cam = std::make_unique<OpenCamera>(g);
    } catch (const CliError &e) {
        r.fail(e.what(), e.fix());
        return;
    }
    kavri_dev_t *dev = cam->dev();
    const CameraIdentity id = identity_of(dev);
    r.ok("opened " + id.product + " (" + id.ident + "), driver " + id.driver);
    if (id.driver == "none")
        r.fail("no chip driver knows this camera's product string",
               "update the kavri library to a version that supports this camera");
    const uint16_t sw = id.version[KAVRI_VERSION_SW];
    if (sw < kMinSwVersionForCalib)
        r.fail("firmware version " + std::to_string(sw) + " cannot send its calibration (needs " +
                   std::to_string(kMinSwVersionForCalib) + " or newer)",
               "upgrade the camera's firmware (kavri-cli firmware), or place the calibration "
               "file in the working folder " +
                   lib.workdir());
    else
        r.ok("firmware version " + std::to_string(sw) + " can send its calibration");
    const CalibState s = read_calib_state(dev);
    if (!s.camera_answered)
        r.warn("the camera did not report its calibration package",
               "replug the camera; see the log " + lib.log_path());
    else if (!s.camera_has_package)
        r.warn("the camera holds no calibration package: distances are uncalibrated",
               "have the camera calibrated, or place its calibration file in " + lib.workdir());
    if (!s.cache_valid && s.camera_answered && !s.camera_has_package)
        return;  // nothing to download: the warning above says what to do
    if (!s.cache_valid)
        r.fail("no valid calibration cached" +
                   (s.cache_path.empty() ? std::string() : " at " + s.cache_path),
               "make the working folder writable (--workdir) and open the camera again; the "
               "log " +
                   lib.log_path() + " says why the download failed");
    else if (!s.cache_current())
        r.fail("the cached calibration is older than the camera's",
               "delete " + s.cache_path + " and open the camera again to download it");
    else
        r.ok("calibration cached and current: " + s.cache_path);
}

}  // namespace

int run_doctor(const GlobalOptions &g) {
    Report r;
    const libusb_version *v = libusb_get_version();
    libusb_context *raw = nullptr;
    const int init = libusb_init(&raw);
    Context ctx(raw);
    if (init != 0) {
        r.fail(std::string("libusb cannot start: ") + libusb_error_name(init),
               "make /dev/bus/usb available (in a container: pass the USB devices through) and "
               "check that libusb-1.0 is installed");
        return kExitDoctorFound;
    }
    r.ok("libusb " + std::to_string(v->major) + "." + std::to_string(v->minor) + "." +
         std::to_string(v->micro) + " is there");
    // Which vector paths decode the frames: a support question about speed
    // starts here (KAVRI_MAX_ISA caps the pick).
    r.ok(std::string("the library computes with ") + kavri_get_isa() + " instructions");

    const std::vector<FoundCamera> cams = probe_cameras(ctx.get());
    if (cams.empty()) {
        r.fail(
            "no camera on the USB buses",
            "plug the camera in; if it is plugged, try another cable or port and look for "
            "it with lsusb (vendor id " +
                [] {
                    char b[8];
                    std::snprintf(b, sizeof b, "%04x", KAVRI_USB_VENDOR_ID);
                    return std::string(b);
                }() +
                ")");
        return kExitDoctorFound;
    }
    r.ok(std::to_string(cams.size()) + " camera" + (cams.size() == 1 ? "" : "s") +
         " on the USB buses");
    bool any_open = false;
    for (const FoundCamera &c : cams) {
        check_camera_access(r, c);
        any_open |= c.open_error == 0;
    }
    ctx.reset();
    if (any_open) {
        Library lib(g);
        check_with_library(r, g, lib);
    }
    std::printf("%s\n",
                r.failures() ? "doctor found problems (see the fixes above)" : "all checks passed");
    return r.failures() ? kExitDoctorFound : kExitOk;
}

}  // namespace kavri::cli
