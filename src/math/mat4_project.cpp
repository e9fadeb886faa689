// Projection and view matrices.
#include <cmath>

#include "kavri/geom.h"
#include "math/geom.h"
#include "math/geom_util.h"

using kavri::geom::store;
using M4 = kavri::geom::Values<16>;
using V3 = kavri::geom::Values<3>;

namespace {

constexpr double kPi = 3.14159265358979323846;

V3 unit_or_zero(const V3 &v) {
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len == 0.0) return V3{};
    return V3{v[0] / len, v[1] / len, v[2] / len};
}

V3 cross(const V3 &a, const V3 &b) {
    return V3{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const V3 &a, const double *b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

}  // namespace

namespace kavri::geom {

double *mat4_frustum(double left, double right, double bottom, double top, double near_z,
                     double far_z, double *dest) {
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    const double rl = right - left;
    const double tb = top - bottom;
    const double fn = far_z - near_z;
    M4 m{};
    m[0] = 2.0 * near_z / rl;
    m[5] = 2.0 * near_z / tb;
    m[8] = (right + left) / rl;
    m[9] = (top + bottom) / tb;
    m[10] = -(far_z + near_z) / fn;
    m[11] = -1.0;
    m[14] = -(2.0 * far_z * near_z) / fn;
    return store(m, out);
}

}  // namespace kavri::geom

extern "C" {

KAVRI_API double *mat4_frustum(double left, double right, double bottom, double top, double near_z,
                               double far_z, double *dest) {
    return kavri::geom::mat4_frustum(left, right, bottom, top, near_z, far_z, dest);
}

KAVRI_API double *mat4_perspective(double fovy, double aspect, double near_z, double far_z,
                                   double *dest) {
    const double top = near_z * std::tan(fovy * kPi / 360.0);
    const double right = top * aspect;
    return kavri::geom::mat4_frustum(-right, right, -top, top, near_z, far_z, dest);
}

KAVRI_API double *mat4_ortho(double left, double right, double bottom, double top, double near_z,
                             double far_z, double *dest) {
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    const double rl = right - left;
    const double tb = top - bottom;
    const double fn = far_z - near_z;
    M4 m{};
    m[0] = 2.0 / rl;
    m[5] = 2.0 / tb;
    m[10] = -2.0 / fn;
    m[12] = -(left + right) / rl;
    m[13] = -(top + bottom) / tb;
    m[14] = -(far_z + near_z) / fn;
    m[15] = 1.0;
    return store(m, out);
}

KAVRI_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                              double *dest) {
    if (eye == nullptr || center == nullptr || up == nullptr) return nullptr;
    if (eye[0] == center[0] && eye[1] == center[1] && eye[2] == center[2]) {
        return kavri::geom::mat4_identity(dest);
    }
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    const V3 z = unit_or_zero(V3{eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]});
    const V3 x = unit_or_zero(cross(V3{up[0], up[1], up[2]}, z));
    const V3 y = unit_or_zero(cross(z, x));
    // Rows x, y, z of the upper-left block; translation brings the eye to the origin.
    const M4 m{x[0], y[0], z[0], 0, x[1],         y[1],         z[1],         0,
               x[2], y[2], z[2], 0, -dot(x, eye), -dot(y, eye), -dot(z, eye), 1};
    return store(m, out);
}

KAVRI_API double *vec3_unproject(double *vec, const double *view, const double *proj,
                                 const double *viewport, double *dest) {
    if (vec == nullptr || view == nullptr || proj == nullptr || viewport == nullptr) {
        return nullptr;
    }
    double n[4] = {(vec[0] - viewport[0]) * 2.0 / viewport[2] - 1.0,
                   (vec[1] - viewport[1]) * 2.0 / viewport[3] - 1.0, vec[2] * 2.0 - 1.0, 1.0};
    double m[16];
    kavri::geom::mat4_set(proj, m);
    kavri::geom::mat4_multiply(m, view, nullptr);
    if (kavri::geom::mat4_inverse(m, nullptr) == nullptr) return nullptr;
    kavri::geom::mat4_multiplyVec4(m, n, nullptr);
    if (n[3] == 0.0) return nullptr;
    return store(V3{n[0] / n[3], n[1] / n[3], n[2] / n[3]}, kavri::geom::target(dest, vec));
}

}  // extern "C"
