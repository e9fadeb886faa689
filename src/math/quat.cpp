// Quaternions (x, y, z, w).
#include <cmath>

#include "kavri/geom.h"
#include "math/geom.h"
#include "math/geom_util.h"

using kavri::geom::load;
using kavri::geom::store;
using kavri::geom::target;
using Q = kavri::geom::Values<4>;

namespace {

constexpr double kSlerpMinSin = 0.001;

double dot4(const Q &a, const Q &b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
}

// Rotation block of q, element (r, c) at index stride * c + r.
template <size_t N, int kStride>
void rotation_block(const double *quat, kavri::geom::Values<N> &m) {
    const double x = quat[0], y = quat[1], z = quat[2], w = quat[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double block[9] = {1 - (y * y2 + z * z2), x * y2 + w * z2,       x * z2 - w * y2,
                             x * y2 - w * z2,       1 - (x * x2 + z * z2), y * z2 + w * x2,
                             x * z2 + w * y2,       y * z2 - w * x2,       1 - (x * x2 + y * y2)};
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) m[kStride * c + r] = block[3 * c + r];
    }
}

}  // namespace

namespace kavri::geom {

double *mat4_fromRotationTranslation(const double *quat, const double *vec, double *dest) {
    if (quat == nullptr || vec == nullptr) return nullptr;
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    kavri::geom::Values<16> m{};
    rotation_block<16, 4>(quat, m);
    m[12] = vec[0];
    m[13] = vec[1];
    m[14] = vec[2];
    m[15] = 1.0;
    return store(m, out);
}

}  // namespace kavri::geom

extern "C" {

KAVRI_API double *quat_create(const double *quat) {
    double *out = kavri::geom::allocate<4>();
    if (out != nullptr && quat != nullptr) store(load<4>(quat), out);
    return out;
}

KAVRI_API double *quat_set(const double *quat, double *dest) {
    if (quat == nullptr || dest == nullptr) return nullptr;
    return store(load<4>(quat), dest);
}

KAVRI_API double *quat_calculateW(double *quat, double *dest) {
    if (quat == nullptr) return nullptr;
    const double x = quat[0], y = quat[1], z = quat[2];
    return store(Q{x, y, z, -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z))},
                 target(dest, quat));
}

KAVRI_API double quat_dot(const double *quat, const double *quat2) {
    if (quat == nullptr || quat2 == nullptr) return 0.0;
    return dot4(load<4>(quat), load<4>(quat2));
}

KAVRI_API double *quat_inverse(double *quat, double *dest) {
    if (quat == nullptr) return nullptr;
    const Q q = load<4>(quat);
    const double d = dot4(q, q);
    return store(Q{-q[0] / d, -q[1] / d, -q[2] / d, q[3] / d}, target(dest, quat));
}

KAVRI_API double *quat_conjugate(double *quat, double *dest) {
    if (quat == nullptr) return nullptr;
    return store(Q{-quat[0], -quat[1], -quat[2], quat[3]}, target(dest, quat));
}

KAVRI_API double quat_length(const double *quat) {
    if (quat == nullptr) return 0.0;
    const Q q = load<4>(quat);
    return std::sqrt(dot4(q, q));
}

KAVRI_API double *quat_normalize(double *quat, double *dest) {
    if (quat == nullptr) return nullptr;
    const Q q = load<4>(quat);
    const double len = std::sqrt(dot4(q, q));
    if (len == 0.0) return store(Q{}, target(dest, quat));
    return store(Q{q[0] / len, q[1] / len, q[2] / len, q[3] / len}, target(dest, quat));
}

KAVRI_API double *quat_multiply(double *quat, const double *quat2, double *dest) {
    if (quat == nullptr || quat2 == nullptr) return nullptr;
    const Q a = load<4>(quat);
    const Q b = load<4>(quat2);
    const Q p{a[0] * b[3] + a[3] * b[0] + a[1] * b[2] - a[2] * b[1],
              a[1] * b[3] + a[3] * b[1] + a[2] * b[0] - a[0] * b[2],
              a[2] * b[3] + a[3] * b[2] + a[0] * b[1] - a[1] * b[0],
              a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]};
    return store(p, target(dest, quat));
}

KAVRI_API double *quat_multiplyVec3(const double *quat, double *vec, double *dest) {
    if (quat == nullptr || vec == nullptr) return nullptr;
    const double qx = quat[0], qy = quat[1], qz = quat[2], qw = quat[3];
    const double x = vec[0], y = vec[1], z = vec[2];
    // p = q * (v, 0), then p * conjugate(q).
    const double ix = qw * x + qy * z - qz * y;
    const double iy = qw * y + qz * x - qx * z;
    const double iz = qw * z + qx * y - qy * x;
    const double iw = -qx * x - qy * y - qz * z;
    const kavri::geom::Values<3> r{ix * qw - iw * qx - iy * qz + iz * qy,
                                   iy * qw - iw * qy - iz * qx + ix * qz,
                                   iz * qw - iw * qz - ix * qy + iy * qx};
    return store(r, target(dest, vec));
}

KAVRI_API double *quat_toMat3(const double *quat, double *dest) {
    if (quat == nullptr) return nullptr;
    double *out = kavri::geom::target_or_new<9>(dest);
    if (out == nullptr) return nullptr;
    kavri::geom::Values<9> m{};
    rotation_block<9, 3>(quat, m);
    return store(m, out);
}

KAVRI_API double *quat_toMat4(const double *quat, double *dest) {
    const double origin[3] = {0, 0, 0};
    return kavri::geom::mat4_fromRotationTranslation(quat, origin, dest);
}

KAVRI_API double *mat4_fromRotationTranslation(const double *quat, const double *vec,
                                               double *dest) {
    return kavri::geom::mat4_fromRotationTranslation(quat, vec, dest);
}

KAVRI_API double *quat_slerp(double *quat, const double *quat2, double slerp, double *dest) {
    if (quat == nullptr || quat2 == nullptr) return nullptr;
    double *out = target(dest, quat);
    const Q a = load<4>(quat);
    const Q b = load<4>(quat2);
    const double cos_half = dot4(a, b);  // no sign flip: the arc may be the longer one
    if (std::fabs(cos_half) >= 1.0) return store(a, out);
    const double half = std::acos(cos_half);
    const double sin_half = std::sqrt(1.0 - cos_half * cos_half);
    Q r{};
    if (std::fabs(sin_half) < kSlerpMinSin) {
        for (int i = 0; i < 4; ++i) r[i] = a[i] * 0.5 + b[i] * 0.5;
    } else {
        const double ra = std::sin((1.0 - slerp) * half) / sin_half;
        const double rb = std::sin(slerp * half) / sin_half;
        for (int i = 0; i < 4; ++i) r[i] = a[i] * ra + b[i] * rb;
    }
    return store(r, out);
}

}  // extern "C"
