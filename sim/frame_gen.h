// Synthetic raw frames of the simulated camera: a scene seen through the lens, turned into the
// four phase samples (or the on-chip amplitude/phase words of the T0 sensor) that the camera
// streams. The phase model is described in phase_model.h.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

enum class Chip { E1, E2, E3, T0 };

struct FrameGenConfig {
    Chip chip = Chip::E2;
    std::string scene = "default";  // "default" or "wall:<mm>"
    bool pinhole_lens = false;      // CAMSIM_LENS=pinhole: same fx, fy, cx, cy, no distortion
    bool noise = true;              // CAMSIM_NOISE
    bool fpn = true;                // CAMSIM_FPN
    uint64_t seed = 1;              // CAMSIM_SEED
    uint32_t width = 320, height = 240;
};

struct SensorState {                  // what the camera's parameters and temperatures are now
    uint32_t mod_freq_hz = 12000000;  // parameter 1
    uint16_t intg_time = 400;         // parameter 13
    uint16_t intg_time2 = 0;          // parameter 16
    int16_t t_sensor = 350;           // 0.1 degC
    int16_t t_ib = 300;               // 0.1 degC
    bool inconsistent = false;        // produce a frame whose four sub-frames are not consistent
};

class FrameGenerator {
  public:
    // Throws std::invalid_argument for an unknown scene, a zero size, a side above 4096 or an
    // odd height (the sensor reads rows out in pairs around the middle of the image).
    explicit FrameGenerator(const FrameGenConfig &cfg);
    // Why the constructor would refuse cfg, or an empty string when it accepts it.
    static std::string config_error(const FrameGenConfig &cfg);

    // Looks at another scene from the next make_frame on, as if the camera were pointed
    // elsewhere: the fixed pattern and the noise stream carry on. Throws std::invalid_argument
    // for an unknown scene and then keeps the current one.
    void set_scene(const std::string &scene);

    // Bytes of one raw frame: w*h*8 for EPC chips (four DCS sub-frames of 16-bit LE samples,
    // rows in sensor readout order), w*h*4 for T0 (per pixel: amplitude word, phase word).
    uint32_t frame_bytes() const;
    uint16_t frame_format() const;  // 2
    // Writes one frame's payload (resizes out to frame_bytes()). Not thread-safe per instance.
    // A modulation frequency of 0 is treated as the default 12 MHz.
    void make_frame(const SensorState &s, std::vector<uint8_t> &out);
    // The true radial distance along each pixel's ray in mm, image order (row-major, top row
    // first).
    std::vector<float> truth_mm() const;
    // Per-pixel fixed-pattern offset in mm (image order), zero when fpn is off.
    const std::vector<float> &fpn_mm() const;
    const FrameGenConfig &config() const;

    // Reflectivity of the surface each pixel sees (image order), 0..1.
    const std::vector<float> &reflectivity() const { return reflectivity_; }
    // Number of frames made so far (the noise stream advances per frame).
    uint64_t frames_made() const { return frames_made_; }

  private:
    void make_epc_frame(const SensorState &s, uint8_t *out);
    void make_ti_frame(const SensorState &s, uint8_t *out);
    // Renders cfg_.scene and lays out what the per-frame loops read from it (fpn_ is set).
    void render_scene_tables();

    FrameGenConfig cfg_;
    std::vector<float> truth_;         // image order
    std::vector<float> fpn_;           // image order
    std::vector<float> reflectivity_;  // image order
    // Readout order (the order EPC samples are written in), precomputed per scene:
    std::vector<double> raw_base_mm_;  // truth + fpn + the sensor's fixed raw offset
    std::vector<float> half_gain_;     // half amplitude per integration time unit
    std::vector<uint8_t> odd_row_;     // 1 where the pixel's image row is odd (second intg time)
    // Image order, T0 only (per scene):
    std::vector<double> ti_phase_lsb_;  // noiseless phase word (unwrapped)
    uint64_t noise_state_ = 0;
    uint64_t frames_made_ = 0;
};

}  // namespace camsim
