// The calibration package the camera streams in data upload mode: an 18-byte
// header, then a parameter file or a zip archive, padded to whole frames.
// These are the file-side steps of loading calibration from the camera; the
// capture side fetches the frames and hands them to PackageFileWriter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "core/le.h"
#include "kavri/types.h"
#include "param/file_util.h"

namespace kavri::param {

constexpr size_t kPkgHdrSize = 18;
constexpr uint32_t kCalibFrameSize = 153600;    // one frame of format 171
constexpr uint32_t kMaxPackageSize = 0xa00000;  // 10 MiB
constexpr uint16_t kMinSwVersion = 133;         // older firmware cannot upload
constexpr uint8_t kPayloadZip = 1;
constexpr size_t kCopyChunk = 4096;
constexpr char kPackageFileName[] = "calibration.bin";
constexpr char kArchiveFileName[] = "tmp.zip";

struct PackageHeader {
    uint8_t valid = 0;
    uint8_t payload_type = 0;
    uint32_t timestamp = 0;
    uint32_t package_size = 0;  // header included
    uint32_t payload_size = 0;
};

// The one decoder of the header, for the loader and for the driver's check
// of its cached file (parameter 8 carries the header).
inline PackageHeader decode_package_header(std::span<const uint8_t, kPkgHdrSize> bytes) {
    constexpr size_t kOffValid = 0;
    constexpr size_t kOffPayloadType = 1;
    constexpr size_t kOffTimestamp = 6;
    constexpr size_t kOffPackageSize = 10;
    constexpr size_t kOffPayloadSize = 14;
    PackageHeader h;
    h.valid = bytes[kOffValid];
    h.payload_type = bytes[kOffPayloadType];
    h.timestamp = le::get_u32(&bytes[kOffTimestamp]);
    h.package_size = le::get_u32(&bytes[kOffPackageSize]);
    h.payload_size = le::get_u32(&bytes[kOffPayloadSize]);
    return h;
}

// Whether the package the camera reports is worth fetching.
bool package_download_allowed(const PackageHeader &hdr, uint16_t sw_version);

// Frames to fetch: whole frames only, so a package that is not a whole
// number of frames fails the header check once received.
inline uint32_t package_frame_count(const PackageHeader &hdr) {
    return hdr.package_size / kCalibFrameSize;
}

// prefix + name, whole.
std::string working_file_name(const char *prefix, const char *name);

// The received frames, written to prefix + "calibration.bin".
class PackageFileWriter {
  public:
    // Logs and fails when the file cannot be created.
    bool open(const char *prefix);
    // Logs and fails on a short write.
    bool write_frame(std::span<const uint8_t> frame);
    // Flushes and closes; false when the data did not all reach the file.
    bool close();
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    FilePtr file_;
};

// Checks the received package file and stores its payload: a parameter file
// under the camera's parameter file name, or an archive unpacked into the
// working folder. The package file (and archive) are removed only when this
// succeeds; a failed check or unzip leaves them for the next attempt.
bool calib_pk_parse(kavri_dev_t *dev);

}  // namespace kavri::param
