#include "phase_model.h"

#include <cmath>
#include <numbers>

namespace camsim {

uint32_t range_mm(uint32_t mod_freq_hz) {
    if (mod_freq_hz == 0) mod_freq_hz = kDefaultModFreqHz;
    // The host divides by the frequency held as a 32-bit float.
    return static_cast<uint32_t>(kHalfLightSpeedMmPerS / static_cast<float>(mod_freq_hz));
}

int32_t temperature_drift_mm(int16_t t_sensor, int16_t t_ib) {
    if (t_ib == 0) t_ib = t_sensor;
    const float drift = t_ib * kTcoefIbMm + t_sensor * kTcoefSensorMm;
    return static_cast<int32_t>(std::lround(drift));
}

double phase_units(double raw_mm, uint32_t range) {
    double m = std::fmod(raw_mm, static_cast<double>(range));
    if (m < 0) m += range;
    return m * kPhaseUnits / range;
}

double amplitude(double intg, double reflectivity, double distance_mm) {
    const double d_m = distance_mm / 1000.0;
    return kAmplitudeGain * intg * reflectivity / (d_m * d_m);
}

double SplitMix64::normal() {
    double u1 = uniform();
    while (u1 <= 0) u1 = uniform();
    const double u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

namespace {

// Inverse of the standard normal distribution function (rational approximations with one
// Newton refinement on erfc; accurate to double precision for this table).
double inverse_normal_cdf(double p) {
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                               -2.759285104469687e+02, 1.383577518672690e+02,
                               -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                               -1.556989798598866e+02, 6.680131188771972e+01,
                               -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                               -2.400758277161838e+00, -2.549732539343734e+00,
                               4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    constexpr double kLow = 0.02425;
    double x;
    if (p < kLow) {
        const double q = std::sqrt(-2 * std::log(p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    } else if (p <= 1 - kLow) {
        const double q = p - 0.5, r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
    } else {
        const double q = std::sqrt(-2 * std::log(1 - p));
        x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    }
    const double e = 0.5 * std::erfc(-x / std::numbers::sqrt2) - p;
    const double u = e * std::sqrt(2 * std::numbers::pi) * std::exp(x * x / 2);
    return x - u / (1 + x * u / 2);
}

}  // namespace

const std::array<float, 1u << kNormalTableBits> &normal_table() {
    static const auto table = [] {
        std::array<float, 1u << kNormalTableBits> t{};
        for (size_t i = 0; i < t.size(); ++i) {
            t[i] = static_cast<float>(inverse_normal_cdf((i + 0.5) / t.size()));
        }
        return t;
    }();
    return table;
}

const TrigTable &trig_table() {
    static const TrigTable table = [] {
        TrigTable t{};
        for (unsigned i = 0; i <= kTrigTableSize; ++i) {
            const double a = 2.0 * std::numbers::pi * i / kTrigTableSize;
            t.cos_[i] = static_cast<float>(std::cos(a));
            t.sin_[i] = static_cast<float>(std::sin(a));
        }
        return t;
    }();
    return table;
}

}  // namespace camsim
