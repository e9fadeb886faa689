// What the vector paths of the array forms (fixmath_batch.cpp for x86-64,
// fixmath_neon.cpp for arm64) share: the input ranges their 32-bit lanes
// hold, the block size of the range check, the cubics that compute a table
// entry without a memory look-up, and the scalar fallback.
#pragma once

#include <cstdint>

#include "alg/fixmath.h"

namespace kavri::lanes {

// Below 2^19, a * 4096 stays within 32 bits.
constexpr int32_t kInputBits = 19;
// Below 2^15, a * a + b * b stays within 31 bits, so the fused pass forms the
// power in 32-bit lanes.
constexpr int32_t kPowerInputBits = 15;
constexpr int32_t kMaxPowerShift = 31;
// The numerator of the table index: a * 4096.
constexpr int32_t kIndexShift = 12;
static_assert(1 << kIndexShift == kAtan2LutSize);

// The vector loops check the input range once per block: every lane's
// magnitude is ORed into one register as the block goes, and a block that
// held an out-of-range lane is done again with the scalar form (a check and a
// branch per register cost more than the arithmetic they guard). The
// magnitude of INT32_MIN keeps its top bit, so it fails the check too.
constexpr int32_t kCheckBlock = 1024;

// A table entry computed instead of loaded (gathers are slow, and arm64 has
// none): entry(q) = q + floor(r(q) + 0.5) with
// r(q) = atan(q / 4095) * 32768 / (2 pi) - q, which stays within 0..372 where
// single precision resolves 3e-5. The index range is cut into intervals, and
// on each r(q) + 0.5 is a polynomial in x = q - start, a small exact integer;
// a lane's coefficients are picked by register permutes or table look-ups.
// Evaluated by Horner's rule from the highest coefficient down, each step
// either fused (one rounding) or a multiply and an add (two), every entry of
// the table comes out exactly, at least 2.5e-4 away from the nearest rounding
// boundary (the tests compare all of them on every path). Only the low bits
// of the interval number are used, so the index 4096 (the axis a == 0, b < 0,
// see the paths) reads interval 0 at x = 0 and gives 4096 + 0: the last
// entry, an eighth.
//
// Sixteen intervals of 256 and cubics, for the AVX-512 path, whose permute
// picks one of sixteen coefficients in one instruction.
constexpr int32_t kIntervalShift16 = 8;
constexpr float kEntryCubic16[4][16] = {
    {4.999809802e-01f, 7.010513478e+01f, 1.371914814e+02f, 1.993551963e+02f, 2.544096106e+02f,
     3.004643377e+02f, 3.359754929e+02f, 3.597660163e+02f, 3.710193010e+02f, 3.692520528e+02f,
     3.542733913e+02f, 3.261369101e+02f, 2.850912397e+02f, 2.315331239e+02f, 1.659654971e+02f,
     8.896178397e+01f},
    {2.735526145e-01f, 2.685992744e-01f, 2.539584104e-01f, 2.302905483e-01f, 1.986159074e-01f,
     1.602097412e-01f, 1.164843501e-01f, 6.887617154e-02f, 1.875178316e-02f, -3.265977813e-02f,
     -8.430711890e-02f, -1.353322279e-01f, -1.850674495e-01f, -2.330198673e-01f, -2.788486465e-01f,
     -3.223396729e-01f},
    {-3.642719783e-08f, -1.941700260e-05f, -3.789792918e-05f, -5.468603987e-05f, -6.917075154e-05f,
     -8.096911574e-05f, -8.993195791e-05f, -9.611716040e-05f, -9.974205515e-05f, -1.011280921e-04f,
     -1.006485199e-04f, -9.868571415e-05f, -9.560074562e-05f, -9.171479898e-05f, -8.730036855e-05f,
     -8.257957681e-05f},
    {-2.514692238e-08f, -2.399281285e-08f, -2.181228931e-08f, -1.883890158e-08f, -1.536512229e-08f,
     -1.169250607e-08f, -8.089258027e-09f, -4.762918004e-09f, -1.849906662e-09f, 5.810190246e-10f,
     2.516592434e-09f, 3.983345792e-09f, 5.032292943e-09f, 5.726211338e-09f, 6.130328967e-09f,
     6.306291989e-09f},
};
// Eight intervals of 512 and quartics (Chebyshev interpolants rounded to
// single precision), for the eight-lane AVX2 and the NEON paths: one permute
// or one two-register table look-up picks a coefficient, where sixteen
// intervals took two and a blend.
constexpr int32_t kIntervalShift8 = 9;
constexpr int32_t kIntervals8 = 8;
constexpr int32_t kOffsetInInterval8 = (1 << kIntervalShift8) - 1;
constexpr int32_t kQuarticTerms = 5;
constexpr float kEntryQuartic8[kQuarticTerms][kIntervals8] = {
    {5.000566244e-01f, 1.371916046e+02f, 2.544097290e+02f, 3.359755859e+02f, 3.710193481e+02f,
     3.542734375e+02f, 2.850912476e+02f, 1.659654999e+02f},
    {2.735447586e-01f, 2.539444268e-01f, 1.986007839e-01f, 1.164718494e-01f, 1.874334738e-02f,
     -8.431176841e-02f, -1.850693226e-01f, -2.788487673e-01f},
    {9.034217641e-08f, -3.764020585e-05f, -6.887617201e-05f, -8.967836766e-05f, -9.956448048e-05f,
     -1.005462182e-04f, -9.555599536e-05f, -8.729285764e-05f},
    {-2.581447056e-08f, -2.335165483e-08f, -1.720379394e-08f, -9.719399507e-09f, -3.020486083e-09f,
     1.823268647e-09f, 4.714045154e-09f, 6.059880153e-09f},
    {1.129444411e-12f, 2.909113705e-12f, 3.591466534e-12f, 3.250849676e-12f, 2.374160330e-12f,
     1.431424315e-12f, 6.764577505e-13f, 1.708382378e-13f},
};

// Elements [from, to) with the scalar form.
inline void phase_amp_scalar(int32_t *phase, float *amp, const int32_t *a, const int32_t *b,
                             int32_t from, int32_t to, int32_t shift, int32_t offset) {
    for (int32_t i = from; i < to; ++i) {
        const PhaseAmp r = phase_amp(a[i], b[i], shift, offset);
        phase[i] = r.phase;
        amp[i] = r.amp;
    }
}

inline void atan2_scalar(int32_t *phase, const int32_t *a, const int32_t *b, int32_t from,
                         int32_t to) {
    for (int32_t i = from; i < to; ++i) phase[i] = atan2_phase(a[i], b[i]);
}

#if defined(__aarch64__)
// The Advanced SIMD paths (fixmath_neon.cpp), four lanes a step.
void atan2_neon(int32_t *phase, const int32_t *a, const int32_t *b, int32_t n);
void sqrt_neon(float *dst, const float *src, int32_t n);
void phase_amp_neon(int32_t *phase, float *amp, const int32_t *a, const int32_t *b, int32_t n,
                    int32_t shift, int32_t offset);
#endif

}  // namespace kavri::lanes
