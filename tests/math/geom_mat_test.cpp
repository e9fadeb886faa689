// 3x3 and 4x4 matrices: products, inverses, transforms, projections, unprojection.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kavri/geom.h"
#include "math/geom_test_util.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kIdentity4[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const double kIdentity3[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};

void random_matrix(std::mt19937 &rng, double *m, int n) {
    std::uniform_real_distribution<double> d(-10, 10);
    for (int i = 0; i < n; ++i) m[i] = d(rng);
}

TEST(Mat4, MultiplyIsColumnMajor) {
    // Translation by (1, 2, 3) lives at 12..14; translating twice adds up.
    double t[16];
    mat4_identity(t);
    t[12] = 1;
    t[13] = 2;
    t[14] = 3;
    double out[16];
    mat4_multiply(t, t, out);
    EXPECT_EQ(out[12], 2);
    EXPECT_EQ(out[14], 6);
    // Element (r, c) at 4c + r: a has a 5 at (0, 1), b a 7 at (1, 0).
    double a[16], b[16];
    mat4_identity(a);
    mat4_identity(b);
    a[4] = 5;
    b[1] = 7;
    mat4_multiply(a, b, out);
    EXPECT_EQ(out[0], 1 + 5 * 7);  // (0,0) = a(0,1) * b(1,0) + 1
    EXPECT_EQ(out[4], 5);
}

TEST(Mat4, InverseTimesMatrixIsIdentity) {
    std::mt19937 rng(3);
    for (int k = 0; k < 100; ++k) {
        double m[16], inv[16], prod[16];
        random_matrix(rng, m, 16);
        ASSERT_NE(mat4_inverse(m, inv), nullptr);
        mat4_multiply(m, inv, prod);
        expect_values(prod, kIdentity4, 16, 1e-9);
        // The determinant of the inverse is the reciprocal.
        EXPECT_NEAR(mat4_determinant(m) * mat4_determinant(inv), 1.0, 1e-9);
    }
}

TEST(Mat4, SingularInverseIsNullAndLeavesTheDestination) {
    double m[16] = {1, 2, 3, 4, 2, 4, 6, 8, 0, 1, 0, 1, 5, 5, 5, 5};  // column 1 = 2 * column 0
    EXPECT_EQ(mat4_determinant(m), 0.0);
    double dest[16] = {9};
    EXPECT_EQ(mat4_inverse(m, dest), nullptr);
    EXPECT_EQ(dest[0], 9);
    EXPECT_EQ(m[0], 1);
    EXPECT_EQ(mat4_toInverseMat3(m, nullptr), nullptr);
}

TEST(Mat4, DeterminantOfAKnownMatrix) {
    // diag(2, 3, 4, 5) with an off-diagonal entry that does not change it.
    double m[16] = {2, 0, 0, 0, 0, 3, 0, 0, 0, 0, 4, 0, 7, 0, 0, 5};
    EXPECT_EQ(mat4_determinant(m), 120.0);
}

TEST(Mat3, InverseThroughTheFourByFourBlock) {
    std::mt19937 rng(5);
    for (int k = 0; k < 50; ++k) {
        double m[9], inv[9], prod[9];
        random_matrix(rng, m, 9);
        EXPECT_EQ(mat3_inverse(m, inv), inv);
        mat3_multiply(m, inv, prod);
        expect_values(prod, kIdentity3, 9, 1e-9);
    }
    double singular[9] = {1, 2, 3, 2, 4, 6, 0, 0, 1};
    double dest[9] = {42};
    EXPECT_EQ(mat3_inverse(singular, dest), dest);  // returned, but unchanged
    EXPECT_EQ(dest[0], 42);
    double in_place[9] = {2, 0, 0, 0, 4, 0, 0, 0, 8};
    mat3_inverse(in_place, nullptr);
    const double halves[9] = {0.5, 0, 0, 0, 0.25, 0, 0, 0, 0.125};
    expect_values(in_place, halves, 9);
}

TEST(Mat3, TransposeCreateIdentityAndWidening) {
    double m[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const double t[9] = {1, 4, 7, 2, 5, 8, 3, 6, 9};
    double out[9];
    expect_values(mat3_transpose(m, out), t, 9);
    mat3_transpose(m, nullptr);
    expect_values(m, t, 9);
    Owned id(mat3_identity(nullptr));
    expect_values(id.get(), kIdentity3, 9);
    Owned wide(mat3_toMat4(t, nullptr));
    const double w[16] = {1, 4, 7, 0, 2, 5, 8, 0, 3, 6, 9, 0, 0, 0, 0, 1};
    expect_values(wide.get(), w, 16);
    Owned copy(mat3_create(t));
    expect_values(copy.get(), t, 9);
}

TEST(Mat4, TranslateScaleRotateAreRightMultiplied) {
    double m[16];
    mat4_identity(m);
    const double s[3] = {2, 2, 2};
    mat4_scale(m, s, nullptr);
    const double v[3] = {1, 2, 3};
    mat4_translate(m, v, nullptr);
    EXPECT_EQ(m[12], 2);  // the translation is scaled: m * T
    EXPECT_EQ(m[13], 4);
    EXPECT_EQ(m[14], 6);

    double r[16], p[3] = {1, 0, 0};
    mat4_identity(r);
    mat4_rotateZ(r, kPi / 2, nullptr);
    const double y[3] = {0, 1, 0};
    expect_values(mat4_multiplyVec3(r, p, nullptr), y, 3, 1e-15);

    // rotate about an unnormalised axis equals the axis-specific rotations.
    const double axes[3][3] = {{3, 0, 0}, {0, 0.5, 0}, {0, 0, 2}};
    double *(*rot[3])(double *, double, double *) = {mat4_rotateX, mat4_rotateY, mat4_rotateZ};
    std::mt19937 rng(9);
    double base[16];
    random_matrix(rng, base, 16);
    for (int k = 0; k < 3; ++k) {
        double a[16], b[16];
        mat4_rotate(base, 0.7, axes[k], a);
        rot[k](base, 0.7, b);
        expect_values(a, b, 16, 1e-12);
    }
    const double zero[3] = {0, 0, 0};
    double dest[16] = {5};
    EXPECT_EQ(mat4_rotate(base, 1, zero, dest), nullptr);
    EXPECT_EQ(dest[0], 5);
}

TEST(Mat4, RotateYFollowsTheRightHandRule) {
    double r[16];
    mat4_identity(r);
    mat4_rotateY(r, kPi / 2, nullptr);
    double z[3] = {0, 0, 1};
    const double x[3] = {1, 0, 0};
    expect_values(mat4_multiplyVec3(r, z, nullptr), x, 3, 1e-15);
}

TEST(Mat4, ConversionsAllocateWhenNoDestination) {
    double m[16];
    for (int i = 0; i < 16; ++i) m[i] = i + 1;
    Owned rot(mat4_toRotationMat(m, nullptr));
    const double want[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 0, 0, 1};
    expect_values(rot.get(), want, 16);
    Owned m3(mat4_toMat3(m, nullptr));
    const double block[9] = {1, 2, 3, 5, 6, 7, 9, 10, 11};
    expect_values(m3.get(), block, 9);
    double t[16];
    mat4_transpose(m, t);
    EXPECT_EQ(t[1], 5);
    EXPECT_EQ(t[4], 2);
    Owned c(mat4_create(nullptr));
    const double zeros[16] = {};
    expect_values(c.get(), zeros, 16, 0);
}

TEST(Mat4, PerspectiveAndOrtho) {
    Owned p(mat4_perspective(90, 1, 1, 100, nullptr));
    const double *m = p.get();
    EXPECT_NEAR(m[0], 1, 1e-15);
    EXPECT_NEAR(m[5], 1, 1e-15);
    EXPECT_NEAR(m[10], -101.0 / 99.0, 1e-15);
    EXPECT_NEAR(m[14], -200.0 / 99.0, 1e-15);
    EXPECT_EQ(m[11], -1);
    EXPECT_EQ(m[15], 0);
    Owned o(mat4_ortho(-2, 2, -1, 1, 0, 10, nullptr));
    const double ortho[16] = {0.5, 0, 0, 0, 0, 1, 0, 0, 0, 0, -0.2, 0, 0, 0, -1, 1};
    expect_values(o.get(), ortho, 16);
}

TEST(Mat4, LookAt) {
    const double eye[3] = {0, 0, 5}, center[3] = {0, 0, 0}, up[3] = {0, 1, 0};
    Owned v(mat4_lookAt(eye, center, up, nullptr));
    double p[3] = {0, 0, 0};
    const double moved[3] = {0, 0, -5};
    expect_values(mat4_multiplyVec3(v.get(), p, nullptr), moved, 3);
    Owned same(mat4_lookAt(eye, eye, up, nullptr));
    expect_values(same.get(), kIdentity4, 16, 0);
    const double parallel_up[3] = {0, 0, 1};
    Owned degenerate(mat4_lookAt(eye, center, parallel_up, nullptr));
    const double *d = degenerate.get();
    for (int i : {0, 1, 4, 5, 8, 9}) EXPECT_EQ(d[i], 0.0) << i;  // x and y rows are zero
    EXPECT_EQ(d[10], 1.0);
}

TEST(Vec3, UnprojectInvertsProjection) {
    Owned proj(mat4_perspective(60, 4.0 / 3.0, 0.5, 50, nullptr));
    const double eye[3] = {1, 2, 3}, center[3] = {0, 0, -4}, up[3] = {0, 1, 0};
    Owned view(mat4_lookAt(eye, center, up, nullptr));
    const double viewport[4] = {10, 20, 640, 480};
    const double world[4] = {0.3, -0.2, -2, 1};
    // Forward: clip = proj * view * world, then the viewport transform.
    double clip[4] = {world[0], world[1], world[2], world[3]};
    mat4_multiplyVec4(view.get(), clip, nullptr);
    mat4_multiplyVec4(proj.get(), clip, nullptr);
    double win[3] = {viewport[0] + (clip[0] / clip[3] + 1) * viewport[2] / 2,
                     viewport[1] + (clip[1] / clip[3] + 1) * viewport[3] / 2,
                     (clip[2] / clip[3] + 1) / 2};
    double out[3];
    ASSERT_NE(vec3_unproject(win, view.get(), proj.get(), viewport, out), nullptr);
    expect_values(out, world, 3, 1e-9);
    const double zero[16] = {};
    EXPECT_EQ(vec3_unproject(win, zero, proj.get(), viewport, out), nullptr);
}

TEST(Mat4, FromRotationTranslation) {
    const double q[4] = {0, 0, 0, 1};
    const double v[3] = {4, 5, 6};
    Owned m(mat4_fromRotationTranslation(q, v, nullptr));
    const double want[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 4, 5, 6, 1};
    expect_values(m.get(), want, 16);
}

TEST(Mat4, TextForm) {
    char buf[KAVRI_MAT3_STR_MAX];
    mat3_str(kIdentity3, buf);
    EXPECT_STREQ(buf,
                 "[1.000000, 0.000000, 0.000000, 0.000000, 1.000000, 0.000000, 0.000000, "
                 "0.000000, 1.000000]");
}

}  // namespace
