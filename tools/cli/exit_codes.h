// Exit statuses of kavri-cli: each names one kind of trouble, so scripts can
// react to it. tools/README.md and `kavri-cli --help` list the same table.
#pragma once

namespace kavri::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,        // the camera refused or failed an operation
    kExitUsage = 2,          // bad command line
    kExitNoCamera = 3,       // no camera on the bus, or not the one asked for
    kExitOpenFailed = 4,     // a camera is there but cannot be opened
    kExitCaptureFailed = 5,  // the frame stream failed or delivered nothing
    kExitFileError = 6,      // an output file cannot be written or an input read
    kExitDoctorFound = 7,    // doctor found something that needs fixing
};

// The text block printed by --help.
inline constexpr const char *kExitCodeHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  the camera refused or failed an operation\n"
    "  2  bad command line\n"
    "  3  no camera found (or not the one named by --device)\n"
    "  4  a camera is there but cannot be opened (permissions, busy)\n"
    "  5  capture failed: the frame stream stopped or delivered nothing\n"
    "  6  a file cannot be written or read\n"
    "  7  doctor found something that needs fixing\n";

}  // namespace kavri::cli
