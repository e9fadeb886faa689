// 4x4 matrices (column-major): copies, products, inverses, conversions.
#include "kavri/geom.h"
#include "math/geom.h"
#include "math/geom_util.h"

using kavri::geom::load;
using kavri::geom::store;
using kavri::geom::target;
using M4 = kavri::geom::Values<16>;
using M3 = kavri::geom::Values<9>;

namespace {

// The twelve 2x2 sub-determinants of the upper (rows 0-1) and lower (rows 2-3)
// halves, with the determinant they expand to.
struct Cofactors {
    double s[6];
    double c[6];
    double det;
};

Cofactors cofactors(const M4 &m) {
    // a(r, c) = m[4c + r]
    auto a = [&m](int r, int c) { return m[4 * c + r]; };
    Cofactors k{};
    k.s[0] = a(0, 0) * a(1, 1) - a(1, 0) * a(0, 1);
    k.s[1] = a(0, 0) * a(1, 2) - a(1, 0) * a(0, 2);
    k.s[2] = a(0, 0) * a(1, 3) - a(1, 0) * a(0, 3);
    k.s[3] = a(0, 1) * a(1, 2) - a(1, 1) * a(0, 2);
    k.s[4] = a(0, 1) * a(1, 3) - a(1, 1) * a(0, 3);
    k.s[5] = a(0, 2) * a(1, 3) - a(1, 2) * a(0, 3);
    k.c[5] = a(2, 2) * a(3, 3) - a(3, 2) * a(2, 3);
    k.c[4] = a(2, 1) * a(3, 3) - a(3, 1) * a(2, 3);
    k.c[3] = a(2, 1) * a(3, 2) - a(3, 1) * a(2, 2);
    k.c[2] = a(2, 0) * a(3, 3) - a(3, 0) * a(2, 3);
    k.c[1] = a(2, 0) * a(3, 2) - a(3, 0) * a(2, 2);
    k.c[0] = a(2, 0) * a(3, 1) - a(3, 0) * a(2, 1);
    k.det = k.s[0] * k.c[5] - k.s[1] * k.c[4] + k.s[2] * k.c[3] + k.s[3] * k.c[2] -
            k.s[4] * k.c[1] + k.s[5] * k.c[0];
    return k;
}

}  // namespace

namespace kavri::geom {

double *mat4_set(const double *mat, double *dest) {
    if (mat == nullptr || dest == nullptr) return nullptr;
    return store(load<16>(mat), dest);
}

double *mat4_identity(double *dest) {
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    return store(M4{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, out);
}

double *mat4_inverse(double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    const Cofactors k = cofactors(m);
    if (k.det == 0.0) return nullptr;
    const double inv = 1.0 / k.det;
    auto a = [&m](int r, int c) { return m[4 * c + r]; };
    const double *s = k.s;
    const double *c = k.c;
    // Adjugate, element (r, c) stored at 4c + r.
    M4 out{};
    out[0] = (a(1, 1) * c[5] - a(1, 2) * c[4] + a(1, 3) * c[3]) * inv;
    out[4] = (-a(0, 1) * c[5] + a(0, 2) * c[4] - a(0, 3) * c[3]) * inv;
    out[8] = (a(3, 1) * s[5] - a(3, 2) * s[4] + a(3, 3) * s[3]) * inv;
    out[12] = (-a(2, 1) * s[5] + a(2, 2) * s[4] - a(2, 3) * s[3]) * inv;
    out[1] = (-a(1, 0) * c[5] + a(1, 2) * c[2] - a(1, 3) * c[1]) * inv;
    out[5] = (a(0, 0) * c[5] - a(0, 2) * c[2] + a(0, 3) * c[1]) * inv;
    out[9] = (-a(3, 0) * s[5] + a(3, 2) * s[2] - a(3, 3) * s[1]) * inv;
    out[13] = (a(2, 0) * s[5] - a(2, 2) * s[2] + a(2, 3) * s[1]) * inv;
    out[2] = (a(1, 0) * c[4] - a(1, 1) * c[2] + a(1, 3) * c[0]) * inv;
    out[6] = (-a(0, 0) * c[4] + a(0, 1) * c[2] - a(0, 3) * c[0]) * inv;
    out[10] = (a(3, 0) * s[4] - a(3, 1) * s[2] + a(3, 3) * s[0]) * inv;
    out[14] = (-a(2, 0) * s[4] + a(2, 1) * s[2] - a(2, 3) * s[0]) * inv;
    out[3] = (-a(1, 0) * c[3] + a(1, 1) * c[1] - a(1, 2) * c[0]) * inv;
    out[7] = (a(0, 0) * c[3] - a(0, 1) * c[1] + a(0, 2) * c[0]) * inv;
    out[11] = (-a(3, 0) * s[3] + a(3, 1) * s[1] - a(3, 2) * s[0]) * inv;
    out[15] = (a(2, 0) * s[3] - a(2, 1) * s[1] + a(2, 2) * s[0]) * inv;
    return store(out, target(dest, mat));
}

double *mat4_toInverseMat3(const double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    // Upper-left block b(r, c) = m[4c + r]; inverse by cofactors.
    auto b = [&m](int r, int c) { return m[4 * c + r]; };
    const double c00 = b(1, 1) * b(2, 2) - b(1, 2) * b(2, 1);
    const double c01 = b(1, 2) * b(2, 0) - b(1, 0) * b(2, 2);
    const double c02 = b(1, 0) * b(2, 1) - b(1, 1) * b(2, 0);
    const double det = b(0, 0) * c00 + b(0, 1) * c01 + b(0, 2) * c02;
    if (det == 0.0) return nullptr;
    double *out = kavri::geom::target_or_new<9>(dest);
    if (out == nullptr) return nullptr;
    const double inv = 1.0 / det;
    M3 r{};
    // Inverse element (r, c) = cofactor(c, r) / det, stored at 3c + r.
    r[0] = c00 * inv;
    r[1] = c01 * inv;
    r[2] = c02 * inv;
    r[3] = (b(0, 2) * b(2, 1) - b(0, 1) * b(2, 2)) * inv;
    r[4] = (b(0, 0) * b(2, 2) - b(0, 2) * b(2, 0)) * inv;
    r[5] = (b(0, 1) * b(2, 0) - b(0, 0) * b(2, 1)) * inv;
    r[6] = (b(0, 1) * b(1, 2) - b(0, 2) * b(1, 1)) * inv;
    r[7] = (b(0, 2) * b(1, 0) - b(0, 0) * b(1, 2)) * inv;
    r[8] = (b(0, 0) * b(1, 1) - b(0, 1) * b(1, 0)) * inv;
    return store(r, out);
}

double *mat4_multiply(double *mat, const double *mat2, double *dest) {
    if (mat == nullptr || mat2 == nullptr) return nullptr;
    const M4 a = load<16>(mat);
    const M4 b = load<16>(mat2);
    M4 p{};
    for (int c = 0; c < 4; ++c) {
        for (int r = 0; r < 4; ++r) {
            p[4 * c + r] = a[r] * b[4 * c] + a[4 + r] * b[4 * c + 1] + a[8 + r] * b[4 * c + 2] +
                           a[12 + r] * b[4 * c + 3];
        }
    }
    return store(p, target(dest, mat));
}

double *mat4_multiplyVec4(const double *mat, double *vec, double *dest) {
    if (mat == nullptr || vec == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    const auto v = load<4>(vec);
    kavri::geom::Values<4> r{};
    for (int i = 0; i < 4; ++i) {
        r[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i] * v[3];
    }
    return store(r, target(dest, vec));
}

}  // namespace kavri::geom

extern "C" {

KAVRI_API double *mat4_create(const double *mat) {
    double *out = kavri::geom::allocate<16>();
    if (out != nullptr && mat != nullptr) store(load<16>(mat), out);
    return out;
}

KAVRI_API double *mat4_set(const double *mat, double *dest) {
    return kavri::geom::mat4_set(mat, dest);
}

KAVRI_API double *mat4_identity(double *dest) {
    return kavri::geom::mat4_identity(dest);
}

KAVRI_API double *mat4_transpose(double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    M4 t{};
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) t[4 * c + r] = m[4 * r + c];
    }
    return store(t, target(dest, mat));
}

KAVRI_API double mat4_determinant(const double *mat) {
    if (mat == nullptr) return 0.0;
    return cofactors(load<16>(mat)).det;
}

KAVRI_API double *mat4_inverse(double *mat, double *dest) {
    return kavri::geom::mat4_inverse(mat, dest);
}

KAVRI_API double *mat4_toRotationMat(const double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    M4 m = load<16>(mat);
    m[12] = m[13] = m[14] = 0.0;
    m[15] = 1.0;
    return store(m, out);
}

KAVRI_API double *mat4_toMat3(const double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    double *out = kavri::geom::target_or_new<9>(dest);
    if (out == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    return store(M3{m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]}, out);
}

KAVRI_API double *mat4_toInverseMat3(const double *mat, double *dest) {
    return kavri::geom::mat4_toInverseMat3(mat, dest);
}

KAVRI_API double *mat4_multiply(double *mat, const double *mat2, double *dest) {
    return kavri::geom::mat4_multiply(mat, mat2, dest);
}

KAVRI_API double *mat4_multiplyVec3(const double *mat, double *vec, double *dest) {
    if (mat == nullptr || vec == nullptr) return nullptr;
    const M4 m = load<16>(mat);
    const auto v = load<3>(vec);
    kavri::geom::Values<3> r{};
    for (int i = 0; i < 3; ++i) r[i] = m[i] * v[0] + m[4 + i] * v[1] + m[8 + i] * v[2] + m[12 + i];
    return store(r, target(dest, vec));
}

KAVRI_API double *mat4_multiplyVec4(const double *mat, double *vec, double *dest) {
    return kavri::geom::mat4_multiplyVec4(mat, vec, dest);
}

}  // extern "C"
