#include "frame_gen.h"

#include <cmath>
#include <stdexcept>

#include "phase_model.h"
#include "scene.h"

namespace camsim {
namespace {

constexpr uint16_t kFrameFormatRaw = 2;
constexpr unsigned kEpcSubFrames = 4;
constexpr unsigned kEpcBytesPerSample = 2;
constexpr unsigned kTiBytesPerPixel = 4;
constexpr uint32_t kSampleMask = 0x0fff;
// Keeps the frame size (w * h * 8 bytes) inside the 32 bits the stream carries.
constexpr uint32_t kMaxSide = 4096;

// Independent streams derived from the one seed.
constexpr uint64_t kFpnStream = 0x6670'6e00'0000'0001ull;
constexpr uint64_t kNoiseStream = 0x6e6f'6973'6500'0002ull;

// Image row of source row s in sensor readout order: rows come from the middle outwards,
// alternating between the upper and the lower half.
uint32_t image_row_of_readout_row(uint32_t s, uint32_t height) {
    const uint32_t k = s / 2;
    return (s % 2 == 0) ? height / 2 - 1 - k : height / 2 + k;
}

inline void put_le16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xff);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t to_sample(float v) {
    if (v < 0) v = 0;
    if (v > kSampleMax) v = kSampleMax;
    return static_cast<uint16_t>(v + 0.5f);
}

// Gaussian draws from 12-bit slices of a 64-bit random word (small table: stays in L1).
using NormalTable = std::array<float, 1u << kNormalTableBits>;
inline float gauss(const NormalTable &t, uint64_t word, unsigned slice, float sigma) {
    return t[(word >> (kNormalTableBits * slice)) & ((1u << kNormalTableBits) - 1)] * sigma;
}

// Fractional part of a turn count; std::floor is a library call on plain x86-64.
inline double fraction(double turns) {
    double f = turns - static_cast<double>(static_cast<int64_t>(turns));
    return f < 0 ? f + 1.0 : f;
}

}  // namespace

std::string FrameGenerator::config_error(const FrameGenConfig &cfg) {
    if (cfg.width == 0 || cfg.height == 0 || cfg.height % 2 != 0) {
        return "frame size must be non-zero with an even height";
    }
    if (cfg.width > kMaxSide || cfg.height > kMaxSide) return "frame side longer than 4096 pixels";
    if (!scene_valid(cfg.scene)) {
        return "unknown scene '" + cfg.scene +
               "' (expected \"default\" or \"wall:<mm>\", 1..100000)";
    }
    return {};
}

FrameGenerator::FrameGenerator(const FrameGenConfig &cfg) : cfg_(cfg) {
    if (const std::string why = config_error(cfg_); !why.empty()) {
        throw std::invalid_argument(why);
    }
    const size_t n = static_cast<size_t>(cfg_.width) * cfg_.height;
    fpn_.assign(n, 0.0f);
    if (cfg_.fpn) {
        SplitMix64 rng{cfg_.seed ^ kFpnStream};
        for (float &f : fpn_) f = static_cast<float>(rng.normal() * kFpnSigmaMm);
    }
    noise_state_ = cfg_.seed ^ kNoiseStream;
    render_scene_tables();
}

void FrameGenerator::set_scene(const std::string &scene) {
    // Checked before anything changes, so a refused scene leaves the generator as it was.
    FrameGenConfig next = cfg_;
    next.scene = scene;
    if (const std::string why = config_error(next); !why.empty()) {
        throw std::invalid_argument(why);
    }
    cfg_.scene = scene;
    render_scene_tables();
}

void FrameGenerator::render_scene_tables() {
    const Lens lens =
        scale_lens(cfg_.pinhole_lens ? pinhole_lens() : default_lens(), cfg_.width, cfg_.height);
    SceneView view = render_scene(cfg_.scene, lens);
    truth_ = std::move(view.distance_mm);
    reflectivity_ = std::move(view.reflectivity);

    const size_t n = truth_.size();
    if (cfg_.chip == Chip::T0) {
        ti_phase_lsb_.resize(n);
        half_gain_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            ti_phase_lsb_[i] = (truth_[i] + fpn_[i]) / kTiRangeMm * kTiWordUnits;
            half_gain_[i] = static_cast<float>(amplitude(1.0, reflectivity_[i], truth_[i]) / 2);
        }
        return;
    }

    // EPC: everything the per-frame loop needs, laid out in readout order.
    raw_base_mm_.resize(n);
    half_gain_.resize(n);
    odd_row_.resize(n);
    for (uint32_t s = 0; s < cfg_.height; ++s) {
        const uint32_t row = image_row_of_readout_row(s, cfg_.height);
        for (uint32_t x = 0; x < cfg_.width; ++x) {
            const size_t src = static_cast<size_t>(row) * cfg_.width + x;
            const size_t dst = static_cast<size_t>(s) * cfg_.width + x;
            raw_base_mm_[dst] = static_cast<double>(truth_[src]) + kRawOffsetMm + fpn_[src];
            half_gain_[dst] =
                static_cast<float>(amplitude(1.0, reflectivity_[src], truth_[src]) / 2);
            odd_row_[dst] = row % 2;
        }
    }
}

uint32_t FrameGenerator::frame_bytes() const {
    const uint32_t n = cfg_.width * cfg_.height;
    return cfg_.chip == Chip::T0 ? n * kTiBytesPerPixel : n * kEpcSubFrames * kEpcBytesPerSample;
}

uint16_t FrameGenerator::frame_format() const {
    return kFrameFormatRaw;
}

std::vector<float> FrameGenerator::truth_mm() const {
    return truth_;
}

const std::vector<float> &FrameGenerator::fpn_mm() const {
    return fpn_;
}

const FrameGenConfig &FrameGenerator::config() const {
    return cfg_;
}

void FrameGenerator::make_frame(const SensorState &s, std::vector<uint8_t> &out) {
    out.resize(frame_bytes());
    if (cfg_.chip == Chip::T0) {
        make_ti_frame(s, out.data());
    } else {
        make_epc_frame(s, out.data());
    }
    ++frames_made_;
}

void FrameGenerator::make_epc_frame(const SensorState &s, uint8_t *out) {
    const size_t n = raw_base_mm_.size();
    const uint32_t range = range_mm(s.mod_freq_hz);
    const double inv_range = 1.0 / range;
    const double drift = temperature_drift_mm(s.t_sensor, s.t_ib);
    // Image rows of odd index use the second integration time when one is set.
    const float intg[2] = {static_cast<float>(s.intg_time),
                           static_cast<float>(s.intg_time2 != 0 ? s.intg_time2 : s.intg_time)};
    const float sigma = cfg_.noise ? kSampleNoiseLsb : 0.0f;
    const float late_baseline = s.inconsistent ? kDesyncBaselineLsb : 0.0f;
    const float sign23 = s.inconsistent ? 1.0f : -1.0f;  // late slots repeat DCS0/DCS1

    uint8_t *dcs0 = out, *dcs1 = out + 2 * n, *dcs2 = out + 4 * n, *dcs3 = out + 6 * n;
    const TrigTable &trig = trig_table();
    const NormalTable &normal = normal_table();
    SplitMix64 rng{noise_state_};
    for (size_t i = 0; i < n; ++i) {
        // x = p / 32768: the phase as a fraction of a turn. With a = 2 pi x - pi,
        // -cos a = cos 2 pi x and -sin a = sin 2 pi x.
        const double x = fraction((raw_base_mm_[i] + drift) * inv_range);
        float c, sn;
        cos_sin_turn(trig, x, c, sn);
        const float h = half_gain_[i] * intg[odd_row_[i]];
        float n0 = 0, n1 = 0, n2 = 0, n3 = 0;
        if (sigma != 0) {
            const uint64_t w = rng.next();
            n0 = gauss(normal, w, 0, sigma);
            n1 = gauss(normal, w, 1, sigma);
            n2 = gauss(normal, w, 2, sigma);
            n3 = gauss(normal, w, 3, sigma);
        }
        put_le16(dcs0 + 2 * i, to_sample(kSampleMid + h * c + n0));
        put_le16(dcs1 + 2 * i, to_sample(kSampleMid + h * sn + n1));
        put_le16(dcs2 + 2 * i, to_sample(kSampleMid + late_baseline + sign23 * h * c + n2));
        put_le16(dcs3 + 2 * i, to_sample(kSampleMid + late_baseline + sign23 * h * sn + n3));
    }
    noise_state_ = rng.state;
}

void FrameGenerator::make_ti_frame(const SensorState &s, uint8_t *out) {
    const size_t n = ti_phase_lsb_.size();
    const bool noise = cfg_.noise;
    const float intg = s.intg_time;
    const NormalTable &normal = normal_table();
    SplitMix64 rng{noise_state_};
    for (size_t i = 0; i < n; ++i) {
        double phase = ti_phase_lsb_[i];
        float amp = half_gain_[i] * intg;
        if (noise) {
            const uint64_t w = rng.next();
            phase += gauss(normal, w, 0, kTiPhaseNoiseLsb);
            amp += gauss(normal, w, 1, kTiAmplitudeNoiseLsb);
        }
        const int64_t word = std::llround(phase);
        put_le16(out + 4 * i, to_sample(amp));
        put_le16(out + 4 * i + 2, static_cast<uint16_t>(word & kSampleMask));
    }
    noise_state_ = rng.state;
}

}  // namespace camsim
