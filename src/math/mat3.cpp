// 3x3 matrices (column-major).
#include "kavri/geom.h"
#include "math/geom.h"
#include "math/geom_util.h"

using kavri::geom::load;
using kavri::geom::store;
using kavri::geom::target;
using M3 = kavri::geom::Values<9>;

namespace kavri::geom {

double *mat3_set(const double *mat, double *dest) {
    if (mat == nullptr || dest == nullptr) return nullptr;
    return store(load<9>(mat), dest);
}

double *mat3_toMat4(const double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    double *out = kavri::geom::target_or_new<16>(dest);
    if (out == nullptr) return nullptr;
    const M3 m = load<9>(mat);
    return store(kavri::geom::Values<16>{m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8],
                                         0, 0, 0, 0, 1},
                 out);
}

double *mat3_inverse(double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    // Through the 4x4 widening, as the 4x4 family computes the block inverse.
    double wide[16];
    mat3_toMat4(mat, wide);
    double *out = target(dest, mat);
    mat4_toInverseMat3(wide, out);
    return out;
}

}  // namespace kavri::geom

extern "C" {

KAVRI_API double *mat3_create(const double *mat) {
    double *out = kavri::geom::allocate<9>();
    if (out != nullptr && mat != nullptr) store(load<9>(mat), out);
    return out;
}

KAVRI_API double *mat3_set(const double *mat, double *dest) {
    return kavri::geom::mat3_set(mat, dest);
}

KAVRI_API double *mat3_identity(double *dest) {
    double *out = kavri::geom::target_or_new<9>(dest);
    if (out == nullptr) return nullptr;
    return store(M3{1, 0, 0, 0, 1, 0, 0, 0, 1}, out);
}

KAVRI_API double *mat3_transpose(double *mat, double *dest) {
    if (mat == nullptr) return nullptr;
    const M3 m = load<9>(mat);
    M3 t{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) t[3 * c + r] = m[3 * r + c];
    }
    return store(t, target(dest, mat));
}

KAVRI_API double *mat3_multiply(double *mat, const double *mat2, double *dest) {
    if (mat == nullptr || mat2 == nullptr) return nullptr;
    const M3 a = load<9>(mat);
    const M3 b = load<9>(mat2);
    M3 p{};
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 3; ++r) {
            p[3 * c + r] = a[r] * b[3 * c] + a[3 + r] * b[3 * c + 1] + a[6 + r] * b[3 * c + 2];
        }
    }
    return store(p, target(dest, mat));
}

KAVRI_API double *mat3_toMat4(const double *mat, double *dest) {
    return kavri::geom::mat3_toMat4(mat, dest);
}

KAVRI_API double *mat3_inverse(double *mat, double *dest) {
    return kavri::geom::mat3_inverse(mat, dest);
}

}  // extern "C"
