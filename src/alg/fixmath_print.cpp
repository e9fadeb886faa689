// Generator of the atan2 table's source text.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "kavri/kvmath.h"

namespace {

constexpr double kUnitsPerTurn = 32768.0;
constexpr double kTwoPi = 2.0 * 3.14159265358979323846;
constexpr int32_t kValuesPerLine = 16;

}  // namespace

extern "C" KAVRI_API int32_t kv_math_lut_print_arctan2(int32_t n) {
    std::printf("#define ARCTAN2_LUT_NUM %d\n", n);
    std::printf("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n");
    if (n > 0) {
        const auto last = static_cast<double>(n - 1);
        for (int32_t i = 0; i < n; ++i) {
            // std::round rounds halves away from zero.
            const double angle =
                std::round(std::atan2(static_cast<double>(i), last) * kUnitsPerTurn / kTwoPi);
            std::printf("%u, ", static_cast<unsigned>(static_cast<uint16_t>(angle)));
            if (i >= 1 && (i & (kValuesPerLine - 1)) == kValuesPerLine - 1) std::printf("\n    ");
        }
        if (n % kValuesPerLine != 0) std::printf("\n");
    }
    return std::printf("};\n");
}
