// The calibration parameter file the simulated camera keeps in its memory, generated from the
// simulator's own phase model: one calibration block per modulation frequency whose DRNU
// planes are the phases each pixel measures at the known plane distances, at the calibration
// temperatures, fixed pattern included, in sensor readout order. A host that mounts it turns
// the simulator's frames back into the scene's true distances.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "frame_gen.h"

namespace camsim {

struct CalibBlockSpec {
    uint32_t mod_freq_hz;
    uint8_t planes;  // plane k lies at box + k * step
    uint32_t step_mm;
    int32_t value_scale;  // plane values in 1/value_scale period (32768: host units already)
};

struct CalibGenOptions {
    uint32_t timestamp = 1;    // compared with the camera's package timestamp
    bool legacy = false;       // the older file format (version 139)
    float box_len_cm = 29.5f;  // distance of plane 0
    int16_t cb_temp = 350;     // sensor temperature during calibration, 0.1 degC
    int16_t ib_temp = 300;     // board temperature during calibration, 0.1 degC
    // At 20 MHz the planes stop short of the range (7494 mm) less the raw offset (2000 mm),
    // the drift (~700 mm) and the fixed pattern, so no plane's phase wraps.
    std::vector<CalibBlockSpec> blocks = {{12000000, 13, 500, 30000}, {20000000, 11, 400, 32768}};
};

// Sizes of the file layout.
inline constexpr size_t kCalibFileHeaderBytes = 1202;
inline constexpr size_t kCalibUnitHeaderBytes = 5;
inline constexpr size_t kCalibDriverHeaderBytes = 37;
inline constexpr size_t kCalibLegacyBlockHeaderBytes = 42;
inline constexpr size_t kCalibPlaneHeaderBytes = 20;
inline constexpr uint32_t kCalibWidth = 320, kCalibHeight = 240;
inline constexpr size_t kCalibPlaneBytes =
    kCalibPlaneHeaderBytes + size_t{kCalibWidth} * kCalibHeight * 2;  // 153620
inline constexpr uint8_t kCalibFileVersion = 140;
inline constexpr uint8_t kCalibLegacyFileVersion = 139;
inline constexpr size_t kCalibMaxBlocks = 7;

// The parameter file's bytes for the camera that gen simulates (its fixed pattern, lens and
// image size; the image must be 320x240). Throws std::invalid_argument for an image of another
// size, more than 7 blocks, fewer than 2 planes in a block, a value scale outside 1..32768,
// or a frequency of 0.
std::vector<uint8_t> make_calib_file(const FrameGenerator &gen,
                                     const CalibGenOptions &opt = CalibGenOptions{});

// Fletcher-16 as the file uses it: s2 * 256 + s1, both sums mod 255.
uint16_t calib_fletcher16(std::span<const uint8_t> bytes);

}  // namespace camsim
