// How the simulated sensor turns a distance into raw samples.
//
// For each pixel with true radial distance d (mm) along its ray and reflectivity rho:
//
//   raw distance   r = d + 2000 + round(0.33765 * t_ib + 1.7 * t_sensor) + fpn(pixel)      [mm]
//                  (temperatures in 0.1 degC; the sum rounded half away from zero in float
//                  arithmetic; a board temperature of 0 means "no board sensor" and the
//                  sensor temperature stands in for it, as the host driver assumes)
//   range          R = trunc(149896229000 / f)                                         [mm]
//   phase          p = (r mod R) * 32768 / R          (1/32768 period, kept fractional)
//   angle          a = 2 pi (p - 16384) / 32768
//   amplitude      A = 4 * intg * rho / (d / 1000)^2  (no cap: long integrations saturate)
//   samples        d0 = 2048 - A/2 cos a,   d2 = 2048 + A/2 cos a,
//                  d1 = 2048 - A/2 sin a,   d3 = 2048 + A/2 sin a,
//                  each plus gaussian noise (sigma 3 LSB), rounded, clipped to 0..4095.
//
// The host decodes phase = atan2(d3 - d1, d2 - d0) + 16384 (mod 32768) = p, amplitude
// sqrt(((d2-d0)^2 + (d3-d1)^2) / 4) = A/2, and an uncalibrated distance
// p * R / 32768 - 2000 - round(0.33765 t_ib + 1.7 t_sensor) = d + fpn (mod R): the fixed
// 2000 mm, the temperature drift and the per-pixel fpn are what calibration removes.
//
// fpn: a per-pixel offset drawn once from a gaussian of sigma 20 mm for the seed.
//
// The T0 sensor computes phase and amplitude on the chip; its words (low 12 bits) are
// phase = (d + fpn) / 1000 / 3.122838 * 4096 (mod 4096, noise sigma 1 LSB) and
// amplitude = A/2 clipped to 4095 (noise sigma 2 LSB).
#pragma once
#include <array>
#include <cstdint>

namespace camsim {

inline constexpr double kHalfLightSpeedMmPerS = 149896229000.0;
inline constexpr double kRawOffsetMm = 2000.0;
inline constexpr float kTcoefIbMm = 0.33765f;   // mm per 0.1 degC of the board
inline constexpr float kTcoefSensorMm = 1.7f;   // mm per 0.1 degC of the sensor
inline constexpr double kPhaseUnits = 32768.0;  // one period
inline constexpr double kAmplitudeGain = 4.0;   // A = gain * intg * rho / d_m^2
inline constexpr float kSampleMid = 2048.0f;
inline constexpr float kSampleMax = 4095.0f;  // 12-bit samples; 4095 marks saturation
inline constexpr float kSampleNoiseLsb = 3.0f;
inline constexpr double kFpnSigmaMm = 20.0;
inline constexpr uint32_t kDefaultModFreqHz = 12000000;

// A desynchronised sensor delivers DCS2 and DCS3 from the next exposure's DCS0 and DCS1
// slots, read out before the pixel baseline settled: opposite samples then no longer add up
// to twice the mid level.
inline constexpr float kDesyncBaselineLsb = 300.0f;

inline constexpr double kTiRangeMm = 3122.838;  // one period of the T0 phase word
inline constexpr double kTiWordUnits = 4096.0;
inline constexpr float kTiPhaseNoiseLsb = 1.0f;
inline constexpr float kTiAmplitudeNoiseLsb = 2.0f;

// Unambiguous range in mm at modulation frequency f (Hz), as the host computes it.
uint32_t range_mm(uint32_t mod_freq_hz);

// The temperature drift of the raw distance in mm.
int32_t temperature_drift_mm(int16_t t_sensor, int16_t t_ib);

// Phase in 1/32768 period, [0, 32768), of raw distance r at range R.
double phase_units(double raw_mm, uint32_t range);

// Amplitude A of the model for the given integration time, reflectivity and distance.
double amplitude(double intg, double reflectivity, double distance_mm);

// splitmix64: small, fast, seedable; good enough for sensor noise.
struct SplitMix64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return (next() >> 11) * 0x1.0p-53; }  // [0, 1)
    double normal();                                         // Box-Muller, N(0, 1)
};

// Standard normal values at 4096 evenly spaced quantiles: indexing it with 12 random bits
// draws a gaussian sample without any per-sample transcendental call.
inline constexpr unsigned kNormalTableBits = 12;
const std::array<float, 1u << kNormalTableBits> &normal_table();

// cos and sin of 2 pi x for x in [0, 1), by linear interpolation in a table (error < 3e-7).
inline constexpr unsigned kTrigTableSize = 4096;
struct TrigTable {
    std::array<float, kTrigTableSize + 1> cos_, sin_;
};
const TrigTable &trig_table();
inline void cos_sin_turn(const TrigTable &t, double x, float &c, float &s) {
    const double pos = x * kTrigTableSize;
    unsigned i = static_cast<unsigned>(pos);
    if (i >= kTrigTableSize) i = kTrigTableSize - 1;
    const float frac = static_cast<float>(pos - i);
    c = t.cos_[i] + frac * (t.cos_[i + 1] - t.cos_[i]);
    s = t.sin_[i] + frac * (t.sin_[i + 1] - t.sin_[i]);
}

}  // namespace camsim
