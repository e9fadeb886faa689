// Affine edits of 4x4 matrices, right-multiplied: the result is m * T, m * S, m * R.
#include <cmath>

#include "kavri/geom.h"
#include "math/geom_util.h"

using kavri::geom::load;
using kavri::geom::store;
using kavri::geom::target;
using M4 = kavri::geom::Values<16>;

namespace {

// Column j of m combined with weights w: sum_k col_k(m) * w[k], k = 0..2.
void combine_columns(const M4 &m, const double (&w)[3], M4 &out, int column) {
    for (int r = 0; r < 4; ++r) {
        out[4 * column + r] = m[r] * w[0] + m[4 + r] * w[1] + m[8 + r] * w[2];
    }
}

// Rotation in the plane of columns p and q: p <- c*p + s*q, q <- c*q - s*p.
double *rotate_plane(double *mat, double angle, double *dest, int p, int q) {
    if (mat == nullptr) return nullptr;
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const M4 m = load<16>(mat);
    M4 out = m;
    for (int r = 0; r < 4; ++r) {
        out[4 * p + r] = m[4 * p + r] * c + m[4 * q + r] * s;
        out[4 * q + r] = m[4 * q + r] * c - m[4 * p + r] * s;
    }
    return store(out, target(dest, mat));
}

}  // namespace

extern "C" {

KAVRI_API double *mat4_translate(double *mat, const double *vec, double *dest) {
    if (mat == nullptr || vec == nullptr) return nullptr;
    M4 m = load<16>(mat);
    for (int r = 0; r < 4; ++r) {
        m[12 + r] = m[r] * vec[0] + m[4 + r] * vec[1] + m[8 + r] * vec[2] + m[12 + r];
    }
    return store(m, target(dest, mat));
}

KAVRI_API double *mat4_scale(double *mat, const double *vec, double *dest) {
    if (mat == nullptr || vec == nullptr) return nullptr;
    M4 m = load<16>(mat);
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 4; ++r) m[4 * c + r] *= vec[c];
    }
    return store(m, target(dest, mat));
}

KAVRI_API double *mat4_rotate(double *mat, double angle, const double *axis, double *dest) {
    if (mat == nullptr || axis == nullptr) return nullptr;
    double x = axis[0];
    double y = axis[1];
    double z = axis[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) return nullptr;
    if (len != 1.0) {
        x /= len;
        y /= len;
        z /= len;
    }
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const double t = 1.0 - c;
    // Columns of the rotation block R (rows listed: [x*x*t + c, x*y*t - z*s, x*z*t + y*s], ...).
    const double col0[3] = {x * x * t + c, x * y * t + z * s, x * z * t - y * s};
    const double col1[3] = {x * y * t - z * s, y * y * t + c, y * z * t + x * s};
    const double col2[3] = {x * z * t + y * s, y * z * t - x * s, z * z * t + c};
    const M4 m = load<16>(mat);
    M4 out = m;
    combine_columns(m, col0, out, 0);
    combine_columns(m, col1, out, 1);
    combine_columns(m, col2, out, 2);
    return store(out, target(dest, mat));
}

KAVRI_API double *mat4_rotateX(double *mat, double angle, double *dest) {
    return rotate_plane(mat, angle, dest, 1, 2);
}

KAVRI_API double *mat4_rotateY(double *mat, double angle, double *dest) {
    // column 0 <- c*col0 - s*col2, column 2 <- s*col0 + c*col2
    return rotate_plane(mat, -angle, dest, 0, 2);
}

KAVRI_API double *mat4_rotateZ(double *mat, double angle, double *dest) {
    return rotate_plane(mat, angle, dest, 0, 1);
}

}  // extern "C"
