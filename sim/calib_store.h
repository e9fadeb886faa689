// The calibration package the camera keeps in its memory: reported as
// parameter 8 (its 18-byte header) and streamed while parameter 0 selects
// data upload, as whole frames of format 171 numbered from 0. By default the
// payload is the parameter file made from the camera's own phase model
// (calib_gen.h), plain or inside a zip archive (CAMSIM_CALIB).
// Not thread-safe: the camera calls it under the bus lock.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camsim_calib.h"
#include "frame_gen.h"
#include "param_table.h"

namespace camsim {

constexpr uint8_t kUploadMode = 9;  // parameter 0 value: data upload
constexpr uint16_t kCalibFrameFormat = CAMSIM_CALIB_FRAME_FORMAT;
constexpr uint32_t kCalibFrameBytes = CAMSIM_CALIB_FRAME_BYTES;
constexpr size_t kPackageHeaderBytes = CAMSIM_CALIB_HEADER_BYTES;
constexpr uint8_t kPayloadZip = CAMSIM_CALIB_PAYLOAD_ZIP;

// The 18 header bytes: valid, payload type, 4 reserved, timestamp, package
// size, payload size (little-endian).
std::vector<uint8_t> encode_package_header(const camsim_calib_header_t &h);

// A zip archive holding one file (deflated), made with libarchive's writer.
std::vector<uint8_t> zip_single_file(const std::string &name, std::span<const uint8_t> bytes);

// The parameter id the host derives from parameters 7 and 5, and the file
// name it expects inside a zip package.
int32_t param_id_of(const ParamTable &params);
std::string param_file_name(const ParamTable &params);

class CalibStore {
  public:
    // Reads CAMSIM_CALIB and CAMSIM_SW_VERSION; gen makes the default
    // payload (it must outlive the store).
    void configure(const FrameGenerator &gen);
    // Power cycle (or a new package): parameter 8 := the package header and,
    // when set, the software version word of parameter 6.
    void apply(ParamTable &params);
    // True while parameter 0 selects data upload.
    bool uploading(const ParamTable &params) const;
    // Each stream start sends the package from its first frame.
    void rewind() { next_frame_ = 0; }
    // The next package frame and its index; false after the last one.
    bool next_frame(std::vector<uint8_t> &frame, uint16_t &index);

    // Control interface. use(): "bin", "zip", "none" or a path; false for a
    // path that cannot be read (the package is then left as it was).
    bool use(const std::string &spec);
    void set_payload(std::vector<uint8_t> payload, const camsim_calib_header_t *hdr);
    void set_sw_version(uint16_t v) { sw_version_ = v; }
    // The header as reported (sizes resolved); the payload.
    camsim_calib_header_t header(const ParamTable &params);
    std::span<const uint8_t> payload(const ParamTable &params);
    camsim_calib_stats_t stats() const {
        camsim_calib_stats_t s = stats_;
        s.package_frames = stream_frames();
        return s;
    }

  private:
    enum class Kind { None, Bin, Zip, Custom };
    // Builds the default payloads on first need; they depend on the
    // camera's parameter id (the name inside the archive).
    void ensure_built(const ParamTable &params);
    uint32_t stream_frames() const;

    const FrameGenerator *gen_ = nullptr;
    Kind kind_ = Kind::Bin;
    bool built_ = false;
    std::shared_ptr<const std::vector<uint8_t>> payload_;
    camsim_calib_header_t hdr_{};  // AUTO sizes resolved once built
    std::optional<uint16_t> sw_version_;
    uint32_t next_frame_ = 0;
    camsim_calib_stats_t stats_{};
};

}  // namespace camsim
