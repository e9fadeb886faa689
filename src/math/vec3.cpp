// 3-vectors.
#include <cmath>

#include "kavri/geom.h"
#include "math/geom_util.h"

using kavri::geom::load;
using kavri::geom::store;
using kavri::geom::target;
using V3 = kavri::geom::Values<3>;

namespace {

double length_of(const V3 &v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
}

// Unit vector of v; the zero vector stays zero.
V3 normalized(const V3 &v) {
    const double len = length_of(v);
    if (len == 0.0) return V3{};
    if (len == 1.0) return v;
    return V3{v[0] / len, v[1] / len, v[2] / len};
}

template <typename Op>
double *elementwise(double *vec, const double *vec2, double *dest, Op op) {
    if (vec == nullptr || vec2 == nullptr) return nullptr;
    const V3 a = load<3>(vec);
    const V3 b = load<3>(vec2);
    return store(V3{op(a[0], b[0]), op(a[1], b[1]), op(a[2], b[2])}, target(dest, vec));
}

}  // namespace

extern "C" {

KAVRI_API double *vec3_create(const double *vec) {
    double *out = kavri::geom::allocate<3>();
    if (out != nullptr && vec != nullptr) store(load<3>(vec), out);
    return out;
}

KAVRI_API double *vec3_set(const double *vec, double *dest) {
    if (vec == nullptr || dest == nullptr) return nullptr;
    return store(load<3>(vec), dest);
}

KAVRI_API double *vec3_add(double *vec, const double *vec2, double *dest) {
    return elementwise(vec, vec2, dest, [](double a, double b) { return a + b; });
}

KAVRI_API double *vec3_subtract(double *vec, const double *vec2, double *dest) {
    return elementwise(vec, vec2, dest, [](double a, double b) { return a - b; });
}

KAVRI_API double *vec3_multiply(double *vec, const double *vec2, double *dest) {
    return elementwise(vec, vec2, dest, [](double a, double b) { return a * b; });
}

KAVRI_API double *vec3_negate(double *vec, double *dest) {
    if (vec == nullptr) return nullptr;
    return store(V3{-vec[0], -vec[1], -vec[2]}, target(dest, vec));
}

KAVRI_API double *vec3_scale(double *vec, double val, double *dest) {
    if (vec == nullptr) return nullptr;
    return store(V3{vec[0] * val, vec[1] * val, vec[2] * val}, target(dest, vec));
}

KAVRI_API double *vec3_normalize(double *vec, double *dest) {
    if (vec == nullptr) return nullptr;
    return store(normalized(load<3>(vec)), target(dest, vec));
}

KAVRI_API double *vec3_cross(double *vec, const double *vec2, double *dest) {
    if (vec == nullptr || vec2 == nullptr) return nullptr;
    const V3 a = load<3>(vec);
    const V3 b = load<3>(vec2);
    const V3 c{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    return store(c, target(dest, vec));
}

KAVRI_API double vec3_length(const double *vec) {
    return vec == nullptr ? 0.0 : length_of(load<3>(vec));
}

KAVRI_API double vec3_dot(const double *vec, const double *vec2) {
    if (vec == nullptr || vec2 == nullptr) return 0.0;
    return vec[0] * vec2[0] + vec[1] * vec2[1] + vec[2] * vec2[2];
}

KAVRI_API double *vec3_direction(double *vec, const double *vec2, double *dest) {
    if (vec == nullptr || vec2 == nullptr) return nullptr;
    const V3 d{vec[0] - vec2[0], vec[1] - vec2[1], vec[2] - vec2[2]};
    return store(normalized(d), target(dest, vec));
}

KAVRI_API double *vec3_lerp(double *vec, const double *vec2, double lerp, double *dest) {
    return elementwise(vec, vec2, dest, [lerp](double a, double b) { return a + lerp * (b - a); });
}

KAVRI_API double vec3_dist(const double *vec, const double *vec2) {
    if (vec == nullptr || vec2 == nullptr) return 0.0;
    return length_of(V3{vec2[0] - vec[0], vec2[1] - vec[1], vec2[2] - vec[2]});
}

}  // extern "C"
