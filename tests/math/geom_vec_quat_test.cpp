// Vectors and quaternions: arithmetic, destinations, special cases and text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kavri/geom.h"
#include "math/geom_test_util.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Vec3, CreateCopiesOrZeroes) {
    const double v[3] = {1, 2, 3};
    Owned a(vec3_create(v));
    Owned z(vec3_create(nullptr));
    const double zero[3] = {0, 0, 0};
    expect_values(a.get(), v, 3);
    expect_values(z.get(), zero, 3);
}

TEST(Vec3, OperationsWriteIntoTheFirstOperandWithoutADestination) {
    double a[3] = {1, 2, 3};
    const double b[3] = {4, -5, 6};
    double out[3];
    EXPECT_EQ(vec3_add(a, b, out), out);
    const double sum[3] = {5, -3, 9};
    expect_values(out, sum, 3);
    const double orig[3] = {1, 2, 3};
    expect_values(a, orig, 3);
    EXPECT_EQ(vec3_subtract(a, b, nullptr), a);
    const double diff[3] = {-3, 7, -3};
    expect_values(a, diff, 3);
    EXPECT_EQ(vec3_multiply(a, b, nullptr), a);
    const double prod[3] = {-12, -35, -18};
    expect_values(a, prod, 3);
}

TEST(Vec3, CrossDotLengthDistanceLerp) {
    double x[3] = {1, 0, 0};
    const double y[3] = {0, 1, 0};
    double out[3];
    const double z[3] = {0, 0, 1};
    expect_values(vec3_cross(x, y, out), z, 3);
    EXPECT_EQ(vec3_dot(x, y), 0.0);
    const double v[3] = {3, 0, 4};
    EXPECT_EQ(vec3_length(v), 5.0);
    EXPECT_EQ(vec3_dist(x, v), std::sqrt(4.0 + 16.0));
    const double mid[3] = {0.5, 0.5, 0};
    expect_values(vec3_lerp(x, y, 0.5, out), mid, 3);
    double n[3] = {1, -2, 3};
    const double neg[3] = {-1, 2, -3};
    expect_values(vec3_negate(n, nullptr), neg, 3);
    const double scaled[3] = {-2, 4, -6};
    expect_values(vec3_scale(n, 2, nullptr), scaled, 3);
}

TEST(Vec3, CrossMayWriteOverAnOperand) {
    double a[3] = {1, 0, 0};
    double b[3] = {0, 1, 0};
    vec3_cross(a, b, b);
    const double z[3] = {0, 0, 1};
    expect_values(b, z, 3);
}

TEST(Vec3, NormalizeAndDirection) {
    double v[3] = {3, 0, 4};
    const double unit[3] = {0.6, 0, 0.8};
    expect_values(vec3_normalize(v, nullptr), unit, 3, 1e-15);
    double zero[3] = {0, 0, 0};
    const double zeros[3] = {0, 0, 0};
    expect_values(vec3_normalize(zero, nullptr), zeros, 3, 0);
    double one[3] = {0, 1, 0};
    double out[3];
    vec3_normalize(one, out);
    EXPECT_EQ(out[1], 1.0);
    double a[3] = {5, 2, 2};
    const double b[3] = {2, 2, -2};
    expect_values(vec3_direction(a, b, out), unit, 3, 1e-15);
    double same[3] = {1, 1, 1};
    expect_values(vec3_direction(same, same, out), zeros, 3, 0);
}

TEST(Vec3, TextForm) {
    const double v[3] = {1, 2, 3};
    char buf[KAVRI_VEC3_STR_MAX];
    EXPECT_EQ(vec3_str(v, buf), 30);
    EXPECT_STREQ(buf, "[1.000000, 2.000000, 3.000000]");
    const double q[4] = {0, -0.5, 1e6, 1};
    char qbuf[KAVRI_QUAT_STR_MAX];
    quat_str(q, qbuf);
    EXPECT_STREQ(qbuf, "[0.000000, -0.500000, 1000000.000000, 1.000000]");
}

TEST(Vec3, TextOfTheLargestValuesFitsTheDocumentedMaximum) {
    const double big[16] = {
        -1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308,
        -1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308,
        -1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308,
        -1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308,
        -1.7976931348623157e308, -1.7976931348623157e308, -1.7976931348623157e308,
        -1.7976931348623157e308};
    std::string buf(KAVRI_MAT4_STR_MAX, '\0');
    const int n = mat4_str(big, buf.data());
    EXPECT_EQ(n, KAVRI_MAT4_STR_MAX - 1);
    EXPECT_EQ(buf.back(), '\0');
}

TEST(Quat, MultiplyIsTheHamiltonProduct) {
    double i[4] = {1, 0, 0, 0};
    const double j[4] = {0, 1, 0, 0};
    double out[4];
    const double k[4] = {0, 0, 1, 0};
    expect_values(quat_multiply(i, j, out), k, 4);
    double ii[4] = {1, 0, 0, 0};
    const double minus_one[4] = {0, 0, 0, -1};
    expect_values(quat_multiply(ii, ii, nullptr), minus_one, 4);
}

TEST(Quat, RotatesAVectorAndMatchesItsMatrix) {
    // 90 degrees about z.
    const double s = std::sin(kPi / 4), c = std::cos(kPi / 4);
    const double q[4] = {0, 0, s, c};
    double v[3] = {1, 0, 0};
    const double y[3] = {0, 1, 0};
    expect_values(quat_multiplyVec3(q, v, nullptr), y, 3, 1e-15);
    Owned m(quat_toMat4(q, nullptr));
    double p[3] = {1, 2, 3};
    double expect[3];
    quat_multiplyVec3(q, p, expect);
    expect_values(mat4_multiplyVec3(m.get(), p, nullptr), expect, 3, 1e-15);
    Owned m3(quat_toMat3(q, nullptr));
    Owned m3_from4(mat4_toMat3(m.get(), nullptr));
    expect_values(m3.get(), m3_from4.get(), 9);
}

TEST(Quat, InverseConjugateNormalizeLength) {
    double q[4] = {1, 2, 3, 4};
    double out[4];
    const double conj[4] = {-1, -2, -3, 4};
    expect_values(quat_conjugate(q, out), conj, 4);
    const double inv[4] = {-1 / 30.0, -2 / 30.0, -3 / 30.0, 4 / 30.0};
    expect_values(quat_inverse(q, out), inv, 4);
    EXPECT_EQ(quat_length(q), std::sqrt(30.0));
    EXPECT_EQ(quat_dot(q, q), 30.0);
    quat_normalize(q, out);
    EXPECT_NEAR(quat_length(out), 1.0, 1e-15);
    double zero[4] = {0, 0, 0, 0};
    const double zeros[4] = {0, 0, 0, 0};
    expect_values(quat_normalize(zero, nullptr), zeros, 4, 0);
}

TEST(Quat, CalculateWTakesTheNegativeRootOfTheAbsoluteRemainder) {
    double q[4] = {0.6, 0, 0, 99};
    double out[4];
    quat_calculateW(q, out);
    EXPECT_DOUBLE_EQ(out[3], -0.8);
    double over[4] = {1, 1, 0, 0};
    EXPECT_DOUBLE_EQ(quat_calculateW(over, nullptr)[3], -1.0);
}

TEST(Quat, SlerpEndsAndSpecialCases) {
    double a[4] = {0, 0, 0, 1};
    const double b[4] = {0, 0, std::sin(kPi / 4), std::cos(kPi / 4)};
    double out[4];
    expect_values(quat_slerp(a, b, 0, out), a, 4, 1e-15);
    expect_values(quat_slerp(a, b, 1, out), b, 4, 1e-15);
    const double half[4] = {0, 0, std::sin(kPi / 8), std::cos(kPi / 8)};
    expect_values(quat_slerp(a, b, 0.5, out), half, 4, 1e-15);
    expect_values(quat_slerp(a, a, 0.3, out), a, 4, 0);
    // Nearly parallel: the halfway average.
    const double close[4] = {0, 0, 1e-4, std::sqrt(1 - 1e-8)};
    quat_slerp(a, close, 0.9, out);
    EXPECT_NEAR(out[2], 0.5e-4, 1e-12);
}

TEST(Geom, NullOperandsGiveNull) {
    double v[3] = {1, 2, 3};
    double m[16] = {};
    EXPECT_EQ(vec3_add(nullptr, v, nullptr), nullptr);
    EXPECT_EQ(vec3_add(v, nullptr, nullptr), nullptr);
    EXPECT_EQ(vec3_normalize(nullptr, v), nullptr);
    EXPECT_EQ(vec3_set(v, nullptr), nullptr);
    EXPECT_EQ(vec3_length(nullptr), 0.0);
    EXPECT_EQ(mat4_multiply(m, nullptr, nullptr), nullptr);
    EXPECT_EQ(mat4_multiplyVec3(nullptr, v, nullptr), nullptr);
    EXPECT_EQ(quat_slerp(nullptr, v, 0.5, nullptr), nullptr);
    EXPECT_EQ(mat4_lookAt(nullptr, v, v, nullptr), nullptr);
    EXPECT_EQ(vec3_unproject(v, nullptr, m, m, nullptr), nullptr);
    EXPECT_EQ(mat3_inverse(nullptr, nullptr), nullptr);
    EXPECT_EQ(vec3_str(nullptr, nullptr), 0);
    char buf[8];
    EXPECT_EQ(mat4_str(nullptr, buf), 0);
}

}  // namespace
