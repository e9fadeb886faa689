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
 * The functions keep no state and take no lock: any thread, as long as no other thread writes the
 * same arrays.
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
/* A new vector (free() it) holding a copy of vec, or zeros when vec is NULL; NULL when memory is
 * short. */
KAVRI_API double *vec3_create(const double *vec);
/* A new quaternion (free() it) holding a copy of quat, or zeros when quat is NULL; NULL when memory
 * is short. */
KAVRI_API double *quat_create(const double *quat);
/* A new 3x3 matrix (free() it) holding a copy of mat, or zeros when mat is NULL; NULL when memory
 * is short. */
KAVRI_API double *mat3_create(const double *mat);
/* A new 4x4 matrix (free() it) holding a copy of mat, or zeros when mat is NULL; NULL when memory
 * is short. */
KAVRI_API double *mat4_create(const double *mat);
/* Copies vec into dest and returns dest; NULL when either is NULL. */
KAVRI_API double *vec3_set(const double *vec, double *dest);
/* Copies quat into dest and returns dest; NULL when either is NULL. */
KAVRI_API double *quat_set(const double *quat, double *dest);
/* Copies mat into dest and returns dest; NULL when either is NULL. */
KAVRI_API double *mat3_set(const double *mat, double *dest);
/* Copies mat into dest and returns dest; NULL when either is NULL. */
KAVRI_API double *mat4_set(const double *mat, double *dest);
/* The identity matrix in dest, or in a new matrix (free() it) when dest is NULL. */
KAVRI_API double *mat3_identity(double *dest);
/* The identity matrix in dest, or in a new matrix (free() it) when dest is NULL. */
KAVRI_API double *mat4_identity(double *dest);

/* ---- vectors ---- */
/* vec + vec2, element by element. */
KAVRI_API double *vec3_add(double *vec, const double *vec2, double *dest);
/* vec - vec2, element by element. */
KAVRI_API double *vec3_subtract(double *vec, const double *vec2, double *dest);
/* vec * vec2, element by element. */
KAVRI_API double *vec3_multiply(double *vec, const double *vec2, double *dest);
/* -vec. */
KAVRI_API double *vec3_negate(double *vec, double *dest);
/* vec * val. */
KAVRI_API double *vec3_scale(double *vec, double val, double *dest);
/* vec scaled to length 1; the zero vector stays zero. */
KAVRI_API double *vec3_normalize(double *vec, double *dest);
/* The cross product vec x vec2. */
KAVRI_API double *vec3_cross(double *vec, const double *vec2, double *dest);
/* Euclidean length of vec; 0 for NULL. */
KAVRI_API double vec3_length(const double *vec);
/* Dot product of vec and vec2; 0 when either is NULL. */
KAVRI_API double vec3_dot(const double *vec, const double *vec2);
/* normalize(vec - vec2) */
KAVRI_API double *vec3_direction(double *vec, const double *vec2, double *dest);
/* vec + lerp * (vec2 - vec) */
KAVRI_API double *vec3_lerp(double *vec, const double *vec2, double lerp, double *dest);
/* Distance between the points vec and vec2; 0 when either is NULL. */
KAVRI_API double vec3_dist(const double *vec, const double *vec2);
/* Window coordinates back to object space; viewport is (x, y, width, height). */
KAVRI_API double *vec3_unproject(double *vec, const double *view, const double *proj,
                                 const double *viewport, double *dest);
/* Writes "[x, y, z]" ("%f" each) into buf, which must hold KAVRI_VEC3_STR_MAX bytes; returns the
 * text length, 0 when vec or buf is NULL. */
KAVRI_API int vec3_str(const double *vec, char *buf);

/* ---- 3x3 matrices ---- */
/* The transpose of mat. */
KAVRI_API double *mat3_transpose(double *mat, double *dest);
/* The product mat x mat2. */
KAVRI_API double *mat3_multiply(double *mat, const double *mat2, double *dest);
/* Inverse into dest (or mat); returns dest (or mat) also when mat is singular,
 * which leaves the destination unchanged. */
KAVRI_API double *mat3_inverse(double *mat, double *dest);
/* mat as the upper-left block of a 4x4 matrix whose last row and column are those of the identity;
 * allocated when dest is NULL. */
KAVRI_API double *mat3_toMat4(const double *mat, double *dest);
/* Writes the 9 elements in storage order, "[a, b, ...]", into buf, which must hold
 * KAVRI_MAT3_STR_MAX bytes; returns the text length, 0 when mat or buf is NULL. */
KAVRI_API int mat3_str(const double *mat, char *buf);

/* ---- 4x4 matrices ---- */
/* The transpose of mat. */
KAVRI_API double *mat4_transpose(double *mat, double *dest);
/* Determinant of mat; 0 for NULL. */
KAVRI_API double mat4_determinant(const double *mat);
/* The inverse of mat; NULL (destination unchanged) when mat is singular. */
KAVRI_API double *mat4_inverse(double *mat, double *dest);
/* mat with its translation removed (last column 0, 0, 0, 1); allocated when dest is NULL. */
KAVRI_API double *mat4_toRotationMat(const double *mat, double *dest);
/* The upper-left 3x3 block of mat; allocated when dest is NULL. */
KAVRI_API double *mat4_toMat3(const double *mat, double *dest);
/* The inverse of mat's upper-left 3x3 block; allocated when dest is NULL; NULL when the block is
 * singular. */
KAVRI_API double *mat4_toInverseMat3(const double *mat, double *dest);
/* The product mat x mat2. */
KAVRI_API double *mat4_multiply(double *mat, const double *mat2, double *dest);
/* mat * (vec, 1), without division by w. */
KAVRI_API double *mat4_multiplyVec3(const double *mat, double *vec, double *dest);
/* mat * vec for a 4-element vec; the result has 4 elements. */
KAVRI_API double *mat4_multiplyVec4(const double *mat, double *vec, double *dest);
/* mat x translation(vec): mat followed by a move by vec in its own frame. */
KAVRI_API double *mat4_translate(double *mat, const double *vec, double *dest);
/* mat x scale(vec): the first three columns of mat scaled by vec's elements. */
KAVRI_API double *mat4_scale(double *mat, const double *vec, double *dest);
/* mat x rotation by angle radians about axis (normalised here, right-hand rule); NULL for a zero
 * axis. */
KAVRI_API double *mat4_rotate(double *mat, double angle, const double *axis, double *dest);
/* mat x rotation by angle radians about the x axis (right-hand rule). */
KAVRI_API double *mat4_rotateX(double *mat, double angle, double *dest);
/* mat x rotation by angle radians about the y axis (right-hand rule). */
KAVRI_API double *mat4_rotateY(double *mat, double angle, double *dest);
/* mat x rotation by angle radians about the z axis (right-hand rule). */
KAVRI_API double *mat4_rotateZ(double *mat, double angle, double *dest);
/* Perspective projection of the frustum given by its near plane's edges and the near and far
 * distances; allocated when dest is NULL. */
KAVRI_API double *mat4_frustum(double left, double right, double bottom, double top, double near_z,
                               double far_z, double *dest);
/* fovy in degrees */
KAVRI_API double *mat4_perspective(double fovy, double aspect, double near_z, double far_z,
                                   double *dest);
/* Orthographic projection of the given box; allocated when dest is NULL. */
KAVRI_API double *mat4_ortho(double left, double right, double bottom, double top, double near_z,
                             double far_z, double *dest);
/* View matrix of a camera at eye looking at center with up as its up direction; the identity when
 * eye equals center; allocated when dest is NULL. */
KAVRI_API double *mat4_lookAt(const double *eye, const double *center, const double *up,
                              double *dest);
/* Matrix of the rotation quat followed by the translation vec; allocated when dest is NULL. */
KAVRI_API double *mat4_fromRotationTranslation(const double *quat, const double *vec, double *dest);
/* Writes the 16 elements in storage order, "[a, b, ...]", into buf, which must hold
 * KAVRI_MAT4_STR_MAX bytes; returns the text length, 0 when mat or buf is NULL. */
KAVRI_API int mat4_str(const double *mat, char *buf);

/* ---- quaternions ---- */
/* Copies x, y, z and sets w = -sqrt(|1 - x^2 - y^2 - z^2|). */
KAVRI_API double *quat_calculateW(double *quat, double *dest);
/* Dot product of the four elements; 0 when either is NULL. */
KAVRI_API double quat_dot(const double *quat, const double *quat2);
/* The inverse of quat (its conjugate divided by its squared length). */
KAVRI_API double *quat_inverse(double *quat, double *dest);
/* quat with x, y and z negated. */
KAVRI_API double *quat_conjugate(double *quat, double *dest);
/* Length of the four elements; 0 for NULL. */
KAVRI_API double quat_length(const double *quat);
/* quat scaled to length 1; the zero quaternion stays zero. */
KAVRI_API double *quat_normalize(double *quat, double *dest);
/* The Hamilton product quat x quat2. */
KAVRI_API double *quat_multiply(double *quat, const double *quat2, double *dest);
/* The 3-vector vec rotated by the unit quaternion quat. */
KAVRI_API double *quat_multiplyVec3(const double *quat, double *vec, double *dest);
/* Rotation matrix of the unit quaternion quat; allocated when dest is NULL. */
KAVRI_API double *quat_toMat3(const double *quat, double *dest);
/* Rotation matrix of the unit quaternion quat, no translation; allocated when dest is NULL. */
KAVRI_API double *quat_toMat4(const double *quat, double *dest);
/* Spherical interpolation from quat (slerp 0) to quat2 (slerp 1), along the arc their dot product
 * gives (no sign flip to the shorter one). */
KAVRI_API double *quat_slerp(double *quat, const double *quat2, double slerp, double *dest);
/* Writes "[x, y, z, w]" into buf, which must hold KAVRI_QUAT_STR_MAX bytes; returns the text
 * length, 0 when quat or buf is NULL. */
KAVRI_API int quat_str(const double *quat, char *buf);

KAVRI_END_DECLS

#endif /* KAVRI_GEOM_H */
