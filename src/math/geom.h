// The matrix functions the lens map and the other geometry functions use.
// Each is the exported call of the same name, in this namespace, and does
// what it does; the library calls these, never the exported symbols, which
// an application may replace.
#pragma once

namespace kavri::geom {

double *mat3_set(const double *mat, double *dest);
double *mat3_toMat4(const double *mat, double *dest);
double *mat3_inverse(double *mat, double *dest);
double *mat4_set(const double *mat, double *dest);
double *mat4_identity(double *dest);
double *mat4_inverse(double *mat, double *dest);
double *mat4_toInverseMat3(const double *mat, double *dest);
double *mat4_multiply(double *mat, const double *mat2, double *dest);
double *mat4_multiplyVec4(const double *mat, double *vec, double *dest);
double *mat4_frustum(double left, double right, double bottom, double top, double near_z,
                     double far_z, double *dest);
double *mat4_fromRotationTranslation(const double *quat, const double *vec, double *dest);

}  // namespace kavri::geom
