/*
 * Vectors, 3x3 and 4x4 matrices and quaternions in double precision.
 * A vector is 3 doubles (x, y, z), a quaternion 4 (x, y, z, w); matrices are
 * column-major: element (row r, column c) of a 4x4 matrix is at 4c + r, of a
 * 3x3 matrix at 3c + r.
 * Operations take their operands first and an optional destination last; with a
 * NULL destination they write into their first operand and return it, except the
 * constructors and conversions, which then allocate the result (release it with
 * free()). A destination may be one of the operands. A NULL operand, a singular
 * matrix or a zero rotation axis gives NULL and leaves the destination unchanged.
 */
#ifndef KAVRI_GEOM_H
#define KAVRI_GEOM_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* Longest text of the _str functions, terminating NUL included ("%f" of the
 * largest double is 317 characters). */
#define KAVRI_GEOM_NUM_STR_MAX 317
#define KAVRI_VEC3_STR_MAX (3 * KAVRI_GEOM_NUM_STR_MAX + 2 * 2 + 3)
#define KAVRI_QUAT_STR_MAX (4 * KAVRI_GEOM_NUM_STR_MAX + 3 * 2 + 3)
#define KAVRI_MAT3_STR_MAX (9 * KAVRI_GEOM_NUM_STR_MAX + 8 * 2 + 3)
#define KAVRI_MAT4_STR_MAX (16 * KAVRI_GEOM_NUM_STR_MAX + 15 * 2 + 3)

/* ---- constructors and copies ---- */
KAVRI_API double *vec3_create(const double *vec);
KAVRI_API double *quat_create(const double *quat);
KAVRI_API double *mat3_create(const double *mat);
KAVRI_API double *mat4_create(const double *mat);
KAVRI_API double *vec3_set(const double *vec, double *dest);
KAVRI_API double *quat_set(const double *quat, double *dest);
KAVRI_API double *mat3_set(const double *mat, double *dest);
KAVRI_API double *mat4_set(const double *mat, double *dest);
KAVRI_API double *mat3_identity(double *dest);
KAVRI_API double *mat4_identity(double *dest);

/* ---- vectors ---- */
KAVRI_API double *vec3_add(double *vec, const double *vec2, double *dest);
KAVRI_API double *vec3_subtract(double *vec, const double *vec2, double *dest);
KAVRI_API double *vec3_multiply(double *vec, const double *vec2, double *dest);
KAVRI_API double *vec3_negate(double *vec, double *dest);
KAVRI_API double *vec3_scale(double *vec, double val, double *dest);
KAVRI_API double *vec3_normalize(double *vec, double *dest);
KAVRI_API double *vec3_cross(double *vec, const double *vec2, double *dest);
KAVRI_API double vec3_length(const double *vec);
KAVRI_API double vec3_dot(const double *vec, const double *vec2);
/* normalize(vec - vec2) */
KAVRI_API double *vec3_direction(double *vec, const double *vec2, double *dest);
/* vec + lerp * (vec2 - vec) */
KAVRI_API double *vec3_lerp(double *vec, const double *vec2, double lerp, double *dest);
KAVRI_API double vec3_dist(const double *vec, const double *vec2);
/* Window coordinates back to object space; viewport is (x, y, width, height). */
KAVRI_API double *vec3_unproject(double *vec, const double *view, const double *proj,
                                 const double *viewport, double *dest);
KAVRI_API int vec3_str(const double *vec, char *buf);

/* ---- 3x3 matrices ---- */
KAVRI_API double *mat3_transpose(double *mat, double *dest);
KAVRI_API double *mat3_multiply(double *mat, const double *mat2, double *dest);
/* Inverse into dest (or mat); returns dest (or mat) also when mat is singular,
 * which leaves the destination unchanged. */
KAVRI_API double *mat3_inverse(double *mat, double *dest);
KAVRI_API double *mat3_toMat4(const double *mat, double *dest);
KAVRI_API int mat3_str(const double *mat, char *buf);

/* ---- 4x4 matrices ---- */
KAVRI_API double *mat4_transpose(double *mat, double *dest);
KAVRI_API double mat4_determinant(const double *mat);
KAVRI_API double *mat4_inverse(double *mat, double *dest);
KAVRI_API double *mat4_toRotationMat(const double *mat, double *dest);
KAVRI_API double *mat4_toMat3(const double *mat, double *dest);
KAVRI_API double *mat4_toInverseMat3(const double *mat, double *dest);
KAVRI_API double *mat4_multiply(double *mat, const double *mat2, double *dest);
/* mat * (vec, 1), without division by w. */
KAVRI_API double *mat4_multiplyVec3(const double *mat, double *vec, double *dest);
KAVRI_API double *mat4_multiplyVec4(const double *mat, double *vec, double *dest);
KAVRI_API double *mat4_translate(double *mat, const double *vec, double *dest);
KAVRI_API double *mat4_scale(double *mat, const double *vec, double *dest);
KAVRI_API double *mat4_rotate(double *mat, double angle, const double *axis, double *dest);
KAVRI_API double *mat4_rotateX(double *mat, double angle, double *dest);
KAVRI_API double *mat4_rotateY(double *mat, double angle, double *dest);
KAVRI_API double *mat4_rotateZ(double *mat, double angle, double *dest);
KAVRI_API double *mat4_frustum(double left, double right, double bottom, double top, double near_z,
                               double far_z, double *dest);
/* fovy in degrees */
KAVRI_API double *mat4_perspective(double fovy, double aspect, double near_z, double far_z,
                                   double *dest);
KAVRI_API double *mat4_ortho(double left, double right, double bottom, double top, double near_z,
                             double far_z, double *dest);
KAVRI_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                              double *dest);
KAVRI_API double *mat4_fromRotationTranslation(const double *quat, const double *vec, double *dest);
KAVRI_API int mat4_str(const double *mat, char *buf);

/* ---- quaternions ---- */
/* Copies x, y, z and sets w = -sqrt(|1 - x^2 - y^2 - z^2|). */
KAVRI_API double *quat_calculateW(double *quat, double *dest);
KAVRI_API double quat_dot(const double *quat, const double *quat2);
KAVRI_API double *quat_inverse(double *quat, double *dest);
KAVRI_API double *quat_conjugate(double *quat, double *dest);
KAVRI_API double quat_length(const double *quat);
KAVRI_API double *quat_normalize(double *quat, double *dest);
KAVRI_API double *quat_multiply(double *quat, const double *quat2, double *dest);
KAVRI_API double *quat_multiplyVec3(const double *quat, double *vec, double *dest);
KAVRI_API double *quat_toMat3(const double *quat, double *dest);
KAVRI_API double *quat_toMat4(const double *quat, double *dest);
KAVRI_API double *quat_slerp(double *quat, const double *quat2, double slerp, double *dest);
KAVRI_API int quat_str(const double *quat, char *buf);

KAVRI_END_DECLS

#endif /* KAVRI_GEOM_H */
