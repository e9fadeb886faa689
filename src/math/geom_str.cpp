// Text forms "[%f, %f, ...]" of vectors, quaternions and matrices.
#include <cstdio>
#include <string>

#include "kavri/geom.h"

namespace {

// Formats n elements into buf. The caller's buffer has no stated size, so the
// text is bounded by the documented maximum for n elements (every "%f" of a
// double fits), and never longer.
int format_values(const double *v, int n, char *buf, size_t max_size) {
    if (v == nullptr || buf == nullptr) return 0;
    std::string text = "[";
    char num[KAVRI_GEOM_NUM_STR_MAX + 1];
    for (int i = 0; i < n; ++i) {
        if (i > 0) text += ", ";
        std::snprintf(num, sizeof num, "%f", v[i]);
        text += num;
    }
    text += "]";
    return std::snprintf(buf, max_size, "%s", text.c_str());
}

}  // namespace

extern "C" {

KAVRI_API int vec3_str(const double *vec, char *buf) {
    return format_values(vec, 3, buf, KAVRI_VEC3_STR_MAX);
}

KAVRI_API int quat_str(const double *quat, char *buf) {
    return format_values(quat, 4, buf, KAVRI_QUAT_STR_MAX);
}

KAVRI_API int mat3_str(const double *mat, char *buf) {
    return format_values(mat, 9, buf, KAVRI_MAT3_STR_MAX);
}

KAVRI_API int mat4_str(const double *mat, char *buf) {
    return format_values(mat, 16, buf, KAVRI_MAT4_STR_MAX);
}

}  // extern "C"
