// Stand-in for the synthetic scene generator: same interface, flat frames
// (every sample mid-scale), a wall 1 m away as the ground truth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

enum class Chip { E1, E2, E3, T0 };

struct FrameGenConfig {
    Chip chip = Chip::E2;
    std::string scene = "default";
    bool pinhole_lens = false;
    bool noise = true;
    bool fpn = true;
    uint64_t seed = 1;
    uint32_t width = 320, height = 240;
};

struct SensorState {
    uint32_t mod_freq_hz = 12000000;
    uint16_t intg_time = 400;
    uint16_t intg_time2 = 0;
    int16_t t_sensor = 350;
    int16_t t_ib = 300;
    bool inconsistent = false;
};

class FrameGenerator {
  public:
    explicit FrameGenerator(const FrameGenConfig &cfg)
        : cfg_(cfg), fpn_(size_t{cfg.width} * cfg.height, 0.0f) {}
    uint32_t frame_bytes() const {
        return cfg_.width * cfg_.height * (cfg_.chip == Chip::T0 ? 4u : 8u);
    }
    uint16_t frame_format() const { return 2; }
    void make_frame(const SensorState &s, std::vector<uint8_t> &out) {
        out.assign(frame_bytes(), 0);
        const uint16_t mid = s.inconsistent ? 100 : 2048;
        for (size_t i = 0; i + 1 < out.size(); i += 2) {
            out[i] = static_cast<uint8_t>(mid & 0xff);
            out[i + 1] = static_cast<uint8_t>(mid >> 8);
        }
    }
    std::vector<float> truth_mm() const {
        return std::vector<float>(size_t{cfg_.width} * cfg_.height, 1000.0f);
    }
    const std::vector<float> &fpn_mm() const { return fpn_; }
    const FrameGenConfig &config() const { return cfg_; }

  private:
    FrameGenConfig cfg_;
    std::vector<float> fpn_;
};

}  // namespace camsim
